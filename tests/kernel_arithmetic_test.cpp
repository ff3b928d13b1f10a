// The factor-test arithmetic stage by stage: the worked examples word for
// word, then every member of the family against GMP on edge-biased random
// operands and candidates.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel_test_helpers.h"
#include "kernels/factor_arithmetic.h"
#include "kernels/kernel_list.h"

namespace {

template <int N>
std::string hex(const uint32_t (&a)[N]) {
    return hexWords(a, N);
}

template <int N>
mpz_class toMpz(const uint32_t (&a)[N]) {
    return wordsToMpz(a, N);
}

template <int N>
void fromMpz(const mpz_class& v, uint32_t (&a)[N]) {
    ASSERT_TRUE(mpzToWords(v, a, N)) << hexMpz(v) << " does not fit " << N << " words";
}

std::string seedText() { return "seed " + std::to_string(kernelTestSeed()); }

// --- worked examples ---------------------------------------------------------------

TEST(KernelArithmeticExamples, FormingP) {
    uint32_t p3[3];
    formP<3, 1>(4119, 54, p3);
    EXPECT_EQ(hex(p3), "00000004 05C00000 00000001");

    // Two-word K above one zero word.
    uint32_t p4[4];
    formP<4, 2>(1421, 93, p4);
    EXPECT_EQ(hex(p4), "000000B1 A0000000 00000000 00000001");

    // Three-word K whose middle word joins both halves of k.
    formP<4, 1>(0xFEDCBA9876543211ull, 40, p4);
    EXPECT_EQ(hex(p4), "000000FE DCBA9876 54321100 00000001");
}

TEST(KernelArithmeticExamples, StartResidueStagesOf4119) {
    uint32_t K[2], p[3];
    formK<3, 1>(4119, 54, K);
    layoutP<3, 1>(K, p);
    ASSERT_EQ(hex(p), "00000004 05C00000 00000001");
    const uint32_t h = highBitIndex(4119);
    EXPECT_EQ(h, 12u);
    const uint32_t s = startShift<3>(54, h);
    ASSERT_EQ(s, 30u);

    uint32_t r[3];
    shiftedP<3>(p, s, r);
    EXPECT_EQ(hex(r), "01700000 00000000 40000000");
    negateWords<3>(r);
    EXPECT_EQ(hex(r), "FE8FFFFF FFFFFFFF C0000000");
    shiftSubtractReduce<3>(r, p, s);
    EXPECT_EQ(hex(r), "00000003 A33FFFFF 80B6F8FB");

    uint32_t start[3];
    startResidue<3>(p, 54, h, start);
    EXPECT_EQ(hex(start), "00000003 A33FFFFF 80B6F8FB");
}

TEST(KernelArithmeticExamples, SquaringChainAndFinalTestOf4119) {
    uint32_t K[2], p[3], x[3];
    formK<3, 1>(4119, 54, K);
    layoutP<3, 1>(K, p);
    startResidue<3>(p, 54, 12, x);
    const std::pair<int, const char*> expected[] = {
        {1, "00000003 40BFFFFF 016DF1F5"},
        {2, "00000000 F1BFFFFC 05B7C7D1"},
        {52, "00000000 31400000 3FA48383"},  // represents -1: p divides F52
        {53, "00000003 D47FFFFF C05B7C7E"},  // represents 1
    };
    int done = 0;
    for (const auto& [step, words] : expected) {
        for (; done < step; ++done) montSq<3, 1>(x, K);
        EXPECT_EQ(hex(x), words) << "x_" << step;
    }
    uint32_t y[4];
    EXPECT_EQ((finalSum<3, 1>(x, K, y)), 0x3FA48382u);
    EXPECT_EQ(hex(y), "00000001 00000000 00000000 00000000");
    EXPECT_TRUE((finalTest<3, 1>(x, K)));
    EXPECT_TRUE((factorTest<3, 1>(4119, 54)));
}

TEST(KernelArithmeticExamples, SquareWithZeroLowWord) {
    // a_0 = 2^16 makes word 0 of a^2 zero: m_0 = 0 and nothing carries out.
    uint32_t K[2], a[3] = {0x00010000u, 0x23456789u, 0x00000001u};
    formK<3, 1>(4119, 54, K);
    montSq<3, 1>(a, K);
    EXPECT_EQ(hex(a), "00000002 5B6F60B2 5F3834AF");
}

TEST(KernelArithmeticExamples, WidthFourWithZeroWord1421) {
    uint32_t K[2], p[4], x[4];
    formK<4, 2>(1421, 93, K);
    layoutP<4, 2>(K, p);
    const uint32_t h = highBitIndex(1421);
    EXPECT_EQ(h, 10u);
    EXPECT_EQ(startShift<4>(93, h), 25u);
    startResidue<4>(p, 93, h, x);
    EXPECT_EQ(hex(x), "00000047 DFFFFFFF FFFFFFFF FD1E15FB");
    squaringChain<4, 2>(x, K, 92);
    EXPECT_EQ(hex(x), "0000007C BFFFFFFF FFFFFFFF FE8F0AFE");
    uint32_t y[5];
    EXPECT_EQ((finalSum<4, 2>(x, K, y)), 0x0170F502u);
    EXPECT_EQ(hex(y), "00000001 00000000 00000000 00000000 00000000");
    EXPECT_TRUE((factorTest<4, 2>(1421, 93)));
}

// The start shift at its extremes: s = 1 (p of exactly 32W bits), s = 32 (the
// one-word move), s = 2 (the smallest at a member of width j+3).
template <int W, int J>
void checkShiftEdge(uint64_t k, uint32_t n, uint32_t shift) {
    SCOPED_TRACE("k=" + std::to_string(k) + " n=" + std::to_string(n));
    ASSERT_TRUE((servesCandidate<W, J>(k, n)));
    const uint32_t h = highBitIndex(k);
    EXPECT_EQ(startShift<W>(n, h), shift);
    uint32_t K[W - J], p[W], x[W];
    formK<W, J>(k, n, K);
    layoutP<W, J>(K, p);
    const mpz_class P = candidateP(k, n), R = powerOfTwo(32ul * W);
    ASSERT_TRUE(toMpz(p) == P) << hex(p);
    startResidue<W>(p, n, h, x);
    EXPECT_TRUE(toMpz(x) == (2 * R) % P) << "p=" << hex(p) << " got " << hex(x);
    mpz_class v = 2;
    for (uint32_t i = 1; i < n; ++i) {
        montSq<W, J>(x, K);
        v = v * v % P;
        if ((toMpz(x) - v * R) % P != 0) {
            ADD_FAILURE() << "x_" << i << "=" << hex(x) << " p=" << hex(p);
            return;
        }
    }
    EXPECT_EQ((factorTest<W, J>(k, n)), gmpIsHit(k, n));
}

TEST(KernelArithmeticExamples, StartShiftExtremes) {
    checkShiftEdge<3, 1>((1ull << 33) - 1, 63, 1);
    checkShiftEdge<3, 1>((1ull << 32) + 1, 32, 32);
    checkShiftEdge<3, 1>(1ull << 32, 32, 32);  // F6: a hit
    checkShiftEdge<4, 2>((1ull << 32) + 1, 64, 32);
    checkShiftEdge<4, 1>(~0ull, 63, 2);
    checkShiftEdge<4, 1>(1ull << 63, 33, 32);  // 97 bits: the one-word move at width j+3
    checkShiftEdge<20, 18>((1ull << 33) - 1, 607, 1);
    checkShiftEdge<20, 18>((1ull << 32) + 1, 576, 32);
    checkShiftEdge<20, 17>(~0ull, 575, 2);
    checkShiftEdge<20, 17>(1ull << 63, 545, 32);
}

// A reduced value U of exactly p-1 with no carry stays; U = p becomes 0.
// For a prime p dividing F_m, 2^(2^(m-1)) is a square root of -1 and
// 2^(16W) one of R, so a = 2^(2^(m-1) + 16W) mod p has a^2 = -R: then
// a^2 + m*p = (p-1)*R exactly. And a = p gives a^2 + (R-p)*p = p*R.
template <int W, int J>
void checkExactReduction(uint64_t k, uint32_t n, unsigned long m) {
    SCOPED_TRACE("k=" + std::to_string(k) + " n=" + std::to_string(n));
    uint32_t K[W - J], p[W], a[W], U[W];
    formK<W, J>(k, n, K);
    layoutP<W, J>(K, p);
    const mpz_class P = candidateP(k, n);
    mpz_class root;
    const mpz_class e = powerOfTwo(m - 1) + 16 * W;
    mpz_powm(root.get_mpz_t(), mpz_class(2).get_mpz_t(), e.get_mpz_t(), P.get_mpz_t());
    ASSERT_TRUE((root * root + powerOfTwo(32ul * W)) % P == 0);
    fromMpz(root, a);

    uint32_t carry = 9;
    montSqProduct<W, J>(a, K, U, carry);
    EXPECT_EQ(carry, 0u);
    EXPECT_TRUE(toMpz(U) == P - 1) << hex(U);
    montSqCorrect<W, J>(U, carry, K);
    EXPECT_TRUE(toMpz(U) == P - 1) << hex(U);
    montSq<W, J>(a, K);
    EXPECT_TRUE(toMpz(a) == P - 1) << hex(a);

    montSqProduct<W, J>(p, K, U, carry);
    EXPECT_EQ(carry, 0u);
    EXPECT_TRUE(toMpz(U) == P) << hex(U);
    uint32_t x[W];
    std::memcpy(x, p, sizeof x);
    montSq<W, J>(x, K);
    EXPECT_TRUE(toMpz(x) == 0) << hex(x);
}

TEST(KernelArithmeticExamples, ReducedValueOfPMinusOneStaysAndPBecomesZero) {
    checkExactReduction<3, 1>(4119, 54, 52);
    checkExactReduction<4, 2>(1421, 93, 91);
    checkExactReduction<6, 4>(1575, 157, 150);
    checkExactReduction<9, 7>(403, 252, 250);
}

// --- every member against GMP ------------------------------------------------------

template <int W, int J>
void checkFormP(std::mt19937_64& rng) {
    for (int i = 0; i < 200; ++i) {
        uint64_t k;
        uint32_t n;
        randomCandidate(rng, W, J, k, n);
        ASSERT_TRUE((servesCandidate<W, J>(k, n))) << "k=" << k << " n=" << n;
        uint32_t p[W];
        formP<W, J>(k, n, p);
        ASSERT_TRUE(toMpz(p) == candidateP(k, n)) << "k=" << k << " n=" << n << " got " << hex(p);
    }
}

template <int W, int J>
void checkStartResidue(std::mt19937_64& rng) {
    const mpz_class R = powerOfTwo(32ul * W);
    for (int i = 0; i < 2000; ++i) {
        uint64_t k;
        uint32_t n;
        randomCandidate(rng, W, J, k, n);
        uint32_t p[W], r[W];
        formP<W, J>(k, n, p);
        const uint32_t s = startShift<W>(n, highBitIndex(k));
        ASSERT_TRUE(s >= 1 && s <= 32) << "s=" << s;
        startResidue<W>(p, n, highBitIndex(k), r);
        const mpz_class P = toMpz(p);
        ASSERT_TRUE(toMpz(r) == (2 * R) % P) << "p=" << hex(p) << " s=" << s << " got " << hex(r);
    }
}

template <int W, int J>
void checkMontSq(std::mt19937_64& rng) {
    const mpz_class R = powerOfTwo(32ul * W);
    for (int c = 0; c < 40; ++c) {
        auto [k, n, K, p, P] = randomModulus<W, J>(rng);
        mpz_class Rinv;
        mpz_invert(Rinv.get_mpz_t(), R.get_mpz_t(), P.get_mpz_t());
        for (int i = 0; i < 250; ++i) {
            const mpz_class A = randomOperand(rng, W, P);
            uint32_t a[W], x[W];
            fromMpz(A, a);
            std::memcpy(x, a, sizeof x);
            montSq<W, J>(x, K);
            const mpz_class X = toMpz(x);
            if (X != gmpMontSq(A, P, W) || (X - A * A * Rinv) % P != 0) {
                ADD_FAILURE() << "montSq(a) with p=" << hex(p) << " a=" << hex(a) << ": got " << hex(x)
                              << ", want " << hexMpz(gmpMontSq(A, P, W));
                return;
            }
        }
    }
}

// The conditional subtraction at the boundaries of U >= p, with and without
// the carry word: U + c*R must come out as itself, less p when it is >= p.
template <int W, int J>
void checkMontSqCorrect(std::mt19937_64& rng) {
    const mpz_class R = powerOfTwo(32ul * W), lowUnit = powerOfTwo(32ul * J);
    for (int c = 0; c < 30; ++c) {
        auto [k, n, K, p, P] = randomModulus<W, J>(rng);
        const mpz_class kPart = P / lowUnit;  // K
        const std::pair<mpz_class, uint32_t> cases[] = {
            {P - 2, 0},                                       // K's words below K, low part all ones
            {P - 1, 0},                                       // K's words equal K, low part zero: stays
            {P, 0},                                           // becomes 0
            {P + 1, 0},
            {kPart * lowUnit + powerOfTwo(32ul * J - 1), 0},  // K's words equal, only the top low bit
            {kPart * lowUnit + lowUnit - 1, 0},               // K's words equal, low part all ones
            {(kPart + 1) * lowUnit, 0},                       // K's words above, low part zero
            {(kPart - 1) * lowUnit + 1, 0},                   // K's words below, low word 0 is 1
            {R - 1, 0},
            {0, 0},
            {0, 1},
            {1, 1},
            {P - 1, 1},
            {randomOperand(rng, W, P) % P, 1},
            {randomOperand(rng, W, P), 0},
        };
        for (const auto& [value, carry] : cases) {
            if (value >= R) continue;  // (K+1)*2^(32J) when K is all ones
            uint32_t U[W];
            fromMpz(value, U);
            const mpz_class V = value + carry * R;
            const mpz_class want = V >= P ? V - P : V;
            montSqCorrect<W, J>(U, carry, K);
            if (toMpz(U) != want) {
                ADD_FAILURE() << "correct(U=" << hexMpz(value) << ", c=" << carry << ") with p=" << hex(p)
                              << ": got " << hex(U) << ", want " << hexMpz(want);
                return;
            }
        }
    }
}

// Every residue of a chain represents 2^(2^i); the chain layout (leftover
// squarings then four per pass, or one per pass) matches single squarings.
template <int W, int J>
void checkChain(std::mt19937_64& rng) {
    const mpz_class R = powerOfTwo(32ul * W);
    for (int c = 0; c < 12; ++c) {
        auto [k, n, K, p, P] = randomModulus<W, J>(rng);
        uint32_t start[W], x[W];
        startResidue<W>(p, n, highBitIndex(k), start);
        std::memcpy(x, start, sizeof x);
        mpz_class v = 2;
        std::vector<std::vector<uint32_t>> residues{std::vector<uint32_t>(start, start + W)};
        for (uint32_t i = 1; i < n; ++i) {
            montSq<W, J>(x, K);
            residues.emplace_back(x, x + W);
            v = v * v % P;
            if ((toMpz(x) - v * R) % P != 0) {
                ADD_FAILURE() << "x_" << i << " with p=" << hex(p) << " is " << hex(x) << ", not 2^(2^" << i
                              << ")*R mod p";
                return;
            }
        }
        const uint32_t counts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, n - 2, n - 1};
        for (uint32_t count : counts) {
            uint32_t y[W];
            std::memcpy(y, start, sizeof y);
            squaringChain<W, J>(y, K, count);
            if (std::vector<uint32_t>(y, y + W) != residues[count]) {
                ADD_FAILURE() << "squaringChain(" << count << ") with p=" << hex(p) << " gives " << hex(y);
                return;
            }
        }
        EXPECT_EQ((finalTest<W, J>(x, K)), v == 1) << "p=" << hex(p);
        EXPECT_EQ((factorTest<W, J>(k, n)), v == 1) << "p=" << hex(p);
    }
}

