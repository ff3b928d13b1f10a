// The factor test of one candidate p = k*2^n+1 held in W 32-bit words (band J,
// k-part K of W-J words): start residue, Montgomery squaring chain and exact
// final test, as one __host__ __device__ source for the kernels and the host,
// composed over the carry-chain primitives.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "kernels/carry_chain.h"
#include "kernels/portable.h"

inline namespace QUILBREX_CARRY_NAMESPACE {

// Index of the highest set bit of k; k must not be 0.
__host__ __device__ __forceinline__ uint32_t highBitIndex(uint64_t k) {
#ifdef __CUDA_ARCH__
    return 63u - (uint32_t)__clzll((long long)k);
#else
    return 63u - (uint32_t)__builtin_clzll(k);
#endif
}

// True when the member of width W and band J can test k*2^n+1: n in the band,
// k != 0 and 32(W-1) < n + bitlen(k) <= 32W. Everything after relies on it
// (the start shift lies in 1..32 and K fits its W-J words exactly), so a
// candidate that fails it is simply not a hit; zero entries beyond a short
// batch end here.
template <int W, int J>
__host__ __device__ __forceinline__ bool servesCandidate(uint64_t k, uint32_t n) {
    static_assert(W >= 3 && W <= 20 && J >= 1 && J <= 18 && (W - J == 2 || W - J == 3), "no such member");
    if (k == 0 || (n >> 5) != (uint32_t)J) return false;
    const uint32_t bits = n + highBitIndex(k) + 1u;
    return bits > 32u * (W - 1) && bits <= 32u * W;
}

// K = k*2^x with x = n - 32J, built from 32x32->64-bit products with 2^x.
// The middle word cannot carry: the high half of k_lo*2^x is below 2^x and
// the low half of k_hi*2^x is a multiple of 2^x.
template <int W, int J>
__host__ __device__ __forceinline__ void formK(uint64_t k, uint32_t n, uint32_t (&K)[W - J]) {
    const uint32_t scale = 1u << (n - 32u * J);
    const uint64_t low = (uint64_t)(uint32_t)k * scale;
    const uint64_t high = (uint64_t)(uint32_t)(k >> 32) * scale;
    K[0] = (uint32_t)low;
    K[1] = (uint32_t)(low >> 32) + (uint32_t)high;
    if constexpr (W - J == 3) K[2] = (uint32_t)(high >> 32);
}

// p = 1 + K*2^(32J): word 0 is 1, words 1..J-1 are 0, K from word J up.
template <int W, int J>
__host__ __device__ __forceinline__ void layoutP(const uint32_t (&K)[W - J], uint32_t (&p)[W]) {
    p[0] = 1;
    QUILBREX_UNROLL
    for (int t = 1; t < J; ++t) p[t] = 0;
    QUILBREX_UNROLL
    for (int s = 0; s < W - J; ++s) p[J + s] = K[s];
}

template <int W, int J>
__host__ __device__ __forceinline__ void formP(uint64_t k, uint32_t n, uint32_t (&p)[W]) {
    uint32_t K[W - J];
    formK<W, J>(k, n, K);
    layoutP<W, J>(K, p);
}

// --- start residue: 2R mod p, fully reduced ----------------------------------

// s = 32W - n - h = 32W + 1 - bitlen(p), so that p*2^s just reaches 2^(32W).
template <int W>
__host__ __device__ __forceinline__ uint32_t startShift(uint32_t n, uint32_t h) {
    return 32u * W - n - h;
}

// P_s = p*2^s mod 2^(32W) for s in 1..32; only p's top bit 2^(32W) drops out.
template <int W>
__host__ __device__ __forceinline__ void shiftedP(const uint32_t (&p)[W], uint32_t s, uint32_t (&P)[W]) {
    if (s >= 32) {
        // A whole word: a 32-bit shift of a word would be undefined.
        P[0] = 0;
        QUILBREX_UNROLL
        for (int i = 1; i < W; ++i) P[i] = p[i - 1];
    } else {
        P[0] = p[0] << s;
        QUILBREX_UNROLL
        for (int i = 1; i < W; ++i) P[i] = (p[i] << s) | (p[i - 1] >> (32 - s));
    }
}

// a = (0 - a) mod 2^(32W).
template <int W>
__host__ __device__ __forceinline__ void negateWords(uint32_t (&a)[W]) {
    a[0] = subBorrowOut(0, a[0]);
    QUILBREX_UNROLL
    for (int i = 1; i < W - 1; ++i) a[i] = subBorrowInOut(0, a[i]);
    a[W - 1] = subBorrowIn(0, a[W - 1]);
}

// a < b as W-word unsigned numbers (the borrow out of a - b).
template <int W>
__host__ __device__ __forceinline__ bool wordsLess(const uint32_t (&a)[W], const uint32_t (&b)[W]) {
    subBorrowOut(a[0], b[0]);
    QUILBREX_UNROLL
    for (int i = 1; i < W; ++i) subBorrowInOut(a[i], b[i]);
    return subBorrowIn(0, 0) != 0;
}

// a = a - b over W words; the caller ensures a >= b.
template <int W>
__host__ __device__ __forceinline__ void subtractWords(uint32_t (&a)[W], const uint32_t (&b)[W]) {
    a[0] = subBorrowOut(a[0], b[0]);
    QUILBREX_UNROLL
    for (int i = 1; i < W - 1; ++i) a[i] = subBorrowInOut(a[i], b[i]);
    a[W - 1] = subBorrowIn(a[W - 1], b[W - 1]);
}

// Shift-and-subtract division of r (< p*2^s) by p, leaving r mod p: for
// t = s-1 down to 0, while r >= p, subtract p*2^t when it fits. p*2^t is kept
// by halving p*2^(s-1) rather than formed anew at every step.
template <int W>
__host__ __device__ __forceinline__ void shiftSubtractReduce(uint32_t (&r)[W], const uint32_t (&p)[W], uint32_t s) {
    const uint32_t top = s - 1;  // 0..31
    uint32_t d[W];
    d[0] = p[0] << top;
    QUILBREX_UNROLL
    for (int i = 1; i < W; ++i) d[i] = (p[i] << top) | ((p[i - 1] >> 1) >> (31 - top));
    QUILBREX_NO_UNROLL
    for (uint32_t step = 0; step < s; ++step) {
        if (wordsLess<W>(r, p)) break;
        if (!wordsLess<W>(r, d)) subtractWords<W>(r, d);
        QUILBREX_UNROLL
        for (int i = 0; i < W - 1; ++i) d[i] = (d[i] >> 1) | (d[i + 1] << 31);
        d[W - 1] >>= 1;
    }
}

// r = 2R mod p for p of 32W+1-s bits, h the highest-bit index of k.
template <int W>
__host__ __device__ __forceinline__ void startResidue(const uint32_t (&p)[W], uint32_t n, uint32_t h,
                                                      uint32_t (&r)[W]) {
    const uint32_t s = startShift<W>(n, h);
    shiftedP<W>(p, s, r);
    negateWords<W>(r);  // 2^(32W+1) - p*2^s, congruent to 2R and below 2^(32W)
    shiftSubtractReduce<W>(r, p, s);
}

// --- carry-chain runs -----------------------------------------------------------------

// Calls f(std::integral_constant<int, i>) for i = 0..N-1, so that the word
// indices and the shape of every chain are constants of the member.
template <typename F, int... I>
__host__ __device__ __forceinline__ void unrollEach(F& f, std::integer_sequence<int, I...>) {
    (f(std::integral_constant<int, I>{}), ...);
}
template <int N, typename F>
__host__ __device__ __forceinline__ void unrolled(F f) {
    unrollEach(f, std::make_integer_sequence<int, N>{});
}

// Words a run of stride 2 visits from `first` up to `last`.
__host__ __device__ constexpr int strideTwoCount(int first, int last) {
    return first <= last ? (last - first) / 2 + 1 : 0;
}

// Shape of a run of accumulateRun below (pos, count, limit, top and inject
// as there). A pair of words that held nothing cannot carry out, since
// a*b + 1 < 2^64: from the first such pair after which every pair is fresh
// the products need no chain at all, and that pair closes the chain.
__host__ __device__ constexpr int runFreshPair(int pos, int count, int top, int inject) {
    int fresh = count;
    for (int t = count - 1; t >= 0 && pos + 2 * t > top && pos + 2 * t + 1 != inject && pos + 2 * t != inject; --t)
        fresh = t;
    return fresh;
}

__host__ __device__ constexpr int runProductEnd(int pos, int count, int limit) {
    return pos + 2 * count - 1 < limit ? pos + 2 * count - 1 : limit;
}

// The word whose operation closes the chain; pos - 1 when there is none.
__host__ __device__ constexpr int runChainEnd(int pos, int count, int limit, int top, int inject) {
    const int fresh = runFreshPair(pos, count, top, inject);
    if (fresh == 0) return pos - 1;
    if (fresh < count) return pos + 2 * fresh + 1 < limit ? pos + 2 * fresh + 1 : limit;
    const int end = pos + 2 * count;  // the carry ripples through the words above
    if (end > limit) return limit;
    return top < end ? end : (top < limit ? top + 1 : limit);
}

// The highest word holding anything after the run.
__host__ __device__ constexpr int topAfterRun(int pos, int count, int limit, int top, int inject = -1) {
    if (count <= 0 || pos > limit) return top;
    const int chainEnd = runChainEnd(pos, count, limit, top, inject), productEnd = runProductEnd(pos, count, limit);
    const int last = chainEnd > productEnd ? chainEnd : productEnd;
    return last > top ? last : top;
}

// Adds, as one carry chain, the products x[X0 + XSTEP*t] * y[Y0 + YSTEP*t]
// (t < COUNT), low half to word POS+2t and high half to word POS+2t+1 of acc.
// The halves tile consecutive words, so that on the device each pair is one
// wide multiply-add with carry in and out. Words above TOP and below BOTTOM
// hold nothing yet: they are written rather than added to (word INJECT then
// starts with `injected` instead of 0), and the carry out of the products
// ripples up to the first free word above. Words above LIMIT stay zero by the
// caller's bounds and are not formed, so the chain closes at LIMIT at the
// latest.
template <int POS, int COUNT, int LIMIT, int TOP, int X0, int XSTEP, int Y0, int YSTEP, int INJECT = -1,
          int BOTTOM = 0, int N, int NX, int NY>
__host__ __device__ __forceinline__ void accumulateRun(uint32_t (&acc)[N], const uint32_t (&x)[NX],
                                                       const uint32_t (&y)[NY], uint32_t injected = 0) {
    if constexpr (COUNT > 0 && POS <= LIMIT) {
        static_assert(LIMIT < N, "the run leaves its accumulator");
        constexpr int PRODUCT_END = runProductEnd(POS, COUNT, LIMIT);
        constexpr int CHAIN_END = runChainEnd(POS, COUNT, LIMIT, TOP, INJECT);
        constexpr int PLAIN = POS + 2 * runFreshPair(POS, COUNT, TOP, INJECT) + (CHAIN_END >= POS ? 2 : 0);
        constexpr int LAST = CHAIN_END > PRODUCT_END ? CHAIN_END : PRODUCT_END;
        unrolled<LAST - POS + 1>([&](auto step) {
            constexpr int q = POS + decltype(step)::value;
            constexpr bool first = q == POS, closing = q == CHAIN_END;
            uint32_t addend = 0;
            if constexpr (q >= BOTTOM && q <= TOP)
                addend = acc[q];
            else if constexpr (q == INJECT)
                addend = injected;
            if constexpr (q <= PRODUCT_END) {
                constexpr int t = (q - POS) / 2;
                const uint32_t xv = x[X0 + XSTEP * t], yv = y[Y0 + YSTEP * t];
                if constexpr (q >= PLAIN) {
                    // A fresh pair after the chain: the whole product, no carry.
                    if constexpr ((q - POS) % 2 == 0) {
                        const uint64_t product = mulWide(xv, yv);
                        acc[q] = (uint32_t)product;
                        if constexpr (q + 1 <= LIMIT) acc[q + 1] = (uint32_t)(product >> 32);
                    }
                } else if constexpr ((q - POS) % 2 == 1) {
                    acc[q] = closing ? madHiCarryIn(xv, yv, addend) : madHiCarryInOut(xv, yv, addend);
                } else if constexpr (first && closing) {
                    acc[q] = xv * yv + addend;
                } else if constexpr (first) {
                    acc[q] = madLoCarryOut(xv, yv, addend);
                } else {
                    acc[q] = closing ? madLoCarryIn(xv, yv, addend) : madLoCarryInOut(xv, yv, addend);
                }
            } else {
                acc[q] = closing ? addCarryIn(addend, 0) : addCarryInOut(addend, 0);
            }
        });
    }
}

// The cross products a_i*a_l (i < l) are summed in two accumulators, one
// for runs that start on odd words and one for those on even words, so that
// every run tiles its words; each run's carry lands in a word above what the
// accumulator held before it. Two orders of the runs:
//  - by rows: a_i times a_(i+1), a_(i+3), ... from word 2i+1 and times
//    a_(i+2), a_(i+4), ... from word 2i+2, for i = 0, 1, ...; each run
//    ripples its carry through the word the row before it carried into.
//  - by distance: a_i*a_(i+d) for all i from word d, for d = W-1 down to 1;
//    each run reaches two words further down and one further up than the one
//    before it in its accumulator, so its carry never ripples, but the runs
//    hold more carries at once, which ptxas may have to save.
// Which is cheaper depends on the width; crossOrderOf holds the choice, made
// by counting SASS instructions with bench/sass_profile.
enum class CrossOrder { Rows, Distance };

__host__ __device__ constexpr int rowPos(int i, int odd) { return 2 * i + 2 - odd; }
__host__ __device__ constexpr int rowCount(int W, int i, int odd) { return strideTwoCount(i + 2 - odd, W - 1); }
// z's bit enters the first run that reaches word W-1 (see montSqProductTail).
__host__ __device__ constexpr int rowInject(int W, int i, int odd) { return i == 0 && odd ? W - 1 : -1; }
__host__ __device__ constexpr int distanceInject(int W, int d) { return d == W - 1 ? W - 1 : -1; }

// Top of the odd (odd = 1) or even accumulator before row i.
__host__ __device__ constexpr int rowTopBefore(int W, int i, int odd) {
    int top = -1;
    for (int r = 0; r < i; ++r)
        top = topAfterRun(rowPos(r, odd), rowCount(W, r, odd), 2 * W - 1, top, rowInject(W, r, odd));
    return top;
}

// Top of the accumulator of d's parity before the run of distance d.
__host__ __device__ constexpr int distanceTopBefore(int W, int d) {
    int top = -1;
    for (int e = W - 1; e > d; --e)
        if ((e - d) % 2 == 0) top = topAfterRun(e, W - e, 2 * W - 1, top, distanceInject(W, e));
    return top;
}

// The cross sum of a, with zBit added to word W-1, as odd + even (crossTop
// tells how far each reaches).
template <int W, CrossOrder ORDER>
__host__ __device__ __forceinline__ void crossSum(const uint32_t (&a)[W], uint32_t zBit, uint32_t (&odd)[2 * W],
                                                  uint32_t (&even)[2 * W]) {
    constexpr int N = 2 * W;
    if constexpr (W == 3) {
        // Three products, none with a carry to chain: a_0*a_2 with z's bit
        // alone, a_0*a_1 and a_2*a_1 side by side. Their sum is below 2^161,
        // so it has no word 5.
        accumulateRun<2, 1, 3, -1, 0, 1, 2, 1, 2>(even, a, a, zBit);
        accumulateRun<1, 2, 4, -1, 0, 2, 1, 0>(odd, a, a);
    } else if constexpr (ORDER == CrossOrder::Rows) {
        unrolled<W - 1>([&](auto row) {
            constexpr int i = decltype(row)::value;
            accumulateRun<rowPos(i, 1), rowCount(W, i, 1), N - 1, rowTopBefore(W, i, 1), i + 1, 2, i, 0,
                          rowInject(W, i, 1)>(odd, a, a, zBit);
            accumulateRun<rowPos(i, 0), rowCount(W, i, 0), N - 1, rowTopBefore(W, i, 0), i + 2, 2, i, 0>(even, a, a);
        });
    } else {
        unrolled<W - 1>([&](auto step) {
            constexpr int d = W - 1 - decltype(step)::value;
            if constexpr (d % 2 == 1)
                accumulateRun<d, W - d, N - 1, distanceTopBefore(W, d), 0, 1, d, 1, distanceInject(W, d), d + 2>(
                    odd, a, a, zBit);
            else
                accumulateRun<d, W - d, N - 1, distanceTopBefore(W, d), 0, 1, d, 1, distanceInject(W, d), d + 2>(
                    even, a, a, zBit);
        });
    }
}

// Tops of the two accumulators after crossSum.
__host__ __device__ constexpr int crossTop(int W, CrossOrder order, int odd) {
    if (W == 3) return odd ? 4 : 3;
    if (order == CrossOrder::Rows) return rowTopBefore(W, W - 1, odd);
    const int d = odd ? 1 : 2;
    return d > W - 1 ? -1 : topAfterRun(d, W - d, 2 * W - 1, distanceTopBefore(W, d), distanceInject(W, d));
}

// The order each width's squaring uses, from bench/sass_profile on sm_89:
// by distance saves 2 to 14 instructions per squaring up to width 11 and ties
// at 12; from 13 on the rows save 20 to 290.
__host__ __device__ constexpr CrossOrder crossOrderOf(int W) {
    return W <= 12 ? CrossOrder::Distance : CrossOrder::Rows;
}

// The reduction runs go s by s, m's even words first. Those starting on an
// even word add into the square's words, whose pairs they share; those on an
// odd word go to an accumulator of their own, so that no word is paired two
// ways (which costs ptxas a register move per word). Top of the square's
// words (odd = 0) or of that accumulator (odd = 1) before run (s, parity).
__host__ __device__ constexpr int reductionTopBefore(int W, int J, int s, int parity, int odd) {
    int top = odd ? -1 : 2 * W - 1;
    for (int r = 0; r <= s; ++r)
        for (int q = 0; q < 2; ++q) {
            if (r == s && q == parity) return top;
            if ((J + r + q) % 2 == odd) top = topAfterRun(J + r + q, strideTwoCount(q, W - 1), 2 * W, top);
        }
    return top;
}

// Top of the truncated product T*H mod 2^(32L) before row i's run of parity.
__host__ __device__ constexpr int tailTopBefore(int L, int i, int parity) {
    int top = -1;
    for (int r = 0; r <= i; ++r)
        for (int q = 0; q < 2; ++q) {
            if (r == i && q == parity) return top;
            top = topAfterRun(r + q, strideTwoCount(q, L - 1 - r), L - 1, top);
        }
    return top;
}

// H with 1/p = 1 - H*2^(32J) mod R, so that the reduction multiplier of a
// square T is m = -T mod R + ((T mod 2^(32L)) * H mod 2^(32L)) * 2^(32J), L the
// words of K. From (1 + K*2^(32J))(1 - H*2^(32J)) = 1 mod R: H = K - K*H*2^(32J)
// mod 2^(32L), which is K itself as soon as 2J >= W; the three narrowest
// members iterate it. Per candidate, not per squaring.
template <int W, int J>
__host__ __device__ __forceinline__ void reductionTail(const uint32_t (&K)[W - J], uint32_t (&H)[W - J]) {
    constexpr int L = W - J;
    QUILBREX_UNROLL
    for (int s = 0; s < L; ++s) H[s] = K[s];
    if constexpr (J < L) {
        QUILBREX_UNROLL
        for (int round = 0; round * J < L; ++round) {
            uint32_t KH[L] = {};
            QUILBREX_UNROLL
            for (int i = 0; i < L; ++i) {
                uint64_t carry = 0;
                QUILBREX_UNROLL
                for (int j = 0; i + j < L; ++j) {
                    const uint64_t t = (uint64_t)K[i] * H[j] + KH[i + j] + carry;
                    KH[i + j] = (uint32_t)t;
                    carry = t >> 32;
                }
            }
            uint64_t borrow = 0;
            QUILBREX_UNROLL
            for (int s = 0; s < L; ++s) {
                const uint64_t d = (uint64_t)K[s] - (s >= J ? KH[s - J] : 0u) - borrow;
                H[s] = (uint32_t)d;
                borrow = (d >> 32) & 1u;
            }
        }
    }
}

// U + carry*R = (a^2 + m*p) / R, m < R chosen so that the low W words vanish.
//
// The cross products a_i*a_l (i < l) are summed in tiled runs (crossSum),
// their sum doubled by a one-bit shift and the squares a_i^2 added in one more
// tiled run: T = a^2.
//
// The multiplier needs no word-by-word steps: since p = 1 + K*2^(32J),
// m = -T*(1/p) mod R is -T mod R plus a product of T's and H's lowest words
// (reductionTail). m*K*2^(32J) is then added in 2L tiled runs, into T or a
// second accumulator (reductionTopBefore), whose carries ripple to the top;
// the two are summed from the second one's lowest word. The remaining m*1
// would only clear the low W words: with A the low words after adding
// m*K*2^(32J), A + m is 0 or R, and it is R exactly when m != 0, that is when
// a^2 mod R != 0, that is when a mod 2^(16W) != 0. So that carry z into word
// W is known from a alone, and enters the cross sum's first run over word W-1
// as bit 31 of it, which the doubling moves to bit 0 of word W:
// T = a^2 + z*R.
//
// Bounds: the cross sum with z's bit stays below R^2/2 (2*cross + squares +
// z*R <= (R-1)^2 + R), so neither accumulator nor the doubled sum leaves 2W
// words. T + m*K*2^(32J) < R^2 + R*2^(32L)*2^(32J) = 2R^2, so the carry word
// above them is 0 or 1, and no partial sum of the runs (all of it
// non-negative) goes beyond; U + carry*R < R + p as the squaring requires.
template <int W, int J, CrossOrder ORDER = crossOrderOf(W)>
__host__ __device__ QUILBREX_SQUARING_INLINE void montSqProductTail(const uint32_t (&a)[W], const uint32_t (&K)[W - J],
                                                           const uint32_t (&H)[W - J], uint32_t (&U)[W],
                                                           uint32_t& carry) {
    constexpr int L = W - J, N = 2 * W;

    uint32_t halfLow = W % 2 ? a[W / 2] & 0xFFFFu : 0u;
    QUILBREX_UNROLL
    for (int i = 0; i < W / 2; ++i) halfLow |= a[i];
    const uint32_t zBit = halfLow != 0 ? 0x80000000u : 0u;

    uint32_t odd[N], even[N];
    crossSum<W, ORDER>(a, zBit, odd, even);
    constexpr int ODD_TOP = crossTop(W, ORDER, 1), EVEN_TOP = crossTop(W, ORDER, 0);
    // The last word the cross sum can reach: the top one, but for width 3 (see crossSum).
    constexpr int CROSS_LAST = W == 3 ? 4 : N - 1;

    uint32_t sum[N];
    sum[0] = 0;
    sum[1] = odd[1];
    unrolled<N - 2>([&](auto word) {
        constexpr int q = decltype(word)::value + 2;
        uint32_t e = 0, o = 0;
        if constexpr (q <= EVEN_TOP) e = even[q];
        if constexpr (q <= ODD_TOP) o = odd[q];
        if constexpr (q > CROSS_LAST)
            sum[q] = 0;
        else if constexpr (q == 2)
            sum[q] = addCarryOut(e, o);
        else if constexpr (q == CROSS_LAST)
            sum[q] = addCarryIn(e, o);
        else
            sum[q] = addCarryInOut(e, o);
    });
    uint32_t T[N + 1];
    T[0] = 0;
    QUILBREX_UNROLL
    for (int q = 1; q < N; ++q) T[q] = (sum[q] << 1) | (sum[q - 1] >> 31);
    accumulateRun<0, W, N - 1, N - 1, 0, 1, 0, 1>(T, a, a);

    uint32_t tail[L];
    unrolled<L>([&](auto row) {
        constexpr int i = decltype(row)::value;
        accumulateRun<i, strideTwoCount(0, L - 1 - i), L - 1, tailTopBefore(L, i, 0), 0, 2, i, 0>(tail, H, T);
        accumulateRun<i + 1, strideTwoCount(1, L - 1 - i), L - 1, tailTopBefore(L, i, 1), 1, 2, i, 0>(tail, H, T);
    });
    // m = tail*2^(32J) - T mod R, one chain.
    uint32_t m[W];
    m[0] = subBorrowOut(J == 0 ? tail[0] : 0u, T[0]);
    QUILBREX_UNROLL
    for (int u = 1; u < W - 1; ++u) m[u] = subBorrowInOut(u >= J ? tail[u - J] : 0u, T[u]);
    m[W - 1] = subBorrowIn(tail[L - 1], T[W - 1]);

    constexpr int ODD_BOTTOM = J | 1;
    uint32_t oddSum[N + 1];
    unrolled<2 * L>([&](auto run) {
        constexpr int s = decltype(run)::value / 2, parity = decltype(run)::value % 2, pos = J + s + parity;
        if constexpr (pos % 2 == 0)
            accumulateRun<pos, strideTwoCount(parity, W - 1), N, reductionTopBefore(W, J, s, parity, 0), parity, 2, s,
                          0>(T, m, K);
        else
            accumulateRun<pos, strideTwoCount(parity, W - 1), N, reductionTopBefore(W, J, s, parity, 1), parity, 2, s,
                          0, -1, ODD_BOTTOM>(oddSum, m, K);
    });
    constexpr int SUM_TOP = reductionTopBefore(W, J, L, 0, 0), ODD_SUM_TOP = reductionTopBefore(W, J, L, 0, 1);
    // T + oddSum: only the words from W up are kept, the lower ones give their carry.
    unrolled<N + 1 - ODD_BOTTOM>([&](auto word) {
        constexpr int q = ODD_BOTTOM + decltype(word)::value;
        uint32_t t = 0, o = 0;
        if constexpr (q <= SUM_TOP) t = T[q];
        if constexpr (q <= ODD_SUM_TOP) o = oddSum[q];
        if constexpr (q == ODD_BOTTOM)
            T[q] = addCarryOut(t, o);
        else if constexpr (q == N)
            T[q] = addCarryIn(t, o);
        else
            T[q] = addCarryInOut(t, o);
    });
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) U[i] = T[W + i];
    carry = T[N];
}

