// The AVX2 host path of the factor test, for processors without AVX-512: four
// candidates at once, one per 64-bit lane, in Montgomery arithmetic over
// 29-bit limbs with 32x32->64-bit lane products (vpmuludq), for every member
// of the kernel list. Only these functions are compiled for AVX2, so the
// binary still runs on any x86-64 processor (where this path is never chosen).
#include "hostpaths/host_limbs.h"
#include "hostpaths/host_paths.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

#define AVX2_TARGET __attribute__((target("avx2")))
#define AVX2_INLINE AVX2_TARGET inline __attribute__((always_inline))
#define AVX2_UNROLL _Pragma("GCC unroll 64")

namespace {

constexpr int LIMB_BITS = 29;
constexpr uint64_t LIMB_MASK = (1ull << LIMB_BITS) - 1;
constexpr int LANES = 4;

// R = 2^(29M) is at least 4p for every p the member serves (p < 2^(32W)), so
// a squaring of anything below 2p gives back something below 2p: no
// conditional subtraction anywhere, only carries.
template <int W>
constexpr int limbCount() {
    return (32 * W + 2 + LIMB_BITS - 1) / LIMB_BITS;
}

// p = 1 + K*2^(32J) with K below 2^(32W): limb 0 is exactly 1 (bits 1 to 31
// of p are 0), which makes -1/p mod 2^29 all ones, and only the limbs holding
// K's bits are nonzero besides it.
template <int W, int J>
constexpr int firstKLimb() {
    return 32 * J / LIMB_BITS;
}
template <int W>
constexpr int lastKLimb() {
    return (32 * W - 1) / LIMB_BITS;
}

// No column overflows its 64-bit lane: a column gathers at most M/2 cross
// products, doubled (below 2^59 each, whether the limb or the column is
// doubled), and one square (below 2^58), that is below (M+1)*2^58, plus one
// reduction product per limb of K (below 2^58 each) and the carry from the
// column below (below 2^35). That stays below 2^63 up to the widest member,
// so even the carry rounding (the column plus 2^29-1) cannot wrap.
template <int W, int J>
constexpr bool columnsFit() {
    return (limbCount<W>() + 1 + (lastKLimb<W>() - firstKLimb<W, J>() + 1)) * (1.0 * (1ull << 58)) +
               (1ull << 35) + LIMB_MASK <
           1.0 * (1ull << 63);
}

// The chain starts from the plain value 2^(29M-64), below p for every
// candidate the member serves (p has more than 32(W-1) bits): as a residue
// it represents 2^(-64), no reduction needed. n-7 squarings reach
// 2^(-2^(n-1)), which is 1 exactly when 2^(2^(n-1)) is.
template <int W>
constexpr int startBit() {
    return LIMB_BITS * limbCount<W>() - 64;
}
constexpr uint32_t SQUARINGS_SAVED = 7;

AVX2_INLINE __m256i mul(__m256i a, __m256i b) { return _mm256_mul_epu32(a, b); }

// Montgomery reduction by R of the columns, product scanning: column c
// gathers, when SQUARE, the square's products a_i*a_l (i <= l, i + l = c;
// cross products once, doubled), else limb c of a itself;
// then m_u*p_s for u + s = c over p's K limbs (limb 0 being 1, m_u*1 only
// rounds column u up to a multiple of 2^29, which is the carry out of it),
// then the carry from below. For c < M its low 29 bits give m_c; the
// columns from M up are the result, normalized into a.
template <int W, int J, bool SQUARE>
AVX2_INLINE void reduceColumns(__m256i* a, const __m256i* pK) {
    constexpr int M = limbCount<W>(), first = firstKLimb<W, J>(), last = lastKLimb<W>();
    static_assert(columnsFit<W, J>(), "a column could overflow its lane");
    static_assert(last < M && first >= 1, "p's K limbs lie above limb 0 and below R");
    const __m256i mask = _mm256_set1_epi64x(LIMB_MASK), zero = _mm256_setzero_si256();
    // Narrow members double each limb once (M adds), wide ones each column
    // (2M-1 adds), since there the doubled limbs are M more vectors to keep:
    // measured, doubled limbs are 4 % faster at widths 3 and 8, doubled
    // columns 10-20 % faster at widths 14 to 20.
    constexpr bool DOUBLE_COLUMNS = M >= 10;
    __m256i twice[M], m[M];
    if constexpr (SQUARE) {
        AVX2_UNROLL
        for (int i = 0; i < M; ++i) twice[i] = DOUBLE_COLUMNS ? a[i] : _mm256_add_epi64(a[i], a[i]);
    }
    __m256i carry = zero;
    AVX2_UNROLL
    for (int c = 0; c < 2 * M - 1; ++c) {
        __m256i acc = zero;
        if constexpr (SQUARE) {
            AVX2_UNROLL
            for (int i = 0; i < M; ++i) {
                const int l = c - i;
                if (i < l && l < M) acc = _mm256_add_epi64(acc, mul(a[i], twice[l]));
            }
            if (DOUBLE_COLUMNS) acc = _mm256_add_epi64(acc, acc);
            if (c % 2 == 0) acc = _mm256_add_epi64(acc, mul(a[c / 2], a[c / 2]));
        } else if (c < M) {
            acc = a[c];
        }
        // The oldest multipliers first: the newest is the one the column waits for.
        AVX2_UNROLL
        for (int s = last; s >= first; --s) {
            const int u = c - s;
            if (u >= 0 && u < M) acc = _mm256_add_epi64(acc, mul(m[u], pK[s - first]));
        }
        acc = _mm256_add_epi64(acc, carry);
        if (c < M) {
            m[c] = _mm256_and_si256(_mm256_sub_epi64(zero, acc), mask);
            carry = _mm256_srli_epi64(_mm256_add_epi64(acc, mask), LIMB_BITS);
        } else {
            a[c - M] = _mm256_and_si256(acc, mask);
            carry = _mm256_srli_epi64(acc, LIMB_BITS);
        }
    }
    // Column 2M-1 holds no product: the carry into it is the result's top
    // limb, below 2^29 since the result is below 2p < R/2.
    a[M - 1] = carry;
}

// a = a^2/R mod p, below 2p.
template <int W, int J>
AVX2_INLINE void montSq29(__m256i* a, const __m256i* pK) {
    reduceColumns<W, J, true>(a, pK);
}

// 1 in the lanes whose residue x (below 2p) represents 1: x/R mod p is a
// value no larger than p, so it is 1 exactly then.
template <int W, int J>
AVX2_INLINE uint32_t representsOne(__m256i* x, const __m256i* pK) {
    constexpr int M = limbCount<W>();
    reduceColumns<W, J, false>(x, pK);
    __m256i one = _mm256_cmpeq_epi64(x[0], _mm256_set1_epi64x(1));
    AVX2_UNROLL
    for (int i = 1; i < M; ++i) one = _mm256_and_si256(one, _mm256_cmpeq_epi64(x[i], _mm256_setzero_si256()));
    return (uint32_t)_mm256_movemask_pd(_mm256_castsi256_pd(one));
}

// 1 in the lanes whose plain value (reduced, normalized limbs) has its lowest
// t bits (0 to 64) all zero.
template <int M>
AVX2_INLINE uint32_t isProof(const __m256i* v, uint32_t t) {
    __m256i bits = _mm256_setzero_si256();
    AVX2_UNROLL
    for (int i = 0; i < 3 && i < M; ++i)
        bits = _mm256_or_si256(bits, _mm256_and_si256(v[i], _mm256_set1_epi64x((long long)proofMaskOfLimb(
                                                                 t, LIMB_BITS * i, LIMB_BITS))));
    const __m256i zero = _mm256_cmpeq_epi64(bits, _mm256_setzero_si256());
    return (uint32_t)_mm256_movemask_pd(_mm256_castsi256_pd(zero));
}

// K's limbs of four candidates' p, one per lane, and the start residue.
// Limb s of p = 1 + k*2^n (s >= 1) is bits 29s-n to 29s-n+28 of k: k
// shifted right or left, and shifts by 64 or more give 0.
template <int W, int J>
AVX2_INLINE void startGroup(const uint64_t* ks, uint32_t n, __m256i* pK, __m256i* x) {
    constexpr int M = limbCount<W>(), first = firstKLimb<W, J>(), last = lastKLimb<W>();
    const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ks)), mask = _mm256_set1_epi64x(LIMB_MASK);
    AVX2_UNROLL
    for (int s = first; s <= last; ++s) {
        const int offset = LIMB_BITS * s - (int)n;
        const __m256i bits = offset >= 0 ? _mm256_srl_epi64(k, _mm_cvtsi32_si128(offset))
                                         : _mm256_sll_epi64(k, _mm_cvtsi32_si128(-offset));
        pK[s - first] = _mm256_and_si256(bits, mask);
    }
    AVX2_UNROLL
    for (int i = 0; i < M; ++i)
        x[i] = i == startBit<W>() / LIMB_BITS ? _mm256_set1_epi64x(1ll << (startBit<W>() % LIMB_BITS))
                                              : _mm256_setzero_si256();
}

