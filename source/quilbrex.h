// Process-wide state of quilbrex: the assignment, the resume position, timing,
// the run configuration and the four buffers shared between host and device.
// Every subsystem reads and writes these globals; they are defined in globals.cpp.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>

#include "gpu/runtime.h"

struct KernelEntry;

// The largest batch: one candidate per thread of the largest grid.
constexpr uint32_t MAX_BATCH = 1048576;

// The factor report buffer holds one record per thread of the largest grid,
// so no launch can ever find more hits than it can report.
constexpr uint32_t FACTOR_RECORD_CAPACITY = MAX_BATCH;
constexpr uint32_t FACTOR_BUFFER_WORDS = 1 + 3 * FACTOR_RECORD_CAPACITY;
constexpr uint32_t FACTOR_BUFFER_BYTES = 4 * FACTOR_BUFFER_WORDS;

// The proof table of a launch: a count and a record (low and high half of k)
// per proof k. t is chosen so that an exponent expects at most 4,000 proof k
// whatever its range, and a batch never holds more than its exponent, so
// twice that is room enough; a launch that finds more is a fault that stops
// the run, never a record dropped.
constexpr uint32_t PROOF_RECORD_CAPACITY = 8192;
constexpr uint32_t PROOF_TABLE_WORDS = 1 + 2 * PROOF_RECORD_CAPACITY;
constexpr uint32_t PROOF_TABLE_BYTES = 4 * PROOF_TABLE_WORDS;

// In-memory assignment.
extern uint32_t nStart, nEnd;
extern uint64_t kStart, kEnd;

// The first line of worktodo.txt as last read (at most 99 characters,
// without its line end): what the messages of a removal or a refusal name.
extern char assignmentLineText[100];

// Resume state.
extern uint32_t nCurrent;
extern uint64_t kCurrent;
extern uint64_t kTested;
extern double seconds;
extern uint32_t foundFactors;
// The proof bits t of the exponent under search (64, which leaves hardly
// any proof k, outside a search).
extern uint32_t proofBits;

// Timing.
extern double startTime, endTime;
extern uint64_t rangeK;
extern double testedPct, testedRate;
extern time_t timer;
// Wall clock of the time stamps in the logs; tests may replace it.
extern time_t (*clockNow)();
// Monotonic clock in seconds, with a fraction, of every duration (search
// time, checkpoint spacing); tests may replace it.
extern double (*monotonicNow)();

// The signal that asked the program to stop (0: none). Set by the signal
// handler only; the search stops at the next batch boundary.
extern volatile sig_atomic_t stopSignal;

// Run configuration of the current assignment line.
extern uint32_t num_digits, threadsPerGrid, blocksPerGrid, classGPU, primeCount, sieveRange;
// The host build's device sieves as deep as pays for the way it tests
// candidates: its prime count for p of this many words, set by the layer
// that tests them; empty in builds without that device.
extern uint32_t (*hostDevicePrimeCount)(uint32_t digits);
extern const KernelEntry* kernel;

// Sieving primes of the current line.
extern uint32_t* primeTable;

// Device properties read at start-up.
extern cudaDeviceProp deviceProp;

// Buffers shared with the device, allocated once for the whole run.
extern uint32_t sizeTable;
extern unsigned long long* h_candidateTable;
extern unsigned long long* d_candidateTable;
extern unsigned int* h_factors;
extern unsigned int* d_factors;
extern unsigned int* h_proofs;
extern unsigned int* d_proofs;