template <int W, int J>
__host__ __device__ __forceinline__ void montSqProduct(const uint32_t (&a)[W], const uint32_t (&K)[W - J],
                                                       uint32_t (&U)[W], uint32_t& carry) {
    uint32_t H[W - J];
    reductionTail<W, J>(K, H);
    montSqProductTail<W, J>(a, K, H, U, carry);
}

// Brings U + carry*R (< R + p) below R: subtract p when carry is set or U >= p.
// Narrow members form U - p in full and select it: the subtraction's chain
// decides U + carry*R >= p on the way (carry - borrow is negative exactly when
// it is below p), and a select per word costs less than the masked addition
// below. Wider members decide U >= p on K's words first; when they equal K it
// holds exactly when U's words below K are not all zero (p's low part is 1
// and zeros), so it is the absence of a borrow out of U's K words - K - [low
// words all zero]; the carry word then joins the same chain as one more word.
// Which correction a width uses, from bench/sass_profile: selecting saves 1 to
// 7 instructions per squaring up to width 12 on sm_75 and costs 1 to 3 from
// width 13 on.
__host__ __device__ constexpr bool selectsCorrection(int W) { return W <= 12; }

template <int W, int J>
__host__ __device__ __forceinline__ void montSqCorrect(uint32_t (&U)[W], uint32_t carry, const uint32_t (&K)[W - J]) {
    constexpr int L = W - J;
    if constexpr (selectsCorrection(W)) {
        uint32_t D[W];
        D[0] = subBorrowOut(U[0], 1);
        QUILBREX_UNROLL
        for (int t = 1; t < J; ++t) D[t] = subBorrowInOut(U[t], 0);
        QUILBREX_UNROLL
        for (int s = 0; s < L; ++s) D[J + s] = subBorrowInOut(U[J + s], K[s]);
        const bool below = (int32_t)subBorrowIn(carry, 0) < 0;
        QUILBREX_UNROLL
        for (int i = 0; i < W; ++i) U[i] = below ? U[i] : D[i];
    } else {
        uint32_t low = 0;
        QUILBREX_UNROLL
        for (int t = 0; t < J; ++t) low |= U[t];
        subBorrowOut(low, 1);
        QUILBREX_UNROLL
        for (int s = 0; s < L; ++s) subBorrowInOut(U[J + s], K[s]);
        // carry - borrow is negative exactly when U + carry*R < p.
        const uint32_t mask = ~(uint32_t)((int32_t)subBorrowIn(carry, 0) >> 31);
        // U + (R - p) mod R is U - p: R - p is all ones below K and ~K above,
        // and the carry out of the top cancels the carry word.
        U[0] = addCarryOut(U[0], mask);
        QUILBREX_UNROLL
        for (int t = 1; t < J; ++t) U[t] = addCarryInOut(U[t], mask);
        QUILBREX_UNROLL
        for (int s = 0; s < L - 1; ++s) U[J + s] = addCarryInOut(U[J + s], ~K[s] & mask);
        U[W - 1] = addCarryIn(U[W - 1], ~K[L - 1] & mask);
    }
}

