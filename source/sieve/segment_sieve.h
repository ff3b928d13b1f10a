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
