// The AVX-512 IFMA instructions the IFMA path uses, in plain C++ over eight
// 64-bit lanes: what lets a processor without AVX-512 run that path's own
// arithmetic in the tests. Each operation does exactly what its instruction
// does to every lane.
#pragma once

#include <cstdint>

namespace ifmaEmulation {

struct Lanes {
    uint64_t lane[8];
};
typedef uint8_t LaneMask;

constexpr uint64_t LOW52 = (1ull << 52) - 1;

inline Lanes setzero() { return Lanes{}; }

inline Lanes set1_epi64(uint64_t v) {
    Lanes r;
    for (uint64_t& x : r.lane) x = v;
    return r;
}

inline Lanes load(const uint64_t* from) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = from[i];
    return r;
}

inline void store(uint64_t* to, const Lanes& a) {
    for (int i = 0; i < 8; ++i) to[i] = a.lane[i];
}

inline Lanes and_si512(const Lanes& a, const Lanes& b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = a.lane[i] & b.lane[i];
    return r;
}

// ~a & b.
inline Lanes andnot_si512(const Lanes& a, const Lanes& b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = ~a.lane[i] & b.lane[i];
    return r;
}

inline Lanes add_epi64(const Lanes& a, const Lanes& b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = a.lane[i] + b.lane[i];
    return r;
}

inline Lanes sub_epi64(const Lanes& a, const Lanes& b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = a.lane[i] - b.lane[i];
    return r;
}

// Shifts by an immediate count below 64, as the path uses them.
template <unsigned C>
inline Lanes srli_epi64(const Lanes& a) {
    static_assert(C < 64, "an immediate shift within the lane");
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = a.lane[i] >> C;
    return r;
}

// Shifts in copies of the sign bit.
template <unsigned C>
inline Lanes srai_epi64(const Lanes& a) {
    static_assert(C < 64, "an immediate shift within the lane");
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = (uint64_t)((int64_t)a.lane[i] >> C);
    return r;
}

template <unsigned C>
inline Lanes slli_epi64(const Lanes& a) {
    static_assert(C < 64, "an immediate shift within the lane");
    Lanes r;
    for (int i = 0; i < 8; ++i) r.lane[i] = a.lane[i] << C;
    return r;
}

// acc + the low 52 bits of the 104-bit product of a's and b's low 52 bits.
inline Lanes madd52lo_epu64(const Lanes& acc, const Lanes& a, const Lanes& b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) {
        const unsigned __int128 product = (unsigned __int128)(a.lane[i] & LOW52) * (b.lane[i] & LOW52);
        r.lane[i] = acc.lane[i] + ((uint64_t)product & LOW52);
    }
    return r;
}

// acc + bits 52..103 of that product.
inline Lanes madd52hi_epu64(const Lanes& acc, const Lanes& a, const Lanes& b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) {
        const unsigned __int128 product = (unsigned __int128)(a.lane[i] & LOW52) * (b.lane[i] & LOW52);
        r.lane[i] = acc.lane[i] + (uint64_t)(product >> 52);
    }
    return r;
}

inline LaneMask cmpeq_epi64_mask(const Lanes& a, const Lanes& b) {
    LaneMask m = 0;
    for (int i = 0; i < 8; ++i) m |= (LaneMask)((a.lane[i] == b.lane[i]) << i);
    return m;
}

}  // namespace ifmaEmulation