// a = a^2 / R mod p, lazily reduced: some representative below R; H from
// reductionTail.
template <int W, int J, CrossOrder ORDER = crossOrderOf(W)>
__host__ __device__ __forceinline__ void montSqTail(uint32_t (&a)[W], const uint32_t (&K)[W - J],
                                                    const uint32_t (&H)[W - J]) {
    uint32_t U[W];
    uint32_t carry;
    montSqProductTail<W, J, ORDER>(a, K, H, U, carry);
    montSqCorrect<W, J>(U, carry, K);
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) a[i] = U[i];
}

template <int W, int J, CrossOrder ORDER = crossOrderOf(W)>
__host__ __device__ __forceinline__ void montSq(uint32_t (&a)[W], const uint32_t (&K)[W - J]) {
    uint32_t H[W - J];
    reductionTail<W, J>(K, H);
    montSqTail<W, J, ORDER>(a, K, H);
}

// The kernels' chains need less than montSqCorrect. Residues only have to
// stay below R (the final test is exact for any of them), and U + carry*R <
// R + p means U < p whenever the carry is set: subtracting p exactly when the
// carry is set (OnCarry) keeps every residue below R without comparing U
// with p. For p below R/4 no correction at all is needed (None): every a
// below 2p gives U = (a^2 + m*p)/R < 4p^2/R + p < 2p, so residues stay below
// 2p (and R/2: the carry is 0). Full is montSqCorrect, the chain whose
// residues the worked examples give.
enum class Correction { Full, OnCarry, None };

