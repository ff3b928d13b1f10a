// Shared by the kernel tests: GMP as the independent reference for the factor
// test, conversions between word arrays and GMP integers, hex dumps, the random
// seed and edge-biased generators of operands and candidates.
#pragma once

#include <gmp.h>
#include <gmpxx.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "kernels/factor_arithmetic.h"

// The seed of every randomized kernel test: a fixed default so that runs are
// repeatable, overridable to explore (QUILBREX_KERNEL_TEST_SEED=...).
inline uint64_t kernelTestSeed() {
    const char* text = std::getenv("QUILBREX_KERNEL_TEST_SEED");
    return text && *text ? std::strtoull(text, nullptr, 0) : 0x5eed2024u;
}

inline mpz_class wordsToMpz(const uint32_t* words, int count) {
    mpz_class v;
    mpz_import(v.get_mpz_t(), count, -1, sizeof(uint32_t), 0, 0, words);
    return v;
}

// Fills count words with v, which must fit them; returns false when it does not.
inline bool mpzToWords(const mpz_class& v, uint32_t* words, int count) {
    if (v < 0 || mpz_sizeinbase(v.get_mpz_t(), 2) > 32u * count) return false;
    for (int i = 0; i < count; ++i) words[i] = 0;
    mpz_export(words, nullptr, -1, sizeof(uint32_t), 0, 0, v.get_mpz_t());
    return true;
}

// Most significant word first, as the worked examples are written.
inline std::string hexWords(const uint32_t* words, int count) {
    std::string text;
    char word[16];
    for (int i = count - 1; i >= 0; --i) {
        std::snprintf(word, sizeof word, "%08X", words[i]);
        if (!text.empty()) text += ' ';
        text += word;
    }
    return text;
}

inline std::string hexMpz(const mpz_class& v) { return "0x" + v.get_str(16); }

inline mpz_class powerOfTwo(unsigned long e) {
    mpz_class v;
    mpz_ui_pow_ui(v.get_mpz_t(), 2, e);
    return v;
}

inline mpz_class fromU64(uint64_t k) {
    mpz_class v;
    mpz_import(v.get_mpz_t(), 1, -1, sizeof(uint64_t), 0, 0, &k);
    return v;
}

inline mpz_class candidateP(uint64_t k, uint32_t n) { return fromU64(k) * powerOfTwo(n) + 1; }

// The reference verdict: 2^(2^(n-1)) mod p == 1.
inline bool gmpIsHit(uint64_t k, uint32_t n) {
    const mpz_class p = candidateP(k, n);
    mpz_class x = 2;
    for (uint32_t i = 0; i < n - 1; ++i) x = (x * x) % p;
    return x == 1;
}

// The residue of the proof property, 2^(-2^(n-1)) mod p, by mpz_powm and
// mpz_invert.
inline mpz_class gmpInverseResidue(uint64_t k, uint32_t n) {
    const mpz_class p = candidateP(k, n);
    mpz_class exponent, r;
    mpz_setbit(exponent.get_mpz_t(), n - 1);
    const mpz_class two = 2;
    mpz_powm(r.get_mpz_t(), two.get_mpz_t(), exponent.get_mpz_t(), p.get_mpz_t());
    mpz_invert(r.get_mpz_t(), r.get_mpz_t(), p.get_mpz_t());
    return r;
}

// Whether k is a proof k at proof bits t: the residue's lowest t bits are 0.
inline bool gmpIsProof(uint64_t k, uint32_t n, uint32_t t) {
    const mpz_class r = gmpInverseResidue(k, n);
    return t == 0 || mpz_scan1(r.get_mpz_t(), 0) >= t;
}

// The reference verdict of a served candidate (VERDICT_FACTOR, VERDICT_PROOF).
inline uint8_t gmpVerdict(uint64_t k, uint32_t n, uint32_t t) {
    return (uint8_t)((gmpIsHit(k, n) ? VERDICT_FACTOR : 0u) | (gmpIsProof(k, n, t) ? VERDICT_PROOF : 0u));
}

// The exact U + carry*R of one Montgomery squaring, before the conditional
// subtraction: (a^2 + m*p)/R with m = -a^2/p mod R.
inline mpz_class gmpMontProduct(const mpz_class& a, const mpz_class& p, int width) {
    const mpz_class R = powerOfTwo(32ul * width);
    mpz_class inverse;
    mpz_invert(inverse.get_mpz_t(), p.get_mpz_t(), R.get_mpz_t());
    const mpz_class square = a * a;
    mpz_class m = (-square * inverse) % R;
    if (m < 0) m += R;
    return (square + m * p) / R;
}

// The exact result of one Montgomery squaring: gmpMontProduct, less p when
// it is >= p.
inline mpz_class gmpMontSq(const mpz_class& a, const mpz_class& p, int width) {
    mpz_class U = gmpMontProduct(a, p, width);
    if (U >= p) U -= p;
    return U;
}

