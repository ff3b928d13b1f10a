// Searching one exponent: segments of odd k are sieved with the prime table,
// the survivors tested on the device in batches and every factor reported.
#pragma once

#include <cstdint>

// Searches n = nCurrent for odd k from firstK (odd) to lastK, adding to
// kTested and foundFactors and offering the checkpoint every position
// between batches. Returns false when a stop signal ended the search early;
// kCurrent and the checkpoint then hold the first k not tested.
bool Sieve(uint64_t firstK, uint64_t lastK);