// Narrow members are bound by the latency of one squaring's chain of
// columns: several groups of four in the same loop let the processor
// overlap them.
template <int W>
constexpr int groupsInFlight() {
    return limbCount<W>() <= 5 ? 3 : limbCount<W>() <= 9 ? 2 : 1;
}

// Tests the 4G candidates of ks at once; bit i of the result is ks[i]'s hit,
// bit 32+i whether it is a proof k at proof bits t.
template <int W, int J>
AVX2_TARGET __attribute__((noinline)) uint64_t testGroups(const uint64_t* ks, uint32_t n, uint32_t t) {
    constexpr int M = limbCount<W>(), G = groupsInFlight<W>(), K = lastKLimb<W>() - firstKLimb<W, J>() + 1;
    __m256i pK[G][K], x[G][M];
    for (int g = 0; g < G; ++g) startGroup<W, J>(ks + g * LANES, n, pK[g], x[g]);
    for (uint32_t i = n - SQUARINGS_SAVED; i != 0; --i) {
        AVX2_UNROLL
        for (int g = 0; g < G; ++g) montSq29<W, J>(x[g], pK[g]);
    }
    uint64_t verdicts = 0;
    for (int g = 0; g < G; ++g) {
        verdicts |= (uint64_t)representsOne<W, J>(x[g], pK[g]) << (g * LANES);
        verdicts |= (uint64_t)isProof<limbCount<W>()>(x[g], t) << (32 + g * LANES);
    }
    return verdicts;
}

