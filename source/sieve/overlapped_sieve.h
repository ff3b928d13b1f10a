// The search of one exponent with host and device at work together: while the
// device tests the batch of one segment, the host sieves the next segment.
#pragma once

#include <cstdint>

// As Sieve (sieve/segment_sieve.h), with inversePowers[i] = 2^(-n) mod
// primeTable[i]; the same batches, counts, factors and checkpoints as the
// serial loop. The factor report buffer must be clear on both sides.
bool SieveOverlapped(uint64_t firstK, uint64_t lastK, const uint32_t* inversePowers);
