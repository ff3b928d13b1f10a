// The portable host path of the factor test: Montgomery squarings over 64-bit
// limbs with 64x64->128-bit products, one candidate after another, for every
// member of the kernel list.
#include "hostpaths/host_limbs.h"
#include "hostpaths/host_paths.h"

namespace {

#define WORD64_UNROLL _Pragma("GCC unroll 32")

// p = 1 + K*2^(32J): limbs 1 up to K's first are zero, and from band 2 on
// limb 0 is exactly 1, which makes -1/p mod 2^64 all ones.
template <int J>
constexpr bool zeroLimb(int i) {
    return i > 0 && 64 * (i + 1) <= 32 * J;
}

// Adds m*p*2^(64u) to t, which makes limb u vanish, and carries to the top.
template <int N, int J>
inline __attribute__((always_inline)) void reduceStep(uint64_t* t, int u, uint64_t m, const uint64_t (&p)[N]) {
    uint64_t carry;
    if constexpr (J >= 2) {
        // m*1 only clears limb u: it carries exactly when the limb was not 0.
        carry = (uint64_t)(t[u] != 0);
        t[u] = 0;
    } else {
        const uint128_t s = (uint128_t)m * p[0] + t[u];
        t[u] = (uint64_t)s;
        carry = (uint64_t)(s >> 64);
    }
    WORD64_UNROLL
    for (int i = 1; i < N; ++i) {
        if (zeroLimb<J>(i)) {
            const uint128_t s = (uint128_t)t[u + i] + carry;
            t[u + i] = (uint64_t)s;
            carry = (uint64_t)(s >> 64);
        } else {
            const uint128_t s = (uint128_t)m * p[i] + t[u + i] + carry;
            t[u + i] = (uint64_t)s;
            carry = (uint64_t)(s >> 64);
        }
    }
    for (int i = u + N; carry != 0 && i <= 2 * N; ++i) {
        const uint128_t s = (uint128_t)t[i] + carry;
        t[i] = (uint64_t)s;
        carry = (uint64_t)(s >> 64);
    }
}

template <int J>
inline uint64_t reductionMultiplier(uint64_t limb, uint64_t negInverse) {
    if constexpr (J >= 2)
        return 0 - limb;
    else
        return limb * negInverse;
}

// a = a^2/R mod p with R = 2^(64N), kept below R (lazily reduced): the
// square, then the reduction limb by limb. Faster than product scanning for
// the narrowest members, where the columns' carries dominate.
template <int N, int J>
inline void montSq64Separate(uint64_t (&a)[N], const uint64_t (&p)[N], uint64_t negInverse) {
    uint64_t t[2 * N + 1];
    WORD64_UNROLL
    for (int i = 0; i <= 2 * N; ++i) t[i] = 0;
    // Cross products once, then doubled, then the squares.
    WORD64_UNROLL
    for (int i = 0; i < N - 1; ++i) {
        uint64_t carry = 0;
        WORD64_UNROLL
        for (int j = i + 1; j < N; ++j) {
            const uint128_t s = (uint128_t)a[i] * a[j] + t[i + j] + carry;
            t[i + j] = (uint64_t)s;
            carry = (uint64_t)(s >> 64);
        }
        t[i + N] = carry;
    }
    t[2 * N - 1] = t[2 * N - 2] >> 63;
    WORD64_UNROLL
    for (int i = 2 * N - 2; i > 0; --i) t[i] = (t[i] << 1) | (t[i - 1] >> 63);
    uint64_t carry = 0;
    WORD64_UNROLL
    for (int i = 0; i < N; ++i) {
        const uint128_t square = (uint128_t)a[i] * a[i];
        uint128_t s = (uint128_t)t[2 * i] + (uint64_t)square + carry;
        t[2 * i] = (uint64_t)s;
        s = (uint128_t)t[2 * i + 1] + (uint64_t)(square >> 64) + (uint64_t)(s >> 64);
        t[2 * i + 1] = (uint64_t)s;
        carry = (uint64_t)(s >> 64);
    }
    WORD64_UNROLL
    for (int u = 0; u < N; ++u) reduceStep<N, J>(t, u, reductionMultiplier<J>(t[u], negInverse), p);
    // U = t[N..2N-1] plus t[2N]*R, below R + p: one subtraction brings it below R.
    uint64_t* U = t + N;
    if (t[2 * N] != 0 || limbsAtLeast(U, p, N)) limbsSubtract(U, p, N);
    WORD64_UNROLL
    for (int i = 0; i < N; ++i) a[i] = U[i];
}

// Adds the 128-bit value v to the 192-bit column accumulator (acc, top).
inline __attribute__((always_inline)) void accumulate(uint128_t& acc, uint64_t& top, uint128_t v) {
    acc += v;
    top += (uint64_t)(acc < v);
}

// a = a^2/R mod p with R = 2^(64N), kept below R (lazily reduced). Product
// scanning, for all but the narrowest members: column c collects the doubled cross products a_i*a_l (i < l), the
// square of a_(c/2) and the reduction products m_u*p_s (u + s = c, p's zero
// limbs skipped) in a 192-bit accumulator; for c < N its low limb gives m_c,
// whose product with p's low limb clears the column.
template <int N, int J>
inline void montSq64(uint64_t (&a)[N], const uint64_t (&p)[N], uint64_t negInverse) {
    uint64_t m[N], U[N];
    uint128_t acc = 0;
    uint64_t top = 0;
    WORD64_UNROLL
    for (int c = 0; c < 2 * N - 1; ++c) {
        uint128_t cross = 0;
        uint64_t crossTop = 0;
        WORD64_UNROLL
        for (int i = 0; i < N; ++i) {
            const int l = c - i;
            if (i < l && l < N) accumulate(cross, crossTop, (uint128_t)a[i] * a[l]);
        }
        crossTop = (crossTop << 1) | (uint64_t)(cross >> 127);
        cross <<= 1;
        acc += cross;
        top += crossTop + (uint64_t)(acc < cross);
        if (c % 2 == 0) accumulate(acc, top, (uint128_t)a[c / 2] * a[c / 2]);
        WORD64_UNROLL
        for (int u = 0; u < N; ++u) {
            const int limb = c - u;
            if (limb >= 1 && limb < N && !zeroLimb<J>(limb)) accumulate(acc, top, (uint128_t)m[u] * p[limb]);
        }
        uint64_t carryIn = 0;
        if (c < N) {
            const uint64_t w = (uint64_t)acc;
            m[c] = reductionMultiplier<J>(w, negInverse);
            if constexpr (J >= 2) {
                // m*1 only clears the limb: it carries exactly when the limb was not 0.
                acc -= w;
                carryIn = (uint64_t)(w != 0);
            } else {
                accumulate(acc, top, (uint128_t)m[c] * p[0]);
            }
        } else {
            U[c - N] = (uint64_t)acc;
        }
        acc = (acc >> 64) | ((uint128_t)top << 64);
        top = 0;
        acc += carryIn;
    }
    U[N - 1] = (uint64_t)acc;
    const uint64_t carry = (uint64_t)(acc >> 64);
    // U + carry*R is below R + p: subtract p when carry is set or U >= p.
    uint64_t D[N], borrow = 0;
    WORD64_UNROLL
    for (int i = 0; i < N; ++i) {
        const uint128_t d = (uint128_t)U[i] - p[i] - borrow;
        D[i] = (uint64_t)d;
        borrow = (uint64_t)(d >> 64) & 1;
    }
    const uint64_t keep = 0 - (uint64_t)((carry | (borrow ^ 1)) == 0);
    WORD64_UNROLL
    for (int i = 0; i < N; ++i) a[i] = (U[i] & keep) | (D[i] & ~keep);
}

// x/R mod p by one reduction of x: a value no larger than p, so it is 1
// exactly when x represents 1.
template <int N, int J>
inline void plainValue(const uint64_t (&x)[N], const uint64_t (&p)[N], uint64_t negInverse, uint64_t (&v)[N]) {
    uint64_t t[2 * N + 1];
    for (int i = 0; i < N; ++i) {
        t[i] = x[i];
        t[N + i] = 0;
    }
    t[2 * N] = 0;
    for (int u = 0; u < N; ++u) reduceStep<N, J>(t, u, reductionMultiplier<J>(t[u], negInverse), p);
    for (int i = 0; i < N; ++i) v[i] = t[N + i];
}

template <int N, int J>
inline __attribute__((always_inline)) void montSquare(uint64_t (&x)[N], const uint64_t (&p)[N], uint64_t negInverse) {
    if constexpr (N <= 3)
        montSq64Separate<N, J>(x, p, negInverse);
    else
        montSq64<N, J>(x, p, negInverse);
}

// The chain starts, as the device's does, from a power of two and needs no
// division: the plain value 2^e with e = 64N - 2^s, 2^s the largest power of
// two up to 64N, stands for 2^e/R = 2^(-2^s) (any value below R is a valid
// input); squared n-1-s times it stands for 2^(-2^(n-1)), which is 1 exactly
// when 2^(2^(n-1)) is.
template <int N>
constexpr int startShift() {
    int s = 0;
    while ((2 << s) <= 64 * N) ++s;
    return s;
}

// p, its -1/p mod 2^64 and the start value.
template <int N>
inline void startCandidate(uint64_t k, uint32_t n, uint64_t (&p)[N], uint64_t& negInverse, uint64_t (&x)[N]) {
    constexpr int E = 64 * N - (1 << startShift<N>());
    formP64<N>(k, n, p);
    // p's low limb is 1 + c*2^32, whose inverse mod 2^64 is 1 - c*2^32.
    negInverse = p[0] - 2;
    for (int i = 0; i < N; ++i) x[i] = i == E / 64 ? 1ull << (E % 64) : 0;
}

// The squarings of the chain for exponent n (n >= 32 > startShift).
template <int N>
constexpr uint32_t chainSquarings(uint32_t n) {
    return n - 1 - startShift<N>();
}

// 2^(-2^(n-1)) mod k*2^n+1 as N limbs.
template <int W, int J>
void word64Value(uint64_t k, uint32_t n, uint64_t (&v)[(W + 1) / 2]) {
    constexpr int N = (W + 1) / 2;
    uint64_t p[N], x[N], negInverse;
    startCandidate<N>(k, n, p, negInverse, x);
    for (uint32_t i = chainSquarings<N>(n); i != 0; --i) montSquare<N, J>(x, p, negInverse);
    plainValue<N, J>(x, p, negInverse, v);
}

// The narrow squarings are a chain of dependent steps, each waiting for the
// last: several candidates in the same loop let the processor overlap them.
template <int W>
constexpr int word64InFlight() {
    return (W + 1) / 2 <= 3 ? 4 : (W + 1) / 2 <= 5 ? 2 : 1;
}

// Tests the G candidates of ks at once; bit i of the result is ks[i]'s hit,
// bit 32+i whether it is a proof k at proof bits t.
template <int W, int J>
__attribute__((noinline)) uint64_t word64Group(const uint64_t* ks, uint32_t n, uint32_t t) {
    constexpr int N = (W + 1) / 2, G = word64InFlight<W>();
    uint64_t p[G][N], x[G][N], negInverse[G];
    for (int g = 0; g < G; ++g) startCandidate<N>(ks[g], n, p[g], negInverse[g], x[g]);
    for (uint32_t i = chainSquarings<N>(n); i != 0; --i) {
        WORD64_UNROLL
        for (int g = 0; g < G; ++g) montSquare<N, J>(x[g], p[g], negInverse[g]);
    }
    const uint64_t proofMask = proofMaskOfLimb(t, 0, 64);
    uint64_t verdicts = 0;
    for (int g = 0; g < G; ++g) {
        uint64_t v[N];
        plainValue<N, J>(x[g], p[g], negInverse[g], v);
        uint64_t rest = v[0] ^ 1;
        for (int i = 1; i < N; ++i) rest |= v[i];
        verdicts |= (uint64_t)(rest == 0) << g | (uint64_t)((v[0] & proofMask) == 0) << (32 + g);
    }
    return verdicts;
}

}  // namespace

template <int W, int J>
void word64Batch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    testInGroups<W, J, word64InFlight<W>()>(k, count, n, t, hit, word64Group<W, J>);
}

template <int W, int J>
void word64Residue(uint64_t k, uint32_t n, uint64_t* residue) {
    uint64_t v[(W + 1) / 2];
    word64Value<W, J>(k, n, v);
    for (int i = 0; i < HOST_RESIDUE_LIMBS; ++i) residue[i] = i < (W + 1) / 2 ? v[i] : 0;
}

#define QUILBREX_INSTANTIATE_WORD64(WIDTH, BAND, LENGTH, NAME)                                       \
    template void word64Batch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint32_t, uint8_t*); \
    template void word64Residue<WIDTH, BAND>(uint64_t, uint32_t, uint64_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_WORD64)
#undef QUILBREX_INSTANTIATE_WORD64