// The kernels' start 2^(32W-64) and their cheaper chains. The corrected
// chain from the start represents 2^(-2^(6+i)). The chain that corrects on
// the carry only keeps residues below R, the one without correction (p below
// R/4, at most 32W-2 bits) below 2p, both congruent to the full chain's,
// from the start and from edge operands. factorTest agrees with GMP on both
// sides of the switch between them (32W-2 and 32W-1 bits) and at the widest p.
template <int W, int J>
void checkCheapChains(std::mt19937_64& rng) {
    const mpz_class R = powerOfTwo(32ul * W);
    for (int c = 0; c < 12; ++c) {
        uint64_t k;
        uint32_t n;
        randomCandidate(rng, W, J, k, n);
        const uint32_t minBits = minServedBits(W, n), maxBits = maxServedBits(W, n);
        // p has n + bitlen(k) bits: aim at the switch and at both ends.
        const uint32_t aims[] = {32u * W - 2 - n, 32u * W - 1 - n, maxBits, minBits};
        const uint32_t bits = aims[c % 4];
        if (bits < minBits || bits > maxBits || bits == 0 || bits > 64) continue;
        k = kWithBits(rng, bits);
        uint32_t K[W - J], p[W];
        formK<W, J>(k, n, K);
        layoutP<W, J>(K, p);
        const mpz_class P = toMpz(p);
        SCOPED_TRACE("k=" + std::to_string(k) + " n=" + std::to_string(n) + " p=" + hex(p));
        EXPECT_EQ((factorTest<W, J>(k, n)), gmpIsHit(k, n));

        uint32_t start[W];
        inverseStart<W>(start);
        ASSERT_TRUE(toMpz(start) == powerOfTwo(32ul * W - 64) && toMpz(start) < P);
        mpz_class inverseTwo, v;  // v: what the residue after i squarings represents
        mpz_invert(inverseTwo.get_mpz_t(), mpz_class(2).get_mpz_t(), P.get_mpz_t());
        mpz_powm_ui(v.get_mpz_t(), inverseTwo.get_mpz_t(), 64, P.get_mpz_t());
        uint32_t x[W];
        std::memcpy(x, start, sizeof x);
        for (uint32_t i = 1; i <= n - 1 - INVERSE_START_SQUARINGS; ++i) {
            squaringChain<W, J>(x, K, 1);
            v = v * v % P;
            if ((toMpz(x) - v * R) % P != 0) {
                ADD_FAILURE() << "from the start, x_" << i << " is " << hex(x) << ", not 2^(-2^" << 6 + i << ")*R";
                return;
            }
        }
        const bool uncorrected = n + bitLength(k) <= 32u * W - 2;
        const mpz_class limit = uncorrected ? 2 * P : R;
        const mpz_class operands[] = {toMpz(start), 0, 1, P - 1, P, P + 1, 2 * P - 1, limit - 1,
                                      randomOperand(rng, W, P) % limit, randomOperand(rng, W, P) % limit};
        for (const mpz_class& a : operands) {
            if (a >= limit) continue;
            uint32_t onCarry[W], none[W], full[W];
            fromMpz(a, full);
            std::memcpy(onCarry, full, sizeof full);
            std::memcpy(none, full, sizeof full);
            for (uint32_t count : {1u, 4u, 7u}) {
                squaringChain<W, J>(full, K, count);
                squaringChain<W, J, Correction::OnCarry>(onCarry, K, count);
                if ((toMpz(onCarry) - toMpz(full)) % P != 0) {
                    ADD_FAILURE() << "chain correcting on the carry from " << hexMpz(a) << " gives " << hex(onCarry)
                                  << ", the full one " << hex(full);
                    return;
                }
                if (!uncorrected) continue;
                squaringChain<W, J, Correction::None>(none, K, count);
                if (toMpz(none) >= 2 * P || (toMpz(none) - toMpz(full)) % P != 0) {
                    ADD_FAILURE() << "uncorrected chain from " << hexMpz(a) << " gives " << hex(none)
                                  << ", the full one " << hex(full);
                    return;
                }
            }
        }
    }
}

