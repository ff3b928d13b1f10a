// Probe kernels for the static instruction profile: the 35 member kernels as
// built, plus for every member one kernel that only loads and stores the
// operands and, for each order of the cross products, one that makes two
// squarings in between, so that half their difference is the code of one
// squaring in a chain; and one that is the member kernel without its
// squarings, the fixed cost of a candidate.
#include "kernels/factor_kernels.cu"

// Operands come from memory and the result goes back to it, so that nothing
// of the squaring can be folded away.
template <int W, int J, int SQUARINGS, CrossOrder ORDER = crossOrderOf(W)>
__device__ __forceinline__ void probeSquarings(const unsigned int* words, unsigned int* out) {
    uint32_t a[W], K[W - J];
    const unsigned int base = threadIdx.x * (2 * W);
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) a[i] = words[base + i];
    QUILBREX_UNROLL
    for (int s = 0; s < W - J; ++s) K[s] = words[base + W + s];
    // What the chain sets up once per candidate stays out of the difference.
    uint32_t H[W - J];
    reductionTail<W, J>(K, H);
    QUILBREX_UNROLL
    for (int r = 0; r < SQUARINGS; ++r) montSqTail<W, J, ORDER>(a, K, H);
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) out[base + i] = a[i];
    QUILBREX_UNROLL
    for (int s = 0; s < W - J; ++s) out[base + W + s] = H[s];
}

// The member kernel's thread without the squaring chain: its residue taken
// out of Montgomery form, the verdict and the records of a hit and a proof k.
template <int W, int J>
__device__ __forceinline__ void probeFixedCost(unsigned int* factors, const unsigned long long* candidates,
                                               unsigned int n, unsigned int* proofs, unsigned int t) {
    const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned long long k = candidates[i];
    const uint32_t verdict = factorVerdict<W, J, false>(k, n, t);
    if (verdict & VERDICT_FACTOR) appendFactorRecord(factors, k);
    if ((verdict & VERDICT_PROOF) && proofs) appendProofRecord(proofs, k);
}

#define QUILBREX_DEFINE_PROBES(WIDTH, BAND, LENGTH, NAME)                                            \
    extern "C" __global__ void probeFixed_##NAME(unsigned int* factors, const unsigned long long* candidates, \
                                                 unsigned int n, unsigned int* proofs, unsigned int t) { \
        probeFixedCost<WIDTH, BAND>(factors, candidates, n, proofs, t);                                 \
    }                                                                                                   \
    extern "C" __global__ void probe0_##NAME(const unsigned int* words, unsigned int* out) {            \
        probeSquarings<WIDTH, BAND, 0>(words, out);                                                     \
    }                                                                                                   \
    extern "C" __global__ void probeRows_##NAME(const unsigned int* words, unsigned int* out) {         \
        probeSquarings<WIDTH, BAND, 2, CrossOrder::Rows>(words, out);                                   \
    }                                                                                                   \
    extern "C" __global__ void probeDistance_##NAME(const unsigned int* words, unsigned int* out) {     \
        probeSquarings<WIDTH, BAND, 2, CrossOrder::Distance>(words, out);                               \
    }

QUILBREX_KERNEL_FAMILY(QUILBREX_DEFINE_PROBES)

#undef QUILBREX_DEFINE_PROBES
