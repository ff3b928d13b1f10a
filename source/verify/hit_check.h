// The host's own verdict on a candidate, in GMP arithmetic that shares nothing
// with the kernels: every hit a device reports is confirmed by it before it is
// announced, and the self-test decides its cases with it.
#pragma once

#include <cstdint>

// True when 2^(2^(n-1)) mod k*2^n+1 is 1, that is when the candidate is a hit.
bool HostConfirmsHit(uint64_t k, uint32_t n);

// The check the factor reports go through: HostConfirmsHit. Tests whose
// stand-in kernels report made-up hits to exercise the report path replace it.
extern bool (*confirmHit)(uint64_t k, uint32_t n);