// The final test reports exactly the residues congruent to R, whichever
// representative below R they are; residues of 0, 2, 3, -1 and the like, at
// their lowest and highest representatives (where x + q*p is a small
// multiple of R), are not hits.
template <int W, int J>
void checkFinalTest(std::mt19937_64& rng) {
    const mpz_class R = powerOfTwo(32ul * W);
    for (int c = 0; c < 30; ++c) {
        auto [k, n, K, p, P] = randomModulus<W, J>(rng);
        const mpz_class one = R % P, top = one + ((R - 1 - one) / P) * P;
        const mpz_class cases[] = {one,     one + P,           top,      top - P, one + 1, one - 1, top + 1,
                                   P - one, 0,                 R - 1,    P,       one + P / 2,
                                   randomOperand(rng, W, P), randomOperand(rng, W, P)};
        std::vector<mpz_class> values(std::begin(cases), std::end(cases));
        // Plain values with exactly 0, 1, 31, 32, 33, 52, 63 and 64 low zero
        // bits, for the proof bits' masks.
        std::vector<mpz_class> plain = {0, 2, 3, 5, P - 1, P - 3};
        for (unsigned long zeros : {0ul, 1ul, 31ul, 32ul, 33ul, 52ul, 63ul, 64ul})
            plain.push_back((randomOperand(rng, W, P) >> (zeros + 1) << (zeros + 1)) + powerOfTwo(zeros));
        for (const mpz_class& t : plain) {
            const mpz_class rep = t * R % P;
            values.push_back(rep);
            values.push_back(rep + ((R - 1 - rep) / P) * P);
        }
        for (const mpz_class& value : values) {
            if (value < 0 || value >= R) continue;
            uint32_t x[W];
            fromMpz(value, x);
            const bool want = value % P == one;
            if ((finalTest<W, J>(x, K)) != want) {
                ADD_FAILURE() << "finalTest(" << hex(x) << ") with p=" << hex(p) << " is " << !want;
                return;
            }
            // x = 0 mod p stands for no power of two; every other x gives
            // its plain value fully reduced, and the verdict follows from it.
            if (value % P == 0) continue;
            mpz_class inverseR, expected;
            mpz_invert(inverseR.get_mpz_t(), R.get_mpz_t(), P.get_mpz_t());
            expected = value * inverseR % P;
            uint32_t v[W];
            plainResidue<W, J>(x, K, v);
            if (toMpz(v) != expected) {
                ADD_FAILURE() << "plainResidue(" << hex(x) << ") with p=" << hex(p) << " is " << hex(v);
                return;
            }
            for (uint32_t t : {0u, 1u, 2u, 31u, 32u, 33u, 52u, 53u, 63u, 64u}) {
                const bool proof = t == 0 || mpz_scan1(expected.get_mpz_t(), 0) >= t;
                const uint32_t verdict = (want ? VERDICT_FACTOR : 0u) | (proof ? VERDICT_PROOF : 0u);
                if (residueVerdict<W>(v, t) != verdict) {
                    ADD_FAILURE() << "residueVerdict(" << hex(v) << ", t=" << t << ") is " << residueVerdict<W>(v, t);
                    return;
                }
            }
        }
    }
}