// Which widths the kernels run with OnCarry and None, from bench/sass_profile
// on sm_89: None saves 14 to 25 % of a squaring up to width 8 (width 3: 47.75
// -> 39.75 per squaring with OnCarry, 53 with Full). Wider members would
// gain less and a second chain doubles loops that already take 8 KB of code.
__host__ __device__ constexpr bool hasCheapChains(int W) { return W <= 8; }

// True when p = k*2^n+1 (bits = n + bitlen(k) of it) is below R/4.
template <int W>
__host__ __device__ __forceinline__ bool belowQuarterR(uint32_t bits) {
    return bits <= 32u * W - 2u;
}

// U = U - p when carry is 1 (then U < p, so U - p + R is below R); U stays
// when it is 0.
template <int W, int J>
__host__ __device__ __forceinline__ void montSqCorrectOnCarry(uint32_t (&U)[W], uint32_t carry,
                                                              const uint32_t (&K)[W - J]) {
    constexpr int L = W - J;
    const uint32_t mask = 0u - carry;
    U[0] = subBorrowOut(U[0], carry);
    QUILBREX_UNROLL
    for (int t = 1; t < J; ++t) U[t] = subBorrowInOut(U[t], 0);
    QUILBREX_UNROLL
    for (int s = 0; s < L - 1; ++s) U[J + s] = subBorrowInOut(U[J + s], K[s] & mask);
    U[W - 1] = subBorrowIn(U[W - 1], K[L - 1] & mask);
}

