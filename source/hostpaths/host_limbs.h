// Scalar pieces shared by the host fast paths, over little-endian 64-bit
// limbs: which candidates a member serves, batches in groups, p = k*2^n+1.
#pragma once

#include <cstdint>

typedef unsigned __int128 uint128_t;

// True when the member of width W and band J serves k*2^n+1: n in the band,
// k != 0 and 32(W-1) < bitlen(p) <= 32W. The same condition as the device's.
template <int W, int J>
inline bool memberServes(uint64_t k, uint32_t n) {
    if (k == 0 || (n >> 5) != (uint32_t)J) return false;
    const uint32_t bits = n + 64u - (uint32_t)__builtin_clzll(k);
    return bits > 32u * (W - 1) && bits <= 32u * W;
}

// Runs a member's batch through test, which tests G candidates at once (bit
// i of its result the i-th's hit, bit 32+i whether it is a proof k at proof
// bits t): the candidates the member serves are packed into groups of G, and
// a short last group repeats its first candidate in the empty places and
// ignores them. Others get verdict 0.
template <int W, int J, int G, typename GroupTest>
inline void testInGroups(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit,
                         GroupTest test) {
    static_assert(G <= 32, "one bit of the group's result per candidate");
    uint32_t where[G];
    uint64_t ks[G];
    int filled = 0;
    auto testFilled = [&] {
        for (int g = filled; g < G; ++g) ks[g] = ks[0];
        const uint64_t verdicts = test(ks, n, t);
        for (int g = 0; g < filled; ++g)
            hit[where[g]] = (uint8_t)(((verdicts >> g) & 1) | ((verdicts >> (32 + g)) & 1) << 1);
        filled = 0;
    };
    for (uint32_t i = 0; i < count; ++i) {
        hit[i] = 0;
        if (!memberServes<W, J>(k[i], n)) continue;
        where[filled] = i;
        ks[filled++] = k[i];
        if (filled == G) testFilled();
    }
    if (filled != 0) testFilled();
}

// p = k*2^n+1 in N limbs (n >= 32, so the 1 never meets k's bits).
template <int N>
inline void formP64(uint64_t k, uint32_t n, uint64_t (&p)[N]) {
    for (int i = 0; i < N; ++i) p[i] = 0;
    const uint32_t limb = n / 64, shift = n % 64;
    p[limb] = k << shift;
    if (shift != 0 && limb + 1 < (uint32_t)N) p[limb + 1] = k >> (64 - shift);
    p[0] |= 1;
}

// Bits from..from+127 of a (count limbs); bits beyond the top read as 0.
inline uint128_t bitsFrom(const uint64_t* a, int count, uint32_t from) {
    uint64_t w[3];
    const uint32_t limb = from / 64, shift = from % 64;
    for (int i = 0; i < 3; ++i) w[i] = limb + i < (uint32_t)count ? a[limb + i] : 0;
    const uint64_t lo = shift ? (w[0] >> shift) | (w[1] << (64 - shift)) : w[0];
    const uint64_t hi = shift ? (w[1] >> shift) | (w[2] << (64 - shift)) : w[1];
    return (uint128_t)hi << 64 | lo;
}

// a >= b over count limbs.
inline bool limbsAtLeast(const uint64_t* a, const uint64_t* b, int count) {
    for (int i = count - 1; i >= 0; --i)
        if (a[i] != b[i]) return a[i] > b[i];
    return true;
}

// a -= b over count limbs; the caller ensures a >= b.
inline void limbsSubtract(uint64_t* a, const uint64_t* b, int count) {
    uint64_t borrow = 0;
    for (int i = 0; i < count; ++i) {
        const uint128_t d = (uint128_t)a[i] - b[i] - borrow;
        a[i] = (uint64_t)d;
        borrow = (uint64_t)(d >> 64) & 1;
    }
}

// The mask of a residue's proof bits t (0 to 64) within the limb of `bits`
// bits that starts at bit `from`.
inline uint64_t proofMaskOfLimb(uint32_t t, uint32_t from, uint32_t bits) {
    if (t <= from) return 0;
    const uint32_t inLimb = t - from < bits ? t - from : bits;
    return inLimb >= 64 ? ~0ull : (1ull << inLimb) - 1;
}
