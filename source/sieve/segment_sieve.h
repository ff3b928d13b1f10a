// Searching one exponent: segments of odd k are sieved with the prime table,
// the survivors tested on the device in batches and every factor reported.
#pragma once

#include <cstdint>

// Searches n = nCurrent for odd k from firstK (odd) to lastK, adding to
// kTested and foundFactors and offering the checkpoint every position
// between batches. Returns false when a stop signal ended the search early;
// kCurrent and the checkpoint then hold the first k not tested.
// The CUDA build overlaps the host's sieving of the next segment with the
// device's test of the batch before it (sieve/overlapped_sieve.h); the host
// build, whose device is the host itself, runs the serial loop. Both give the
// same batches, counts, factors and checkpoints; tests force either.
bool Sieve(uint64_t firstK, uint64_t lastK);
extern bool overlapSieveAndTest;

// 2^(-n) mod q for an odd prime q, by powers of the inverse of 2, (q+1)/2.
uint32_t InverseTwoPower(uint32_t q, uint32_t n);

// Index j of the first byte of a segment starting at the odd a whose k = a+2j
// makes k*2^n+1 divisible by q, given e = 2^(-n) mod q. Always below q; it
// never overflows, whatever a.
uint32_t FirstSievedByte(uint32_t q, uint32_t e, uint64_t a);
