// The AVX-512 IFMA host path of the factor test: eight candidates at once, one
// per 64-bit lane (several such groups at once for narrow members), in
// Montgomery arithmetic over 52-bit limbs with the 52-bit multiply-add
// instructions, for every member of the kernel list. Only these functions are
// compiled for AVX-512, so the binary still runs on processors without it
// (where this path is never chosen).
#include "hostpaths/host_limbs.h"
#include "hostpaths/host_paths.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#define LANES_TARGET __attribute__((target("avx512f,avx512ifma")))

namespace {

// The instructions under the names the arithmetic uses (those of its
// emulation in ifma_emulation.h).
typedef __m512i Lanes;
typedef __mmask8 LaneMask;
#define IFMA_OPERATION LANES_TARGET inline __attribute__((always_inline))
IFMA_OPERATION Lanes setzero() { return _mm512_setzero_si512(); }
IFMA_OPERATION Lanes set1_epi64(uint64_t v) { return _mm512_set1_epi64((long long)v); }
IFMA_OPERATION Lanes load(const uint64_t* from) { return _mm512_load_si512(from); }
IFMA_OPERATION void store(uint64_t* to, Lanes a) { _mm512_store_si512(to, a); }
IFMA_OPERATION Lanes and_si512(Lanes a, Lanes b) { return _mm512_and_si512(a, b); }
IFMA_OPERATION Lanes andnot_si512(Lanes a, Lanes b) { return _mm512_maskz_andnot_epi64(0xFF, a, b); }
IFMA_OPERATION Lanes add_epi64(Lanes a, Lanes b) { return _mm512_add_epi64(a, b); }
IFMA_OPERATION Lanes sub_epi64(Lanes a, Lanes b) { return _mm512_sub_epi64(a, b); }
template <unsigned C>
IFMA_OPERATION Lanes srli_epi64(Lanes a) { return _mm512_maskz_srli_epi64(0xFF, a, C); }
template <unsigned C>
IFMA_OPERATION Lanes srai_epi64(Lanes a) { return _mm512_maskz_srai_epi64(0xFF, a, C); }
template <unsigned C>
IFMA_OPERATION Lanes slli_epi64(Lanes a) { return _mm512_maskz_slli_epi64(0xFF, a, C); }
IFMA_OPERATION Lanes madd52lo_epu64(Lanes acc, Lanes a, Lanes b) { return _mm512_madd52lo_epu64(acc, a, b); }
IFMA_OPERATION Lanes madd52hi_epu64(Lanes acc, Lanes a, Lanes b) { return _mm512_madd52hi_epu64(acc, a, b); }
IFMA_OPERATION LaneMask cmpeq_epi64_mask(Lanes a, Lanes b) { return _mm512_cmpeq_epi64_mask(a, b); }
#undef IFMA_OPERATION

#include "hostpaths/ifma_path.h"

}  // namespace

// Groups of 8G candidates, G groups of eight lanes.
template <int W, int J>
void ifmaBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    testInGroups<W, J, LANES * groupsInFlight<W>()>(k, count, n, t, hit, testGroups<W, J>);
}

template <int W, int J>
void ifmaResidue(uint64_t k, uint32_t n, uint64_t* residue) {
    residueOfOne<W, J>(k, n, residue);
}

uint64_t ifmaMultiplyAdds(uint32_t width, uint32_t band, uint32_t n) {
#define QUILBREX_MULTIPLY_ADDS_OF_MEMBER(WIDTH, BAND, LENGTH, NAME) \
    if (width == WIDTH && band == BAND)                                \
        return (uint64_t)chainSquarings<WIDTH>(n) * multiplyAddsPerSquaring<WIDTH, BAND>();
    QUILBREX_KERNEL_FAMILY(QUILBREX_MULTIPLY_ADDS_OF_MEMBER)
#undef QUILBREX_MULTIPLY_ADDS_OF_MEMBER
    return 0;
}

void ifmaLaneOperations(const uint64_t* a, const uint64_t* b, const uint64_t* c, uint64_t (*out)[8]) {
    laneOperations(a, b, c, out);
}

bool ifmaSupported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma");
}

#else  // no AVX-512 IFMA on this architecture: never chosen, never forced

bool ifmaSupported() { return false; }

uint64_t ifmaMultiplyAdds(uint32_t, uint32_t, uint32_t) { return 0; }

void ifmaLaneOperations(const uint64_t* a, const uint64_t* b, const uint64_t* c, uint64_t (*out)[8]) {
    ifmaEmulatedLaneOperations(a, b, c, out);
}

template <int W, int J>
void ifmaBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    word64Batch<W, J>(k, count, n, t, hit);
}

template <int W, int J>
void ifmaResidue(uint64_t k, uint32_t n, uint64_t* residue) {
    word64Residue<W, J>(k, n, residue);
}

#endif

#define QUILBREX_INSTANTIATE_IFMA(WIDTH, BAND, LENGTH, NAME)                                        \
    template void ifmaBatch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint32_t, uint8_t*); \
    template void ifmaResidue<WIDTH, BAND>(uint64_t, uint32_t, uint64_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_IFMA)
#undef QUILBREX_INSTANTIATE_IFMA
