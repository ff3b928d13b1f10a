// HostConfirmsHit and HostConfirmsProof: one modular exponentiation with GMP
// per candidate (and an inversion for a proof k).
#include "verify/hit_check.h"

#include <gmp.h>

namespace {

// residue = 2^(2^(n-1)) mod p, p = k*2^n+1; both initialised by the caller.
void powerResidue(mpz_t residue, mpz_t p, uint64_t k, uint32_t n) {
    mpz_t exponent;
    mpz_init(exponent);
    // k may not fit an unsigned long on every platform: import its bytes.
    mpz_import(p, 1, -1, sizeof k, 0, 0, &k);
    mpz_mul_2exp(p, p, n);
    mpz_add_ui(p, p, 1);
    mpz_setbit(exponent, n - 1);
    mpz_set_ui(residue, 2);
    mpz_powm(residue, residue, exponent, p);
    mpz_clear(exponent);
}

}  // namespace

bool HostConfirmsHit(uint64_t k, uint32_t n) {
    mpz_t p, residue;
    mpz_inits(p, residue, nullptr);
    powerResidue(residue, p, k, n);
    const bool hit = mpz_cmp_ui(residue, 1) == 0;
    mpz_clears(p, residue, nullptr);
    return hit;
}

bool HostConfirmsProof(uint64_t k, uint32_t n, uint32_t t) {
    mpz_t p, residue;
    mpz_inits(p, residue, nullptr);
    powerResidue(residue, p, k, n);
    mpz_invert(residue, residue, p);
    // The residue is never 0 (p is odd), so its lowest set bit exists.
    const bool proof = t == 0 || mpz_scan1(residue, 0) >= t;
    mpz_clears(p, residue, nullptr);
    return proof;
}

bool (*confirmHit)(uint64_t k, uint32_t n) = HostConfirmsHit;