template <int W, int J, Correction C>
__host__ __device__ __forceinline__ void montSqStep(uint32_t (&a)[W], const uint32_t (&K)[W - J],
                                                   const uint32_t (&H)[W - J]) {
    if constexpr (C == Correction::Full) {
        montSqTail<W, J>(a, K, H);
    } else {
        uint32_t U[W];
        uint32_t carry;
        montSqProductTail<W, J>(a, K, H, U, carry);
        if constexpr (C == Correction::OnCarry) montSqCorrectOnCarry<W, J>(U, carry, K);
        QUILBREX_UNROLL
        for (int i = 0; i < W; ++i) a[i] = U[i];
    }
}

// count squarings of x. Up to width 17 the leftover count mod 4 comes first,
// then four per pass; the widest members keep one per pass to stay small.
// With Correction::None, p must be below R/4 and x below 2p.
template <int W, int J, Correction C = Correction::Full>
__host__ __device__ __forceinline__ void squaringChain(uint32_t (&x)[W], const uint32_t (&K)[W - J], uint32_t count) {
    uint32_t H[W - J];
    reductionTail<W, J>(K, H);
    if constexpr (W <= 17) {
        QUILBREX_NO_UNROLL
        for (uint32_t i = count & 3u; i != 0; --i) montSqStep<W, J, C>(x, K, H);
        QUILBREX_NO_UNROLL
        for (uint32_t i = count >> 2; i != 0; --i) {
            montSqStep<W, J, C>(x, K, H);
            montSqStep<W, J, C>(x, K, H);
            montSqStep<W, J, C>(x, K, H);
            montSqStep<W, J, C>(x, K, H);
        }
    } else {
        QUILBREX_NO_UNROLL
        for (uint32_t i = count; i != 0; --i) montSqStep<W, J, C>(x, K, H);
    }
}

