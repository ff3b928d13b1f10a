// proofs.txt: the proof k of every exponent searched, ascending, and one
// closing record per exponent, each on disk before the checkpoint moves past
// its batch and none doubled or lost by a search that a stop, a kill or a
// power cut makes the program repeat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Opens the block of exponent n with proof bits t, whose search starts (or
// resumes) at kResume. summaryLogged: the line's run log already holds the
// exponent's summary, so its block was closed before it and nothing of this
// search is written again. Otherwise records that a repeated search finds
// again go: the open block's records at or above kResume (a kill after their
// append, before the checkpoint), a record cut off by a power cut, and the
// records of a search that never closed (a line abandoned midway). When the
// file's last record already closes this exponent (a kill between that record
// and the run log's summary), the block stays as it is and this search
// writes nothing to it. Stops the run (status 1) when the file cannot be
// read or mended.
void BeginProofBlock(uint32_t n, uint32_t t, uint64_t kResume, bool summaryLogged);

// Queues the proof k of one booked batch, ascending and above those queued
// before; they reach the file with the next FlushProofLog (before any
// checkpoint) or EndProofBlock. Ignored when no block is open.
void AddProofs(const uint64_t* ks, size_t count);

// Appends the queued records to proofs.txt, flushed to disk. Stops the run
// (status 1) when they cannot be written, before anything moves past them.
void FlushProofLog();

// Appends the queued records and the closing record "n=<n> t=<t>
// tested=<tested> proofs=<count> primes=<primes> r=2^-(2^(n-1))", flushed,
// and closes the block (closing records without the residue, of older files,
// are read alike). Stops the run (status 1) when they cannot be written.
void EndProofBlock(uint64_t tested, uint32_t primes);

// The block's proof k so far (those kept from before a resume included).
uint64_t ProofCount();

// The text of proofs.txt's records as the block writes them (tests compare
// the file with it).
std::string ProofRecord(uint32_t n, uint32_t t, uint64_t k);
