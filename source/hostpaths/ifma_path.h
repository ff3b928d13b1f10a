// The IFMA path's arithmetic, written once over eight 64-bit lanes: included
// by host_ifma.cpp over the processor's instructions and by
// host_ifma_emulated.cpp over their plain C++ emulation, so that the tests
// run this very code on processors without AVX-512. The including file
// provides Lanes, LaneMask, the lane operations named after the
// instructions, and LANES_TARGET (the functions' instruction set).
// Included inside an unnamed namespace, once per file.

#define LANES_INLINE LANES_TARGET inline __attribute__((always_inline))
#define LANES_UNROLL _Pragma("GCC unroll 32")

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
//
// Each column holds its value c less one (the caller starts column 0 one
// short). The carry c takes into the next column, ceil(c / 2^52) (c plus
// its m_u*p_0 is a multiple of 2^52), is then (c - 1) >> 52 plus 1, so the
// next column again holds its value less one when only the shifted part is
// added: no multiply-add for the column's own low half, no test for a zero
// column. The shift keeps the sign (c may be 0). From band 2 on p's limb 0
// is 1 and m_u = -c mod 2^52 is ~(c - 1), one instruction; below it m_u =
// (c - 1)(-1/p) + (-1/p) mod 2^52, one multiply-add. Column M is left one
// short: upperHalf adds the 1.
template <int W, int J>
LANES_INLINE void reduceColumns(Lanes* t, const Lanes* p, Lanes negInverse) {
    constexpr int M = limbCount<W>();
    const Lanes mask = set1_epi64(LIMB_MASK);
    LANES_UNROLL
    for (int u = 0; u < M; ++u) {
        // Only the low 52 bits of m matter: the multiply-adds read no more.
        Lanes m;
        if constexpr (J >= 2) {
            m = andnot_si512(t[u], mask);
        } else {
            m = madd52lo_epu64(negInverse, t[u], negInverse);
            t[u + 1] = madd52hi_epu64(t[u + 1], m, p[0]);
        }
        t[u + 1] = add_epi64(t[u + 1], srai_epi64<52>(t[u]));
        constexpr int first = firstKLimb<W, J>() > 0 ? firstKLimb<W, J>() : 1, last = lastKLimb<W>();
        LANES_UNROLL
        for (int i = first; i <= last; ++i) {
            t[u + i] = madd52lo_epu64(t[u + i], m, p[i]);
            t[u + i + 1] = madd52hi_epu64(t[u + i + 1], m, p[i]);
        }
    }
}

// Column 0's start before the reduction: one short.
LANES_INLINE Lanes columnZeroStart() { return set1_epi64(~0ull); }

// Columns M..2M-1 as limbs of 52 bits. Unless `normalized`, each keeps the
// bits above its 52 (the next column holds them too): the multiply-adds
// read the low 52 bits of their operands only, so a squaring's input needs
// no masking.
template <int M, bool normalized>
LANES_INLINE void upperHalf(Lanes* t, Lanes* a) {
    const Lanes mask = set1_epi64(LIMB_MASK);
    t[M] = add_epi64(t[M], set1_epi64(1));
    LANES_UNROLL
    for (int i = M; i < 2 * M; ++i) {
        a[i - M] = normalized ? and_si512(t[i], mask) : t[i];
        if (i + 1 < 2 * M) t[i + 1] = add_epi64(t[i + 1], srli_epi64<52>(t[i]));
    }
}

// a = a^2/R mod p, below 2p. Columns collect 52-bit halves of products in
// 64-bit lanes, far from overflowing: cross products once, doubled, squares.
template <int W, int J>
LANES_INLINE void montSq52(Lanes* a, const Lanes* p, Lanes negInverse) {
    constexpr int M = limbCount<W>();
    Lanes t[2 * M + 1];
    LANES_UNROLL
    for (int i = 0; i <= 2 * M; ++i) t[i] = setzero();
    LANES_UNROLL
    for (int i = 0; i < M; ++i) {
        LANES_UNROLL
        for (int j = i + 1; j < M; ++j) {
            t[i + j] = madd52lo_epu64(t[i + j], a[i], a[j]);
            t[i + j + 1] = madd52hi_epu64(t[i + j + 1], a[i], a[j]);
        }
    }
    LANES_UNROLL
    for (int i = 1; i < 2 * M; ++i) t[i] = slli_epi64<1>(t[i]);
    t[0] = columnZeroStart();
    LANES_UNROLL
    for (int i = 0; i < M; ++i) {
        t[2 * i] = madd52lo_epu64(t[2 * i], a[i], a[i]);
        t[2 * i + 1] = madd52hi_epu64(t[2 * i + 1], a[i], a[i]);
    }
    reduceColumns<W, J>(t, p, negInverse);
    upperHalf<M, false>(t, a);
}