// Candidates outside the precondition of width end at once without a hit,
// even where 2^(2^(n-1)) = 1 mod p.
template <int W, int J>
void checkOutsidePrecondition(std::mt19937_64& rng) {
    const uint32_t low = lowestServedN(W, J), high = highestServedN(J);
    for (uint32_t n : {low, high, low + (uint32_t)(rng() % (high - low + 1))}) {
        EXPECT_FALSE((factorTest<W, J>(0, n))) << "k=0 n=" << n;
        const uint32_t minBits = minServedBits(W, n), maxBits = maxServedBits(W, n);
        if (minBits > 1) {
            const uint64_t k = lowBitsMask(minBits - 1);
            EXPECT_FALSE((servesCandidate<W, J>(k, n))) << "k=" << k << " n=" << n;
            EXPECT_FALSE((factorTest<W, J>(k, n))) << "k=" << k << " n=" << n;
        }
        if (maxBits < 64) {
            const uint64_t k = 1ull << maxBits;
            EXPECT_FALSE((servesCandidate<W, J>(k, n))) << "k=" << k << " n=" << n;
            EXPECT_FALSE((factorTest<W, J>(k, n))) << "k=" << k << " n=" << n;
        }
    }
    // A k this member serves in its band, at exponents outside the band.
    uint64_t k;
    uint32_t n;
    randomCandidate(rng, W, J, k, n);
    EXPECT_FALSE((factorTest<W, J>(k, 32 * J - 1)));
    EXPECT_FALSE((factorTest<W, J>(k, 32 * J + 32)));
    EXPECT_FALSE((factorTest<W, J>(k, 0)));
    EXPECT_FALSE((factorTest<W, J>(k, 0xFFFFFFFFu)));
}