// 2^(-2^(n-1)) mod p of one candidate, as 64-bit limbs.
template <int W, int J>
AVX2_TARGET __attribute__((noinline)) void residueOfOne(uint64_t k, uint32_t n, uint64_t* residue) {
    constexpr int M = limbCount<W>(), K = lastKLimb<W>() - firstKLimb<W, J>() + 1;
    uint64_t ks[LANES];
    for (uint64_t& lane : ks) lane = k;
    __m256i pK[K], x[M];
    startGroup<W, J>(ks, n, pK, x);
    for (uint32_t i = n - SQUARINGS_SAVED; i != 0; --i) montSq29<W, J>(x, pK);
    reduceColumns<W, J, false>(x, pK);
    alignas(32) uint64_t limbs[M][LANES];
    for (int i = 0; i < M; ++i) _mm256_store_si256(reinterpret_cast<__m256i*>(limbs[i]), x[i]);
    for (int i = 0; i < HOST_RESIDUE_LIMBS; ++i) residue[i] = 0;
    for (int i = 0; i < M; ++i) {
        const uint32_t bit = LIMB_BITS * i, limb = bit / 64, shift = bit % 64;
        residue[limb] |= limbs[i][0] << shift;
        if (shift > 64 - LIMB_BITS && limb + 1 < (uint32_t)HOST_RESIDUE_LIMBS)
            residue[limb + 1] |= limbs[i][0] >> (64 - shift);
    }
}

}  // namespace

// Groups of 4G candidates, G groups of four lanes.
template <int W, int J>
void avx2Batch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    testInGroups<W, J, LANES * groupsInFlight<W>()>(k, count, n, t, hit, testGroups<W, J>);
}

template <int W, int J>
void avx2Residue(uint64_t k, uint32_t n, uint64_t* residue) {
    residueOfOne<W, J>(k, n, residue);
}

bool avx2Supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#else  // no AVX2 on this architecture: never chosen, never forced

bool avx2Supported() { return false; }

template <int W, int J>
void avx2Batch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    word64Batch<W, J>(k, count, n, t, hit);
}

template <int W, int J>
void avx2Residue(uint64_t k, uint32_t n, uint64_t* residue) {
    word64Residue<W, J>(k, n, residue);
}

#endif

#define QUILBREX_INSTANTIATE_AVX2(WIDTH, BAND, LENGTH, NAME)                                        \
    template void avx2Batch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint32_t, uint8_t*); \
    template void avx2Residue<WIDTH, BAND>(uint64_t, uint32_t, uint64_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_AVX2)
#undef QUILBREX_INSTANTIATE_AVX2
