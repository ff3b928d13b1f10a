// The AVX-512 IFMA host path of the factor test: eight candidates at once, one
// per 64-bit lane (several such groups at once for narrow members), in Montgomery arithmetic over 52-bit limbs with the 52-bit
// multiply-add instructions, for every member of the kernel list. Only these
// functions are compiled for AVX-512, so the binary still runs on processors
// without it (where this path is never chosen).
#include "hostpaths/host_limbs.h"
#include "hostpaths/host_paths.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#define IFMA_TARGET __attribute__((target("avx512f,avx512ifma")))
#define IFMA_INLINE IFMA_TARGET inline __attribute__((always_inline))
#define IFMA_UNROLL _Pragma("GCC unroll 32")

namespace {

constexpr uint64_t LIMB_MASK = (1ull << 52) - 1;
constexpr int LANES = 8;

// R = 2^(52M) is at least 4p for every p the member serves (p < 2^(32W)), so
// a squaring of anything below 2p gives back something below 2p: no
// conditional subtraction anywhere, only carries.
template <int W>
constexpr int limbCount() {
    return (32 * W + 2 + 51) / 52;
}

// p = 1 + K*2^(32J) with K below 2^(32W): the limbs holding K's bits and limb
// 0 are the only ones that can be nonzero. From band 2 on limb 0 is exactly 1,
// which makes -1/p mod 2^52 all ones.
template <int W, int J>
constexpr int firstKLimb() {
    return 32 * J / 52;
}
template <int W>
constexpr int lastKLimb() {
    return (32 * W - 1) / 52;
}

// Adds m_u*p*2^(52u) to the columns for u = 0..M-1, m_u chosen so that
// column u vanishes modulo 2^52, carrying each column into the next.
template <int W, int J>
IFMA_INLINE void reduceColumns(__m512i* t, const __m512i* p, __m512i negInverse) {
    constexpr int M = limbCount<W>();
    const __m512i zero = _mm512_setzero_si512(), mask = _mm512_set1_epi64(LIMB_MASK);
    IFMA_UNROLL
    for (int u = 0; u < M; ++u) {
        __m512i m;
        if constexpr (J >= 2) {
            m = _mm512_and_si512(_mm512_sub_epi64(zero, t[u]), mask);
            t[u] = _mm512_add_epi64(t[u], m);
        } else {
            m = _mm512_madd52lo_epu64(zero, _mm512_and_si512(t[u], mask), negInverse);
            t[u] = _mm512_madd52lo_epu64(t[u], m, p[0]);
            t[u + 1] = _mm512_madd52hi_epu64(t[u + 1], m, p[0]);
        }
        constexpr int first = firstKLimb<W, J>() > 0 ? firstKLimb<W, J>() : 1, last = lastKLimb<W>();
        IFMA_UNROLL
        for (int i = first; i <= last; ++i) {
            t[u + i] = _mm512_madd52lo_epu64(t[u + i], m, p[i]);
            t[u + i + 1] = _mm512_madd52hi_epu64(t[u + i + 1], m, p[i]);
        }
        t[u + 1] = _mm512_add_epi64(t[u + 1], _mm512_maskz_srli_epi64(0xFF, t[u], 52));
    }
}

// Columns M..2M-1 as normalized 52-bit limbs.
template <int M>
IFMA_INLINE void upperHalf(__m512i* t, __m512i* a) {
    const __m512i mask = _mm512_set1_epi64(LIMB_MASK);
    IFMA_UNROLL
    for (int i = M; i < 2 * M; ++i) {
        a[i - M] = _mm512_and_si512(t[i], mask);
        t[i + 1] = _mm512_add_epi64(t[i + 1], _mm512_maskz_srli_epi64(0xFF, t[i], 52));
    }
}

// a = a^2/R mod p, below 2p. Columns collect 52-bit halves of products in
// 64-bit lanes, far from overflowing: cross products once, doubled, squares.
template <int W, int J>
IFMA_INLINE void montSq52(__m512i* a, const __m512i* p, __m512i negInverse) {
    constexpr int M = limbCount<W>();
    __m512i t[2 * M + 1];
    IFMA_UNROLL
    for (int i = 0; i <= 2 * M; ++i) t[i] = _mm512_setzero_si512();
    IFMA_UNROLL
    for (int i = 0; i < M; ++i) {
        IFMA_UNROLL
        for (int j = i + 1; j < M; ++j) {
            t[i + j] = _mm512_madd52lo_epu64(t[i + j], a[i], a[j]);
            t[i + j + 1] = _mm512_madd52hi_epu64(t[i + j + 1], a[i], a[j]);
        }
    }
    IFMA_UNROLL
    for (int i = 1; i < 2 * M; ++i) t[i] = _mm512_maskz_slli_epi64(0xFF, t[i], 1);
    IFMA_UNROLL
    for (int i = 0; i < M; ++i) {
        t[2 * i] = _mm512_madd52lo_epu64(t[2 * i], a[i], a[i]);
        t[2 * i + 1] = _mm512_madd52hi_epu64(t[2 * i + 1], a[i], a[i]);
    }
    reduceColumns<W, J>(t, p, negInverse);
    upperHalf<M>(t, a);
}

// x/R mod p by one reduction of x, as normalized limbs: a value no larger
// than p, so it is 1 exactly when x represents 1.
template <int W, int J>
IFMA_INLINE void plainValue(const __m512i* x, const __m512i* p, __m512i negInverse, __m512i* v) {
    constexpr int M = limbCount<W>();
    __m512i t[2 * M + 1];
    IFMA_UNROLL
    for (int i = 0; i <= 2 * M; ++i) t[i] = i < M ? x[i] : _mm512_setzero_si512();
    reduceColumns<W, J>(t, p, negInverse);
    upperHalf<M>(t, v);
}

template <int M>
IFMA_INLINE __mmask8 isOne(const __m512i* v) {
    __mmask8 one = _mm512_cmpeq_epi64_mask(v[0], _mm512_set1_epi64(1));
    IFMA_UNROLL
    for (int i = 1; i < M; ++i) one &= _mm512_cmpeq_epi64_mask(v[i], _mm512_setzero_si512());
    return one;
}

// p, the residue of 2 (2R mod p) and -1/p mod 2^52 of eight candidates, one
// per lane.
template <int W, int J>
IFMA_INLINE void startGroup(const uint64_t* ks, uint32_t n, __m512i* p, __m512i* x, __m512i& negInverse) {
    constexpr int M = limbCount<W>(), N = (W + 1) / 2;
    alignas(64) uint64_t pLimbs[M][LANES], xLimbs[M][LANES], negInverses[LANES];
    for (int lane = 0; lane < LANES; ++lane) {
        uint64_t pWords[N], r[N];
        formP64<N>(ks[lane], n, pWords);
        powerOfTwoModP<N>(52 * M + 1, pWords, r);
        for (int i = 0; i < M; ++i) {
            pLimbs[i][lane] = (uint64_t)bitsFrom(pWords, N, 52 * i) & LIMB_MASK;
            xLimbs[i][lane] = (uint64_t)bitsFrom(r, N, 52 * i) & LIMB_MASK;
        }
        // p's low limb is 1 + c*2^32, whose inverse mod 2^52 is 1 - c*2^32.
        negInverses[lane] = (pLimbs[0][lane] - 2) & LIMB_MASK;
    }
    for (int i = 0; i < M; ++i) {
        p[i] = _mm512_load_si512(pLimbs[i]);
        x[i] = _mm512_load_si512(xLimbs[i]);
    }
    negInverse = _mm512_load_si512(negInverses);
}

// Narrow members are bound by the latency of one squaring's chain of
// dependent steps: several groups of eight in the same loop let the
// processor overlap them.
template <int W>
constexpr int groupsInFlight() {
    return limbCount<W>() <= 3 ? 4 : limbCount<W>() <= 6 ? 2 : 1;
}

// Tests the 8G candidates of ks at once; bit i of the result is ks[i]'s hit.
template <int W, int J>
IFMA_TARGET __attribute__((noinline)) uint32_t testGroups(const uint64_t* ks, uint32_t n) {
    constexpr int M = limbCount<W>(), G = groupsInFlight<W>();
    __m512i p[G][M], x[G][M], negInverse[G];
    for (int g = 0; g < G; ++g) startGroup<W, J>(ks + g * LANES, n, p[g], x[g], negInverse[g]);
    for (uint32_t i = n - 1; i != 0; --i) {
        IFMA_UNROLL
        for (int g = 0; g < G; ++g) montSq52<W, J>(x[g], p[g], negInverse[g]);
    }
    uint32_t hits = 0;
    for (int g = 0; g < G; ++g) {
        __m512i v[M];
        plainValue<W, J>(x[g], p[g], negInverse[g], v);
        hits |= (uint32_t)isOne<M>(v) << (g * LANES);
    }
    return hits;
}

// 2^(2^(n-1)) mod p of one candidate, as 64-bit limbs.
template <int W, int J>
IFMA_TARGET __attribute__((noinline)) void residueOfOne(uint64_t k, uint32_t n, uint64_t* residue) {
    constexpr int M = limbCount<W>();
    uint64_t ks[LANES];
    for (uint64_t& lane : ks) lane = k;
    __m512i p[M], x[M], negInverse, v[M];
    startGroup<W, J>(ks, n, p, x, negInverse);
    for (uint32_t i = n - 1; i != 0; --i) montSq52<W, J>(x, p, negInverse);
    plainValue<W, J>(x, p, negInverse, v);
    alignas(64) uint64_t limbs[M][LANES];
    for (int i = 0; i < M; ++i) _mm512_store_si512(limbs[i], v[i]);
    for (int i = 0; i < HOST_RESIDUE_LIMBS; ++i) residue[i] = 0;
    for (int i = 0; i < M; ++i) {
        const uint32_t bit = 52 * i, limb = bit / 64, shift = bit % 64;
        residue[limb] |= limbs[i][0] << shift;
        if (shift > 12 && limb + 1 < (uint32_t)HOST_RESIDUE_LIMBS) residue[limb + 1] |= limbs[i][0] >> (64 - shift);
    }
}

}  // namespace

// Groups of 8G candidates, G groups of eight lanes.
template <int W, int J>
void ifmaBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint8_t* hit) {
    testInGroups<W, J, LANES * groupsInFlight<W>()>(k, count, n, hit, testGroups<W, J>);
}

template <int W, int J>
void ifmaResidue(uint64_t k, uint32_t n, uint64_t* residue) {
    residueOfOne<W, J>(k, n, residue);
}

bool ifmaSupported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma");
}

#else  // no AVX-512 IFMA on this architecture: never chosen, never forced

bool ifmaSupported() { return false; }

template <int W, int J>
void ifmaBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint8_t* hit) {
    word64Batch<W, J>(k, count, n, hit);
}

template <int W, int J>
void ifmaResidue(uint64_t k, uint32_t n, uint64_t* residue) {
    word64Residue<W, J>(k, n, residue);
}

#endif

#define QUILBREX_INSTANTIATE_IFMA(WIDTH, BAND, LENGTH, NAME)                                        \
    template void ifmaBatch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint8_t*); \
    template void ifmaResidue<WIDTH, BAND>(uint64_t, uint32_t, uint64_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_IFMA)
#undef QUILBREX_INSTANTIATE_IFMA
