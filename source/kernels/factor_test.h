// The factor test of one candidate p = k*2^n+1 held in W 32-bit words (band J,
// k-part K of W-J words): start residue, Montgomery squaring chain and exact
// final test, as one __host__ __device__ source for the kernels and the host.
#pragma once

#include <cstdint>

#include "kernels/portable.h"

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
    uint32_t borrow = 0;
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) {
        const uint32_t v = a[i];
        a[i] = 0u - v - borrow;
        borrow = (uint32_t)((v | borrow) != 0);
    }
}

// a < b as W-word unsigned numbers (the borrow out of a - b).
template <int W>
__host__ __device__ __forceinline__ bool wordsLess(const uint32_t (&a)[W], const uint32_t (&b)[W]) {
    uint32_t borrow = 0;
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) {
        const uint64_t d = (uint64_t)a[i] - b[i] - borrow;
        borrow = (uint32_t)(d >> 32) & 1u;
    }
    return borrow != 0;
}

// a = a - b over W words; the caller ensures a >= b.
template <int W>
__host__ __device__ __forceinline__ void subtractWords(uint32_t (&a)[W], const uint32_t (&b)[W]) {
    uint32_t borrow = 0;
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) {
        const uint64_t d = (uint64_t)a[i] - b[i] - borrow;
        a[i] = (uint32_t)d;
        borrow = (uint32_t)(d >> 32) & 1u;
    }
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

// --- Montgomery squaring, R = 2^(32W), -1/p = 2^32-1 mod 2^32 ------------------

// U + carry*R = (a^2 + m*p) / R with m chosen word by word so that the low W
// words vanish. Product scanning: column c collects the doubled cross
// products a_i*a_l (i < l, formed once), the square a_(c/2)^2 and the
// reduction products m_u*K_s (u + J + s = c) in a 96-bit accumulator; for
// c < W its low word w gives m_c = -w, and adding m_c*1 (p's word 0) only
// clears the word and carries 1 when w != 0. p's zero words cost nothing.
template <int W, int J>
__host__ __device__ __forceinline__ void montSqProduct(const uint32_t (&a)[W], const uint32_t (&K)[W - J],
                                                       uint32_t (&U)[W], uint32_t& carry) {
    constexpr int L = W - J;
    uint32_t m[W];
    uint64_t acc = 0;     // bits 0..63 of the column accumulator
    uint32_t accTop = 0;  // bits 64..95
    QUILBREX_UNROLL
    for (int c = 0; c < 2 * W - 1; ++c) {
        uint64_t cross = 0;
        uint32_t crossTop = 0;
        QUILBREX_UNROLL
        for (int i = 0; i < W; ++i) {
            const int l = c - i;
            if (i < l && l < W) {
                const uint64_t product = (uint64_t)a[i] * a[l];
                cross += product;
                crossTop += (uint32_t)(cross < product);
            }
        }
        crossTop = (crossTop << 1) | (uint32_t)(cross >> 63);
        cross <<= 1;
        acc += cross;
        accTop += crossTop + (uint32_t)(acc < cross);
        if (c % 2 == 0) {
            const uint64_t square = (uint64_t)a[c / 2] * a[c / 2];
            acc += square;
            accTop += (uint32_t)(acc < square);
        }
        QUILBREX_UNROLL
        for (int s = 0; s < L; ++s) {
            const int u = c - J - s;
            if (u >= 0 && u < W) {
                const uint64_t product = (uint64_t)m[u] * K[s];
                acc += product;
                accTop += (uint32_t)(acc < product);
            }
        }
        const uint32_t w = (uint32_t)acc;
        if (c < W)
            m[c] = 0u - w;
        else
            U[c - W] = w;
        acc = (acc >> 32) | ((uint64_t)accTop << 32);
        accTop = 0;
        if (c < W) acc += (uint32_t)(w != 0);
    }
    // Column 2W-1 holds no products, only what was carried into it.
    U[W - 1] = (uint32_t)acc;
    carry = (uint32_t)(acc >> 32);
}