// x/R mod p by one reduction of x, as normalized limbs: a value no larger
// than p, so it is 1 exactly when x represents 1.
template <int W, int J>
LANES_INLINE void plainValue(const Lanes* x, const Lanes* p, Lanes negInverse, Lanes* v) {
    constexpr int M = limbCount<W>();
    Lanes t[2 * M + 1];
    const Lanes mask = set1_epi64(LIMB_MASK);
    LANES_UNROLL
    for (int i = 0; i <= 2 * M; ++i) t[i] = i < M ? and_si512(x[i], mask) : setzero();
    t[0] = add_epi64(t[0], columnZeroStart());
    reduceColumns<W, J>(t, p, negInverse);
    upperHalf<M, true>(t, v);
}

// The lanes whose value's lowest t bits (0 to 64) are all zero.
template <int M>
LANES_INLINE LaneMask isProof(const Lanes* v, uint32_t t) {
    static_assert(M >= 2, "t reaches into the second limb");
    return cmpeq_epi64_mask(and_si512(v[0], set1_epi64(proofMaskOfLimb(t, 0, 52))), setzero()) &
           cmpeq_epi64_mask(and_si512(v[1], set1_epi64(proofMaskOfLimb(t, 52, 52))), setzero());
}

template <int M>
LANES_INLINE LaneMask isOne(const Lanes* v) {
    LaneMask one = cmpeq_epi64_mask(v[0], set1_epi64(1));
    LANES_UNROLL
    for (int i = 1; i < M; ++i) one &= cmpeq_epi64_mask(v[i], setzero());
    return one;
}

// The chain starts, as the device's does, from a power of two and needs no
// division: the plain value 2^e with e = 52M - 2^s, 2^s the largest power of
// two up to 52M, stands for 2^e/R = 2^(-2^s); squared n-1-s times it stands
// for 2^(-2^(n-1)), which is 1 exactly when 2^(2^(n-1)) is.
template <int W>
constexpr int startShift() {
    int s = 0;
    while ((2 << s) <= 52 * limbCount<W>()) ++s;
    return s;
}
template <int W>
constexpr int startExponent() {
    return 52 * limbCount<W>() - (1 << startShift<W>());
}

// p, the start value and -1/p mod 2^52 of eight candidates, one per lane.
template <int W, int J>
LANES_INLINE void startGroup(const uint64_t* ks, uint32_t n, Lanes* p, Lanes* x, Lanes& negInverse) {
    constexpr int M = limbCount<W>(), N = (W + 1) / 2, E = startExponent<W>();
    // Below p, which has more than 32(W-1) bits.
    static_assert(E < 32 * (W - 1), "the start value is a plain residue");
    alignas(64) uint64_t pLimbs[M][LANES], negInverses[LANES];
    for (int lane = 0; lane < LANES; ++lane) {
        uint64_t pWords[N];
        formP64<N>(ks[lane], n, pWords);
        for (int i = 0; i < M; ++i) pLimbs[i][lane] = (uint64_t)bitsFrom(pWords, N, 52 * i) & LIMB_MASK;
        // p's low limb is 1 + c*2^32, whose inverse mod 2^52 is 1 - c*2^32.
        negInverses[lane] = (pLimbs[0][lane] - 2) & LIMB_MASK;
    }
    for (int i = 0; i < M; ++i) {
        p[i] = load(pLimbs[i]);
        x[i] = i == E / 52 ? set1_epi64(1ull << (E % 52)) : setzero();
    }
    negInverse = load(negInverses);
}

// Narrow members are bound by the latency of one squaring's chain of
// dependent steps: several groups of eight in the same loop let the
// processor overlap them.
template <int W>
constexpr int groupsInFlight() {
    return limbCount<W>() <= 3 ? 4 : limbCount<W>() <= 6 ? 2 : 1;
}


