// Probe kernels for the static instruction profile: the 35 member kernels as
// built, plus for every member one kernel making one squaring and one making
// two, so that their difference is the code of one squaring in a chain.
#include "kernels/factor_kernels.cu"

// Operands come from memory and the result goes back to it, so that nothing
// of the squaring can be folded away.
template <int W, int J, int SQUARINGS>
__device__ __forceinline__ void probeSquarings(unsigned int* words) {
    uint32_t a[W], K[W - J];
    const unsigned int base = threadIdx.x * (2 * W);
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) a[i] = words[base + i];
    QUILBREX_UNROLL
    for (int s = 0; s < W - J; ++s) K[s] = words[base + W + s];
    QUILBREX_UNROLL
    for (int r = 0; r < SQUARINGS; ++r) montSq<W, J>(a, K);
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) words[base + i] = a[i];
}

#define QUILBREX_DEFINE_PROBES(WIDTH, BAND, LENGTH, NAME)                                              \
    extern "C" __global__ void probe1_##NAME(unsigned int* words) { probeSquarings<WIDTH, BAND, 1>(words); } \
    extern "C" __global__ void probe2_##NAME(unsigned int* words) { probeSquarings<WIDTH, BAND, 2>(words); }

QUILBREX_KERNEL_FAMILY(QUILBREX_DEFINE_PROBES)

#undef QUILBREX_DEFINE_PROBES
