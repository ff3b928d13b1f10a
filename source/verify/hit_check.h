// The host's own verdict on a candidate, in GMP arithmetic that shares nothing
// with the kernels: every hit a device reports is confirmed by it before it is
// announced, and the self-test decides its cases (proof k included) with it.
#pragma once

#include <cstdint>

// True when 2^(2^(n-1)) mod k*2^n+1 is 1, that is when the candidate is a hit.
bool HostConfirmsHit(uint64_t k, uint32_t n);

// True when the lowest t bits of 2^(-2^(n-1)) mod k*2^n+1 are all zero, that
// is when k is a proof k at proof bits t.
bool HostConfirmsProof(uint64_t k, uint32_t n, uint32_t t);

// The check the factor reports go through: HostConfirmsHit. Tests whose
// stand-in kernels report made-up hits to exercise the report path replace it.
extern bool (*confirmHit)(uint64_t k, uint32_t n);