// Brings U + carry*R (< R + p) below R: subtract p when carry is set or U >= p.
// U >= p is decided on K's words first; when they equal K it holds exactly
// when U's words below K are not all zero (p's low part is 1 and zeros).
template <int W, int J>
__host__ __device__ __forceinline__ void montSqCorrect(uint32_t (&U)[W], uint32_t carry, const uint32_t (&K)[W - J]) {
    constexpr int L = W - J;
    uint32_t above = 0, below = 0;
    QUILBREX_UNROLL
    for (int s = L - 1; s >= 0; --s) {
        const uint32_t open = 1u ^ (above | below);
        above |= open & (uint32_t)(U[J + s] > K[s]);
        below |= open & (uint32_t)(U[J + s] < K[s]);
    }
    uint32_t low = 0;
    QUILBREX_UNROLL
    for (int t = 0; t < J; ++t) low |= U[t];
    const uint32_t atLeastP = above | ((1u ^ below) & (uint32_t)(low != 0));
    const uint32_t mask = 0u - (carry | atLeastP);
    // U - p: the 1 of word 0 borrows through the zero words, then K; the
    // borrow out of the top cancels the carry.
    uint32_t borrow = mask & 1u;
    QUILBREX_UNROLL
    for (int t = 0; t < J; ++t) {
        const uint32_t v = U[t];
        U[t] = v - borrow;
        borrow &= (uint32_t)(v == 0);
    }
    QUILBREX_UNROLL
    for (int s = 0; s < L; ++s) {
        const uint64_t d = (uint64_t)U[J + s] - (K[s] & mask) - borrow;
        U[J + s] = (uint32_t)d;
        borrow = (uint32_t)(d >> 32) & 1u;
    }
}

// a = a^2 / R mod p, lazily reduced: some representative below R.
template <int W, int J>
__host__ __device__ __forceinline__ void montSq(uint32_t (&a)[W], const uint32_t (&K)[W - J]) {
    uint32_t U[W];
    uint32_t carry;
    montSqProduct<W, J>(a, K, U, carry);
    montSqCorrect<W, J>(U, carry, K);
    QUILBREX_UNROLL
    for (int i = 0; i < W; ++i) a[i] = U[i];
}

// count squarings of x. Up to width 17 the leftover count mod 4 comes first,
// then four per pass; the widest members keep one per pass to stay small.
template <int W, int J>
__host__ __device__ __forceinline__ void squaringChain(uint32_t (&x)[W], const uint32_t (&K)[W - J], uint32_t count) {
    if constexpr (W <= 17) {
        QUILBREX_NO_UNROLL
        for (uint32_t i = count & 3u; i != 0; --i) montSq<W, J>(x, K);
        QUILBREX_NO_UNROLL
        for (uint32_t i = count >> 2; i != 0; --i) {
            montSq<W, J>(x, K);
            montSq<W, J>(x, K);
            montSq<W, J>(x, K);
            montSq<W, J>(x, K);
        }
    } else {
        QUILBREX_NO_UNROLL
        for (uint32_t i = count; i != 0; --i) montSq<W, J>(x, K);
    }
}

// --- final test ------------------------------------------------------------------

// y = x + q*p over W+1 words with q = -x_0 mod 2^32 (so word 0 of y is 0);
// returns q.
template <int W, int J>
__host__ __device__ __forceinline__ uint32_t finalSum(const uint32_t (&x)[W], const uint32_t (&K)[W - J],
                                                      uint32_t (&y)[W + 1]) {
    const uint32_t q = 0u - x[0];
    y[0] = x[0] + q;
    uint32_t carry = (uint32_t)(x[0] != 0);
    QUILBREX_UNROLL
    for (int t = 1; t < J; ++t) {
        y[t] = x[t] + carry;
        carry &= (uint32_t)(y[t] == 0);
    }
    uint64_t acc = carry;
    QUILBREX_UNROLL
    for (int s = 0; s < W - J; ++s) {
        acc += (uint64_t)q * K[s] + x[J + s];  // at most 2^64 - 1
        y[J + s] = (uint32_t)acc;
        acc >>= 32;
    }
    y[W] = (uint32_t)acc;
    return q;
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

// The whole test: true when 2^(2^(n-1)) = 1 mod k*2^n+1, for a candidate this
// member serves; false at once for any other.
template <int W, int J>
__host__ __device__ __forceinline__ bool factorTest(uint64_t k, uint32_t n) {
    if (!servesCandidate<W, J>(k, n)) return false;
    uint32_t K[W - J];
    formK<W, J>(k, n, K);
    uint32_t p[W];
    layoutP<W, J>(K, p);
    uint32_t x[W];
    startResidue<W>(p, n, highBitIndex(k), x);
    squaringChain<W, J>(x, K, n - 1);
    return finalTest<W, J>(x, K);
}