// --- final test ------------------------------------------------------------------

// y = x + q*p over W+1 words with q = -x_0 mod 2^32 (so word 0 of y is 0);
// returns q. y < 2^32*R, since x < R and q*p < 2^32*(R-1).
template <int W, int J>
__host__ __device__ __forceinline__ uint32_t finalSum(const uint32_t (&x)[W], const uint32_t (&K)[W - J],
                                                      uint32_t (&y)[W + 1]) {
    const uint32_t q[1] = {0u - x[0]};
    // q*1 clears word 0 and carries exactly when x_0 != 0.
    y[0] = addCarryOut(x[0], q[0]);
    QUILBREX_UNROLL
    for (int t = 1; t < W; ++t) y[t] = addCarryInOut(x[t], 0);
    y[W] = addCarryIn(0, 0);
    constexpr int L = W - J;
    accumulateRun<J, strideTwoCount(0, L - 1), W, W, 0, 2, 0, 0>(y, K, q);
    accumulateRun<J + 1, strideTwoCount(1, L - 1), W, topAfterRun(J, strideTwoCount(0, L - 1), W, W), 1, 2, 0, 0>(
        y, K, q);
    return q[0];
}

// x represents 1 exactly when x + q*p = R; exact for every x below R because
// R/p < 2^32.
template <int W, int J>
__host__ __device__ __forceinline__ bool finalTest(const uint32_t (&x)[W], const uint32_t (&K)[W - J]) {
    uint32_t y[W + 1];
    finalSum<W, J>(x, K, y);
    uint32_t rest = 0;
    QUILBREX_UNROLL
    for (int t = 0; t < W; ++t) rest |= y[t];
    return rest == 0 && y[W] == 1;
}