// The multiply-add instructions of one squaring, as montSq52 and
// reduceColumns issue them: the square's M(M+1), then per column two per
// nonzero limb of p above limb 0, and below band 2 two more (m and the high
// half of m times p's low limb).
template <int W, int J>
constexpr int multiplyAddsPerSquaring() {
    constexpr int M = limbCount<W>();
    constexpr int first = firstKLimb<W, J>() > 0 ? firstKLimb<W, J>() : 1, last = lastKLimb<W>();
    return M * (M + 1) + M * (2 * (last - first + 1) + (J >= 2 ? 0 : 2));
}

// The squarings of the chain for exponent n (n >= 32 > startShift).
template <int W>
constexpr uint32_t chainSquarings(uint32_t n) {
    return n - 1 - startShift<W>();
}

// Tests the 8G candidates of ks at once; bit i of the result is ks[i]'s hit,
// bit 32+i whether it is a proof k at proof bits t.
template <int W, int J>
LANES_TARGET __attribute__((noinline)) uint64_t testGroups(const uint64_t* ks, uint32_t n, uint32_t t) {
    constexpr int M = limbCount<W>(), G = groupsInFlight<W>();
    Lanes p[G][M], x[G][M], negInverse[G];
    for (int g = 0; g < G; ++g) startGroup<W, J>(ks + g * LANES, n, p[g], x[g], negInverse[g]);
    for (uint32_t i = chainSquarings<W>(n); i != 0; --i) {
        LANES_UNROLL
        for (int g = 0; g < G; ++g) montSq52<W, J>(x[g], p[g], negInverse[g]);
    }
    uint64_t verdicts = 0;
    for (int g = 0; g < G; ++g) {
        Lanes v[M];
        plainValue<W, J>(x[g], p[g], negInverse[g], v);
        verdicts |= (uint64_t)isOne<M>(v) << (g * LANES) | (uint64_t)isProof<M>(v, t) << (32 + g * LANES);
    }
    return verdicts;
}

// 2^(-2^(n-1)) mod p of one candidate, as 64-bit limbs.
template <int W, int J>
LANES_TARGET __attribute__((noinline)) void residueOfOne(uint64_t k, uint32_t n, uint64_t* residue) {
    constexpr int M = limbCount<W>();
    uint64_t ks[LANES];
    for (uint64_t& lane : ks) lane = k;
    Lanes p[M], x[M], negInverse, v[M];
    startGroup<W, J>(ks, n, p, x, negInverse);
    for (uint32_t i = chainSquarings<W>(n); i != 0; --i) montSq52<W, J>(x, p, negInverse);
    plainValue<W, J>(x, p, negInverse, v);
    alignas(64) uint64_t limbs[M][LANES];
    for (int i = 0; i < M; ++i) store(limbs[i], v[i]);
    for (int i = 0; i < HOST_RESIDUE_LIMBS; ++i) residue[i] = 0;
    for (int i = 0; i < M; ++i) {
        const uint32_t bit = 52 * i, limb = bit / 64, shift = bit % 64;
        residue[limb] |= limbs[i][0] << shift;
        if (shift > 12 && limb + 1 < (uint32_t)HOST_RESIDUE_LIMBS) residue[limb + 1] |= limbs[i][0] >> (64 - shift);
    }
}

// Each lane operation once, for the tests that hold the emulation to the
// instructions (the order of ifmaLaneOperations).
LANES_TARGET __attribute__((noinline)) void laneOperations(const uint64_t* a, const uint64_t* b, const uint64_t* c,
                                                           uint64_t (*out)[LANES]) {
    const Lanes x = load(a), y = load(b), z = load(c);
    const Lanes results[] = {and_si512(x, y),          andnot_si512(x, y),        add_epi64(x, y),
                             sub_epi64(x, y),          srli_epi64<52>(x),         srai_epi64<52>(x),
                             slli_epi64<1>(x),         madd52lo_epu64(z, x, y),   madd52hi_epu64(z, x, y),
                             set1_epi64(a[0])};
    for (int i = 0; i < 10; ++i) store(out[i], results[i]);
    for (int lane = 0; lane < LANES; ++lane) out[10][lane] = 0;
    out[10][0] = cmpeq_epi64_mask(x, y);
}
