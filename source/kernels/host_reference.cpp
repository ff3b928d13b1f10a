// The host build's reference path: the device arithmetic itself, candidate by
// candidate, which the fast paths are compared with.
#include <cstdint>

#include "kernels/factor_arithmetic.h"
#include "kernels/host_paths.h"

template <int W, int J>
void referenceBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint8_t* hit) {
    for (uint32_t i = 0; i < count; ++i) hit[i] = factorTest<W, J>(k[i], n);
}

#define QUILBREX_INSTANTIATE_REFERENCE(WIDTH, BAND, LENGTH, NAME) \
    template void referenceBatch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint8_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_REFERENCE)
#undef QUILBREX_INSTANTIATE_REFERENCE
