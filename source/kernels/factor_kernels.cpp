// The 35 factor-test kernels: thread i tests candidate table entry i with its
// member's width and band and appends k to the factor report buffer on a hit
// and to the proof table (unless there is none) when it is a proof k.
// The host build registers them with its runtime in hostpaths/, which runs a
// launch as batch tests over ranges of the grid.
#include "kernels/factor_kernels.h"

#include "kernels/factor_arithmetic.h"
#include "kernels/factor_record.h"

// One thread's work.
template <int W, int J>
__device__ __forceinline__ void testCandidate(unsigned int* factors, unsigned long long* candidates, unsigned int n,
                                              unsigned int* proofs, unsigned int t) {
    const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned long long k = candidates[i];
    const uint32_t verdict = factorVerdict<W, J>(k, n, t);
    if (verdict & VERDICT_FACTOR) appendFactorRecord(factors, k);
    if ((verdict & VERDICT_PROOF) && proofs) appendProofRecord(proofs, k);
}

#define QUILBREX_DEFINE_KERNEL(WIDTH, BAND, LENGTH, NAME)                                      \
    __global__ void NAME(unsigned int* factors, unsigned long long* candidates, unsigned int n, \
                         unsigned int* proofs, unsigned int t) {                                 \
        testCandidate<WIDTH, BAND>(factors, candidates, n, proofs, t);                          \
    }

QUILBREX_KERNEL_FAMILY(QUILBREX_DEFINE_KERNEL)

#undef QUILBREX_DEFINE_KERNEL
