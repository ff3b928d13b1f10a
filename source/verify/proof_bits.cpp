// ProofBitsFor, ExpectedTested and SurvivorShare: the expected number of tested candidates and
// the proof bits t that follow from it.
#include "verify/proof_bits.h"

uint32_t ProofBitsFor(uint64_t expectedTested) {
    uint64_t q = expectedTested / 2000;
    uint32_t t = 0;
    while (q > 1) {
        q >>= 1;
        ++t;
    }
    return t;
}

double SurvivorShare(const uint32_t* primes, uint32_t count) {
    double share = 1.0;
    for (uint32_t i = 0; i < count; ++i) share *= 1.0 - 1.0 / static_cast<double>(primes[i]);
    return share;
}

uint64_t ExpectedTested(uint64_t oddCount, const uint32_t* primes, uint32_t count) {
    return static_cast<uint64_t>(static_cast<double>(oddCount) * SurvivorShare(primes, count));
}
