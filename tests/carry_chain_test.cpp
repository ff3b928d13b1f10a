// The carry-chain primitives' host twins against GMP for every carry-in and
// carry-out case, the discipline check catching broken chains, and the
// squaring of every member on operands whose carries run through every word.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel_test_helpers.h"
#include "kernels/factor_arithmetic.h"
#include "kernels/kernel_list.h"

#ifndef QUILBREX_CARRY_DISCIPLINE
#error "the tests must build the arithmetic with the carry discipline check"
#endif

namespace {

// Sets the flag to `bit` with a chain start of the given kind.
void setCarry(uint32_t bit) { addCarryOut(0xFFFFFFFFu, bit); }
void setBorrow(uint32_t bit) { subBorrowOut(0, bit); }

enum class Kind { Add, Sub, MadLo, MadHi };
enum class Flags { Out, InOut, In };

struct Primitive {
    const char* name;
    Kind kind;
    Flags flags;
    uint32_t (*two)(uint32_t, uint32_t);
    uint32_t (*three)(uint32_t, uint32_t, uint32_t);
};

const Primitive primitives[] = {
    {"addCarryOut", Kind::Add, Flags::Out, addCarryOut, nullptr},
    {"addCarryInOut", Kind::Add, Flags::InOut, addCarryInOut, nullptr},
    {"addCarryIn", Kind::Add, Flags::In, addCarryIn, nullptr},
    {"subBorrowOut", Kind::Sub, Flags::Out, subBorrowOut, nullptr},
    {"subBorrowInOut", Kind::Sub, Flags::InOut, subBorrowInOut, nullptr},
    {"subBorrowIn", Kind::Sub, Flags::In, subBorrowIn, nullptr},
    {"madLoCarryOut", Kind::MadLo, Flags::Out, nullptr, madLoCarryOut},
    {"madLoCarryInOut", Kind::MadLo, Flags::InOut, nullptr, madLoCarryInOut},
    {"madLoCarryIn", Kind::MadLo, Flags::In, nullptr, madLoCarryIn},
    {"madHiCarryOut", Kind::MadHi, Flags::Out, nullptr, madHiCarryOut},
    {"madHiCarryInOut", Kind::MadHi, Flags::InOut, nullptr, madHiCarryInOut},
    {"madHiCarryIn", Kind::MadHi, Flags::In, nullptr, madHiCarryIn},
};

// The exact value the instruction forms before it is cut to a word and a flag:
// for a subtraction a - b - borrow, which is negative when it borrows.
mpz_class reference(Kind kind, uint32_t a, uint32_t b, uint32_t c, uint32_t flagIn) {
    const mpz_class A = a, B = b, C = c, F = flagIn, word = powerOfTwo(32);
    switch (kind) {
        case Kind::Add: return A + B + F;
        case Kind::Sub: return A - B - F;
        case Kind::MadLo: return (A * B) % word + C + F;
        case Kind::MadHi: return (A * B) / word + C + F;
    }
    return 0;
}

TEST(CarryChainPrimitives, HostTwinsMatchGmpForEveryCarryCase) {
    std::vector<uint32_t> operands = {0u, 1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    std::mt19937_64 rng(kernelTestSeed());
    for (int i = 0; i < 5; ++i) operands.push_back((uint32_t)rng());
    const mpz_class word = powerOfTwo(32);
    for (const Primitive& p : primitives) {
        const bool three = p.three != nullptr;
        const std::vector<uint32_t> addends = three ? operands : std::vector<uint32_t>{0u};
        for (uint32_t flagIn : {0u, 1u}) {
            if (p.flags == Flags::Out && flagIn) continue;  // no carry-in to vary
            for (uint32_t a : operands)
                for (uint32_t b : operands)
                    for (uint32_t c : addends) {
                        if (p.flags != Flags::Out) (p.kind == Kind::Sub ? setBorrow : setCarry)(flagIn);
                        const uint32_t got = three ? p.three(a, b, c) : p.two(a, b);
                        uint32_t flagOut = 0;
                        if (p.flags != Flags::In) flagOut = p.kind == Kind::Sub ? 0u - subBorrowIn(0, 0) : addCarryIn(0, 0);
                        const mpz_class exact = reference(p.kind, a, b, c, flagIn);
                        mpz_class low = exact % word;
                        if (low < 0) low += word;
                        const uint32_t wantFlag = p.kind == Kind::Sub ? (uint32_t)(exact < 0) : (uint32_t)(exact >= word);
                        const std::string where = std::string(p.name) + "(" + hexMpz(a) + ", " + hexMpz(b) +
                                                  (three ? ", " + hexMpz(c) : "") + ") flag in " +
                                                  std::to_string(flagIn);
                        ASSERT_EQ(got, low.get_ui()) << where;
                        if (p.flags != Flags::In) {
                            ASSERT_EQ(flagOut, wantFlag) << where;
                        }
                    }
        }
    }
}

// A four-word addition written as one chain carries through every word.
TEST(CarryChainPrimitives, ChainCarriesThroughAllOnesWords) {
    const uint32_t a[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
    uint32_t s[5];
    s[0] = addCarryOut(a[0], 1);
    s[1] = addCarryInOut(a[1], 0);
    s[2] = addCarryInOut(a[2], 0);
    s[3] = addCarryInOut(a[3], 0);
    s[4] = addCarryIn(0, 0);
    EXPECT_EQ(hexWords(s, 5), "00000001 00000000 00000000 00000000 00000000");
    uint32_t d[4];
    d[0] = subBorrowOut(0, 1);
    d[1] = subBorrowInOut(0, 0);
    d[2] = subBorrowInOut(0, 0);
    d[3] = subBorrowInOut(0, 0);
    EXPECT_EQ(subBorrowIn(0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(hexWords(d, 4), "FFFFFFFF FFFFFFFF FFFFFFFF FFFFFFFF");
}

// --- the discipline check ------------------------------------------------------------

// Two-word sums of x and y, with the two chains interleaved as a careless
// composition might: the second chain's start overwrites the first's carry,
// which the device would then add into the wrong word.
void interleavedSums(const uint32_t (&x)[2], const uint32_t (&y)[2], uint32_t (&s)[2], uint32_t (&t)[2]) {
    s[0] = addCarryOut(x[0], y[0]);
    t[0] = addCarryOut(y[0], y[0]);
    s[1] = addCarryIn(x[1], y[1]);
    t[1] = addCarryIn(y[1], y[1]);
}

void squareInsideOpenChain() {
    uint32_t a[3] = {1, 2, 3};
    const uint32_t K[2] = {0x05C00000u, 4};
    madLoCarryOut(1, 2, 3);
    montSq<3, 1>(a, K);
}

TEST(CarryChainDisciplineDeathTest, CatchesBrokenChains) {
    const uint32_t x[2] = {0xFFFFFFFFu, 0}, y[2] = {1, 0};
    uint32_t s[2], t[2];
    EXPECT_DEATH(interleavedSums(x, y, s, t), "carry chain broken: a chain starts while another chain's carry is still unread");
    EXPECT_DEATH(addCarryInOut(1, 2), "carry chain broken: a carry-in follows no carry-out");
    EXPECT_DEATH(
        {
            addCarryOut(1, 2);
            addCarryIn(3, 4);
            madHiCarryIn(5, 6, 7);  // the chain was closed by the line before
        },
        "carry chain broken: a carry-in follows no carry-out");
    EXPECT_DEATH(
        {
            subBorrowOut(1, 2);
            addCarryIn(3, 4);
        },
        "carry chain broken: a carry-in reads a subtraction's borrow");
    EXPECT_DEATH(
        {
            madLoCarryOut(1, 2, 3);
            subBorrowIn(3, 4);
        },
        "carry chain broken: a borrow-in reads an addition's carry");
    EXPECT_DEATH(squareInsideOpenChain(), "carry chain broken");
}

// --- squarings whose carries run through every word ------------------------------------

// Operands at the edges of the squaring: all-ones words, values next to p and
// R, and a mod 2^(16W) = 0, where a^2 mod R = 0 and nothing carries out of the
// low half (with its neighbours just above and below); then random operands,
// so that both orders of the cross products meet GMP on many carries.
template <int W, int J>
void checkEdgeSquares(std::mt19937_64& rng) {
    const mpz_class R = powerOfTwo(32ul * W), half = powerOfTwo(16ul * W);
    for (int c = 0; c < 8; ++c) {
        auto [k, n, K, p, P] = randomModulus<W, J>(rng);
        const mpz_class operands[] = {0,        1,         2,        R - 1,    P - 1,    P,
                                      P + 1,    R - P,     R - P - 1, half - 1, half,     half + 1,
                                      half / 2, R - half,  ((mpz_class)(uint32_t)rng() | 1) * half};
        std::vector<mpz_class> values(std::begin(operands), std::end(operands));
        for (int i = 0; i < 40; ++i) values.push_back(randomOperand(rng, W, P));
        for (const mpz_class& A : values) {
            if (A < 0 || A >= R) continue;
            uint32_t a[W], U[W], x[W];
            ASSERT_TRUE(mpzToWords(A, a, W));
            uint32_t carry = 7;
            montSqProduct<W, J>(a, K, U, carry);
            const mpz_class exact = gmpMontProduct(A, P, W);
            if (wordsToMpz(U, W) + carry * R != exact || carry > 1) {
                ADD_FAILURE() << "montSqProduct(" << hexWords(a, W) << ") with p=" << hexWords(p, W) << ": U="
                              << hexWords(U, W) << " carry=" << carry << ", want " << hexMpz(exact);
                return;
            }
            // Both orders of the cross products, the member's and the other.
            for (int order = 0; order < 2; ++order) {
                std::memcpy(x, a, sizeof x);
                if (order == 0)
                    montSq<W, J, CrossOrder::Rows>(x, K);
                else
                    montSq<W, J, CrossOrder::Distance>(x, K);
                if (wordsToMpz(x, W) != gmpMontSq(A, P, W)) {
                    ADD_FAILURE() << "montSq(" << hexWords(a, W) << ") by " << (order ? "distance" : "rows")
                                  << " with p=" << hexWords(p, W) << ": got " << hexWords(x, W) << ", want "
                                  << hexMpz(gmpMontSq(A, P, W));
                    return;
                }
            }
        }
        // U = p-1 with the carry set comes out as R-1: the borrow of p's 1
        // runs through every word. U = R-1 without carry loses p.
        const std::pair<mpz_class, uint32_t> corrections[] = {{P - 1, 1}, {R - 1, 0}, {0, 1}};
        for (const auto& [value, carry] : corrections) {
            uint32_t U[W];
            ASSERT_TRUE(mpzToWords(value, U, W));
            montSqCorrect<W, J>(U, carry, K);
            const mpz_class want = value + carry * R - P;
            EXPECT_TRUE(wordsToMpz(U, W) == want)
                << "correct(" << hexMpz(value) << ", " << carry << ") with p=" << hexWords(p, W) << ": got "
                << hexWords(U, W) << ", want " << hexMpz(want);
        }
    }
}

TEST(CarryChainMembers, EdgeOperandsMatchGmp) {
    const uint64_t seed = kernelTestSeed();
    int index = 0;
#define CHECK_EDGES(WIDTH, BAND, LENGTH, NAME)                          \
    {                                                                   \
        SCOPED_TRACE(#NAME ", seed " + std::to_string(seed));            \
        std::mt19937_64 rng(seed * 7919u + index++);                     \
        checkEdgeSquares<WIDTH, BAND>(rng);                              \
    }
    QUILBREX_KERNEL_FAMILY(CHECK_EDGES)
#undef CHECK_EDGES
}

}  // namespace
