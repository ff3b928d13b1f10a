// The 35 factor-test kernels: thread i tests candidate table entry i with its
// member's width and band and appends k to the factor report buffer on a hit.
// The host build registers them with its runtime in hostpaths/, which runs a
// launch as batch tests over ranges of the grid.
#include "kernels/factor_kernels.h"

#include "kernels/factor_arithmetic.h"
#include "kernels/factor_record.h"

// One thread's work.
template <int W, int J>
__device__ __forceinline__ void testCandidate(unsigned int* factors, unsigned long long* candidates, unsigned int n) {
    const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned long long k = candidates[i];
    if (factorTest<W, J>(k, n)) appendFactorRecord(factors, k);
}

#define QUILBREX_DEFINE_KERNEL(WIDTH, BAND, LENGTH, NAME)                                      \
    __global__ void NAME(unsigned int* factors, unsigned long long* candidates, unsigned int n) { \
        testCandidate<WIDTH, BAND>(factors, candidates, n);                                     \
    }

QUILBREX_KERNEL_FAMILY(QUILBREX_DEFINE_KERNEL)

#undef QUILBREX_DEFINE_KERNEL
