// Searching one exponent: segments of odd k are sieved with the prime table,
// the survivors tested on the device in batches and every factor reported.
#pragma once

#include <cstdint>
#include <ctime>

// A checkpoint is written between batches once this many seconds have passed
// since the last one (or since the line began), and right after a batch that
// found a factor, so that a resume never reports it again.
constexpr double CHECKPOINT_INTERVAL_SECONDS = 60;

// When the last checkpoint of the current line was written (or the line began).
extern time_t checkpointClock;
// Set by Sieve when a checkpoint fell due in the pass that finished the
// exponent; the work loop then saves the start of the next exponent.
extern bool checkpointOwed;

// Searches n = nCurrent for odd k from firstK (odd) to lastK, adding to
// kTested and foundFactors and writing checkpoints as it goes.
void Sieve(uint64_t firstK, uint64_t lastK);

// 2^(-n) mod q for an odd prime q, by powers of the inverse of 2, (q+1)/2.
uint32_t InverseTwoPower(uint32_t q, uint32_t n);

// Index j of the first byte of a segment starting at the odd a whose k = a+2j
// makes k*2^n+1 divisible by q, given e = 2^(-n) mod q. Always below q; it
// never overflows, whatever a.
uint32_t FirstSievedByte(uint32_t q, uint32_t e, uint64_t a);
