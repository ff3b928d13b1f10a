// The proof property's width: how many low zero bits of a candidate's residue
// 2^(2^(n-1)) mod p make its k a proof k, chosen per exponent so that a
// checker gets a few thousand of them to recompute, whatever the range's size.
// scripts/check-proofs carries the same rule and must agree with it exactly.
#pragma once

#include <cstdint>

// t for an exponent expected to test `expectedTested` candidates: the largest
// t that leaves at least 2000 proof k expected (so 2000 to 4000 of them), and 0
// (every tested k a proof k) below 4000. Integer arithmetic only.
uint32_t ProofBitsFor(uint64_t expectedTested);

// The count t is chosen from, for an exponent whose range holds `oddCount` odd
// k sieved with these primes: oddCount times SurvivorShare in double
// precision, truncated. The checker computes it the same way, bit for bit.
uint64_t ExpectedTested(uint64_t oddCount, const uint32_t* primes, uint32_t count);

// The share of odd k that a sieve with these primes leaves: each odd prime q
// removes the one class of k mod q for which q divides k*2^n+1. Multiplied in
// table order in double precision, as the checker does.
double SurvivorShare(const uint32_t* primes, uint32_t count);