inline uint32_t bitLength(uint64_t k) { return k == 0 ? 0 : 64 - __builtin_clzll(k); }

// Lowest and highest exponent of band j at which a member of this width
// serves any k.
inline uint32_t lowestServedN(uint32_t width, uint32_t band) { return width == band + 3 ? 32 * band + 1 : 32 * band; }
inline uint32_t highestServedN(uint32_t band) { return 32 * band + 31; }

// Range of bitlen(k) that the member of this width serves at exponent n.
inline uint32_t minServedBits(uint32_t width, uint32_t n) {
    const int bits = 32 * (int)(width - 1) + 1 - (int)n;
    return bits < 1 ? 1 : (uint32_t)bits;
}
inline uint32_t maxServedBits(uint32_t width, uint32_t n) {
    const uint32_t bits = 32 * width - n;
    return bits > 64 ? 64 : bits;
}

inline uint64_t lowBitsMask(uint32_t bits) { return bits >= 64 ? ~0ull : (1ull << bits) - 1; }

// A k of exactly `bits` bits: the smallest, the largest or one of a few
// patterns in between.
inline uint64_t kWithBits(std::mt19937_64& rng, uint32_t bits) {
    const uint64_t top = 1ull << (bits - 1);
    const uint64_t below = top - 1;
    switch (rng() % 6) {
        case 0: return top;
        case 1: return top | below;
        case 2: return top | (below & 0xAAAAAAAAAAAAAAAAull) | 1;
        default: return top | (rng() & below) | 1;
    }
}

// An exponent and a multiplier that the member (width, band) serves, biased
// to the edges of the band and of the width.
inline void randomCandidate(std::mt19937_64& rng, uint32_t width, uint32_t band, uint64_t& k, uint32_t& n) {
    const uint32_t low = lowestServedN(width, band), high = highestServedN(band);
    switch (rng() % 4) {
        case 0: n = low; break;
        case 1: n = high; break;
        default: n = low + (uint32_t)(rng() % (high - low + 1));
    }
    const uint32_t minBits = minServedBits(width, n), maxBits = maxServedBits(width, n);
    uint32_t bits;
    switch (rng() % 4) {
        case 0: bits = minBits; break;
        case 1: bits = maxBits; break;
        default: bits = minBits + (uint32_t)(rng() % (maxBits - minBits + 1));
    }
    k = kWithBits(rng, bits);
}

// A random modulus of the member of width W and band J: a candidate it
// serves (randomCandidate), its k-part K and p laid out as the squaring sees
// them, and p as a GMP integer.
template <int W, int J>
struct MemberModulus {
    uint64_t k;
    uint32_t n;
    uint32_t K[W - J];
    uint32_t p[W];
    mpz_class P;
};

template <int W, int J>
MemberModulus<W, J> randomModulus(std::mt19937_64& rng) {
    MemberModulus<W, J> m;
    randomCandidate(rng, W, J, m.k, m.n);
    formK<W, J>(m.k, m.n, m.K);
    layoutP<W, J>(m.K, m.p);
    m.P = wordsToMpz(m.p, W);
    return m;
}

// A residue operand below R = 2^(32*width), biased to edge words and values:
// 0, 1, 2^32-1 words, runs of ones, top bit set, R-1 and values near p.
inline mpz_class randomOperand(std::mt19937_64& rng, int width, const mpz_class& p) {
    const mpz_class R = powerOfTwo(32ul * width);
    const uint32_t edgeWords[] = {0u, 1u, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0x00010000u};
    uint32_t words[32];
    switch (rng() % 8) {
        case 0: return 0;
        case 1: return 1;
        case 2: return R - 1;
        case 3: {  // a run of ones
            const unsigned long lo = rng() % (32ul * width), hi = lo + 1 + rng() % (32ul * width - lo);
            return powerOfTwo(hi) - powerOfTwo(lo);
        }
        case 4: {  // near p and its small multiples
            const mpz_class near[] = {p - 1, p, p + 1, 2 * p - 1, 2 * p, R - p, R - p - 1, R - 2};
            mpz_class v = near[rng() % 8];
            return v < 0 ? mpz_class(0) : (v >= R ? R - 1 : v);
        }
        case 5:  // edge words
            for (int i = 0; i < width; ++i) words[i] = edgeWords[rng() % 6];
            return wordsToMpz(words, width);
        case 6:  // top bit set
            for (int i = 0; i < width; ++i) words[i] = (uint32_t)rng();
            words[width - 1] |= 0x80000000u;
            return wordsToMpz(words, width);
        default:
            for (int i = 0; i < width; ++i) words[i] = (uint32_t)rng();
            return wordsToMpz(words, width);
    }
}
