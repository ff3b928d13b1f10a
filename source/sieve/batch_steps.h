// The steps every batch loop of one exponent makes alike: shipping a batch to
// the device, a failed wait for it, booking a tested batch (counts, factors,
// progress, checkpoint) and stopping before a batch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/runtime.h"

// A segment of sieveRange bytes, to be freed with free(); ends the process
// with status 1 when there is not enough memory.
uint8_t* NewSieveSegment();

// Copies count candidates of the page-locked hostTable to the device table on
// stream. deviceFilled: how many entries of the device table may still hold a
// candidate (MAX_BATCH when that is not known); those beyond the batch are
// zeroed with it, and it becomes count.
void ShipBatch(unsigned long long* hostTable, uint32_t count, size_t& deviceFilled, cudaStream_t stream);

// The device did not finish a batch: it is not tested. Ends the process
// through checkCudaErrors, the checkpoint and the line before the batch.
[[noreturn]] void BatchWaitFailed(cudaError_t error);

// Books a batch of count candidates, tested, that took examined odd k from a:
// kTested, remaining and a move on, its factors are recorded and its proof k
// queued (before any checkpoint moves past them), progress is reported and
// the checkpoint offered.
void BookBatch(uint32_t count, uint32_t examined, uint64_t& a, uint64_t& remaining);
// The same with the batch's factor report buffer and proof table already
// copied back to the host (factorWords, proofWords: count and records).
void BookReportedBatch(uint32_t count, uint32_t examined, uint64_t& a, uint64_t& remaining,
                       const uint32_t* factorWords, const uint32_t* proofWords);

// A stop signal before the batch that starts at a: the checkpoint is saved
// there and kCurrent set to it.
void StopBeforeBatch(uint64_t a);
