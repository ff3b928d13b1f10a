// The search of one exponent with host and device at work together: while the
// device tests the batch of one segment, the host sieves the next segment.
#pragma once

#include <cstdint>

#include "sieve/segment_marking.h"

// As Sieve (sieve/segment_sieve.h), marking with marker (begun on the prime
// table at n); the same batches, counts, factors and checkpoints as the
// serial loop. The factor report buffer must be clear on both sides.
bool SieveOverlapped(uint64_t firstK, uint64_t lastK, SegmentMarker& marker);