struct MemberChecks {
    const char* name;
    void (*formP)(std::mt19937_64&);
    void (*startResidue)(std::mt19937_64&);
    void (*montSq)(std::mt19937_64&);
    void (*montSqCorrect)(std::mt19937_64&);
    void (*chain)(std::mt19937_64&);
    void (*cheapChains)(std::mt19937_64&);
    void (*finalTest)(std::mt19937_64&);
    void (*outside)(std::mt19937_64&);
};

#define MEMBER_CHECKS(WIDTH, BAND, LENGTH, NAME)                                                          \
    {#NAME,                        &checkFormP<WIDTH, BAND>, &checkStartResidue<WIDTH, BAND>,             \
     &checkMontSq<WIDTH, BAND>,    &checkMontSqCorrect<WIDTH, BAND>, &checkChain<WIDTH, BAND>,             \
     &checkCheapChains<WIDTH, BAND>,                                                                 \
     &checkFinalTest<WIDTH, BAND>, &checkOutsidePrecondition<WIDTH, BAND>},
const MemberChecks members[] = {QUILBREX_KERNEL_FAMILY(MEMBER_CHECKS)};
#undef MEMBER_CHECKS

void forEveryMember(void (*MemberChecks::*check)(std::mt19937_64&)) {
    const uint64_t seed = kernelTestSeed();
    int index = 0;
    for (const MemberChecks& member : members) {
        SCOPED_TRACE(std::string(member.name) + ", " + seedText());
        std::mt19937_64 rng(seed * 1000003u + index++);
        (member.*check)(rng);
    }
}