// --- the plain residue ---------------------------------------------------------------

// v = x/R mod p, fully reduced, for any x below R: W word steps of the
// reduction, each the final test's step (which clears the lowest word and
// leaves the sum below 2^32*R) followed by a move down one word. The result
// is below p + 1 and never p (x stands for a power of two, p is odd), so it
// is the residue itself, the same on every member and every path.
template <int W, int J>
__host__ __device__ __forceinline__ void plainResidue(const uint32_t (&x)[W], const uint32_t (&K)[W - J],
                                                      uint32_t (&v)[W]) {
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) v[i] = x[i];
    QUILBREX_UNROLL
    for (int u = 0; u < W; ++u) {
        uint32_t y[W + 1];
        finalSum<W, J>(v, K, y);
        QUILBREX_UNROLL
        for (int i = 0; i < W; ++i) v[i] = y[i + 1];
    }
}

// What the test of a candidate finds: a factor, a proof k (the residue's
// lowest t bits are all zero), both or neither.
constexpr uint32_t VERDICT_FACTOR = 1, VERDICT_PROOF = 2;

// The verdict on a plain residue v (below p) for proof bits t (0 to 64).
template <int W>
__host__ __device__ __forceinline__ uint32_t residueVerdict(const uint32_t (&v)[W], uint32_t t) {
    uint32_t rest = 0;
    QUILBREX_UNROLL
    for (int i = 1; i < W; ++i) rest |= v[i];
    const uint32_t lowMask = t >= 32 ? 0xFFFFFFFFu : (1u << t) - 1u;
    const uint32_t highMask = t >= 64 ? 0xFFFFFFFFu : t > 32 ? (1u << (t - 32)) - 1u : 0u;
    const bool factor = rest == 0 && v[0] == 1;
    const bool proof = ((v[0] & lowMask) | (v[1] & highMask)) == 0;
    return (factor ? VERDICT_FACTOR : 0u) | (proof ? VERDICT_PROOF : 0u);
}

