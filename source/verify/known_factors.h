// Known factors of Fermat numbers that the kernels serve: what the tests and
// the self-test check every member against.
#pragma once

#include <cstddef>
#include <cstdint>

// p = k*2^n+1 passes the factor test: it divides the Fermat number named in
// `divides` (or, for a few, is one or a product of factors of two).
struct KnownFactor {
    uint64_t k;
    uint32_t n;
    const char* divides;
};

extern const KnownFactor knownFactors[];
extern const size_t KNOWN_FACTOR_COUNT;