TEST(KernelArithmeticMembers, FormingPMatchesGmp) { forEveryMember(&MemberChecks::formP); }
TEST(KernelArithmeticMembers, StartResidueIsTwoRModP) { forEveryMember(&MemberChecks::startResidue); }
TEST(KernelArithmeticMembers, MontSqMatchesGmp) { forEveryMember(&MemberChecks::montSq); }
TEST(KernelArithmeticMembers, ConditionalSubtractionAtItsBoundaries) { forEveryMember(&MemberChecks::montSqCorrect); }
TEST(KernelArithmeticMembers, ChainResiduesRepresentPowersOfTwo) { forEveryMember(&MemberChecks::chain); }
TEST(KernelArithmeticMembers, KernelStartAndCheapChainsMatchGmp) { forEveryMember(&MemberChecks::cheapChains); }
TEST(KernelArithmeticMembers, FinalTestHitsExactlyOnOne) { forEveryMember(&MemberChecks::finalTest); }
TEST(KernelArithmeticMembers, OutsidePreconditionNeverHits) { forEveryMember(&MemberChecks::outside); }

TEST(KernelArithmeticMembers, KnownFactorRejectedByOtherMembers) {
    EXPECT_TRUE((factorTest<3, 1>(4119, 54)));
    EXPECT_FALSE((factorTest<4, 1>(4119, 54)));  // 67 bits is not width 4
    EXPECT_FALSE((factorTest<4, 2>(4119, 54)));  // 54 is not in band 2
    EXPECT_TRUE((factorTest<4, 2>(1421, 93)));
    EXPECT_FALSE((factorTest<5, 2>(1421, 93)));
    EXPECT_FALSE((factorTest<3, 1>(1421, 93)));
}

}  // namespace