// --- the whole test ----------------------------------------------------------------

// The start the kernels use instead of 2R mod p, which costs up to 32
// shift-and-subtract steps: the plain value 2^(32W-64), one bit in word W-2,
// is a residue that represents 2^(32W-64)/R = 2^(-64) = 2^(-2^6). It is below
// p (p has more than 32(W-1) bits), so it suits both chains, and n-7
// squarings take it to 2^(-2^(n-1)), which is 1 exactly when 2^(2^(n-1)) is,
// for any odd p, prime or not.
constexpr uint32_t INVERSE_START_SQUARINGS = 6;

template <int W>
__host__ __device__ __forceinline__ void inverseStart(uint32_t (&x)[W]) {
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) x[i] = i == W - 2 ? 1u : 0u;
}

// The verdict on k*2^n+1 for proof bits t, for a candidate this member
// serves; 0 at once for any other. The residue whose bits decide is the one
// the chain reaches, 2^(-2^(n-1)) mod p: the inverse of 2^(2^(n-1)), which
// no one can have without the whole chain either, and which costs the
// checker one inversion more while 2^(2^(n-1)) itself would cost every
// candidate here an inversion. Without CHAIN the squarings are left out:
// what remains is the fixed cost of a candidate, which bench/sass_profile
// counts.
template <int W, int J, bool CHAIN = true>
__host__ __device__ __forceinline__ uint32_t factorVerdict(uint64_t k, uint32_t n, uint32_t t) {
    if (!servesCandidate<W, J>(k, n)) return 0;
    uint32_t K[W - J];
    formK<W, J>(k, n, K);
    uint32_t x[W];
    inverseStart<W>(x);
    const uint32_t squarings = n - 1 - INVERSE_START_SQUARINGS;
    if constexpr (!CHAIN) {
        // The chains' set-up, which every chain makes once.
        uint32_t H[W - J];
        reductionTail<W, J>(K, H);
        x[0] ^= H[0] ^ squarings;
    } else if constexpr (hasCheapChains(W)) {
        if (belowQuarterR<W>(n + highBitIndex(k) + 1u))
            squaringChain<W, J, Correction::None>(x, K, squarings);
        else
            squaringChain<W, J, Correction::OnCarry>(x, K, squarings);
    } else {
        squaringChain<W, J>(x, K, squarings);
    }
    uint32_t v[W];
    plainResidue<W, J>(x, K, v);
    return residueVerdict<W>(v, t);
}

// True when 2^(2^(n-1)) = 1 mod k*2^n+1, for a candidate this member serves;
// false at once for any other.
template <int W, int J, bool CHAIN = true>
__host__ __device__ __forceinline__ bool factorTest(uint64_t k, uint32_t n) {
    return (factorVerdict<W, J, CHAIN>(k, n, 64) & VERDICT_FACTOR) != 0;
}

}  // inline namespace QUILBREX_CARRY_NAMESPACE
