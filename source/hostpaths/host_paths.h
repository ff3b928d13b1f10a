// The host build's ways of testing a batch of candidates for one member of the
// kernel family: the 32-bit device arithmetic itself (the reference twin), a
// portable path over 64-bit words, an AVX-512 IFMA path eight candidates wide
// and that path's arithmetic over an emulation of its instructions (for the
// tests, on any processor), and an AVX2 path four wide. The best path the
// processor offers is chosen once; tests and benchmarks may force any
// available one. Every path gives the same answers.
#pragma once

#include <cstdint>

#include "kernels/kernel_list.h"

enum HostTestPath { hostPathReference, hostPathWord64, hostPathIfma, hostPathIfmaEmulated, hostPathAvx2, hostPathCount };

// hit[i] becomes the verdict on k[i]*2^n+1 (VERDICT_FACTOR when it divides
// a Fermat number, VERDICT_PROOF when the lowest t bits of its residue
// 2^(-2^(n-1)) mod p are zero) when the member of width W and band J serves
// it, else 0. Candidates the member does not serve (zeros beyond a short
// batch among them) cost no arithmetic.
typedef void (*HostBatchTest)(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit);

// One definition per path, instantiated for every member of the kernel list.
template <int W, int J>
void referenceBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit);
template <int W, int J>
void word64Batch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit);
template <int W, int J>
void ifmaBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit);
template <int W, int J>
void ifmaEmulatedBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit);
template <int W, int J>
void avx2Batch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit);

// Whether this processor can run the AVX-512 IFMA path.
bool ifmaSupported();
// Whether this processor can run the AVX2 path.
bool avx2Supported();
// The multiply-add instructions the IFMA path's squarings issue for a group
// of eight candidates of the member at exponent n (0 for no member): what
// the benchmark weighs against the processor's limit.
uint64_t ifmaMultiplyAdds(uint32_t width, uint32_t band, uint32_t n);
// For tests: 2^(-2^(n-1)) mod p, the inverse of 2^(2^(n-1)), for one
// candidate the member serves: the value a fast path's chain reaches (it
// starts from a power of two without dividing), by that path's own
// arithmetic, in HOST_RESIDUE_LIMBS little-endian 64-bit limbs.
constexpr int HOST_RESIDUE_LIMBS = 11;
typedef void (*HostResidue)(uint64_t k, uint32_t n, uint64_t* residue);
template <int W, int J>
void word64Residue(uint64_t k, uint32_t n, uint64_t* residue);
template <int W, int J>
void ifmaResidue(uint64_t k, uint32_t n, uint64_t* residue);
template <int W, int J>
void ifmaEmulatedResidue(uint64_t k, uint32_t n, uint64_t* residue);
template <int W, int J>
void avx2Residue(uint64_t k, uint32_t n, uint64_t* residue);
// For tests: every lane operation of the IFMA path on the lanes x = a,
// y = b and z = c (64-byte aligned, as out), on the processor's
// instructions (where it has them) or on their emulation. out rows: x & y,
// ~x & y, x + y, x - y, x >> 52, x >> 52 keeping the sign, x << 1,
// z + low half of x*y, z + high half of x*y (of their low 52 bits),
// a[0] in every lane, and the mask of lanes where x == y in lane 0.
constexpr int IFMA_LANE_OPERATIONS = 11;
void ifmaLaneOperations(const uint64_t* a, const uint64_t* b, const uint64_t* c, uint64_t (*out)[8]);
void ifmaEmulatedLaneOperations(const uint64_t* a, const uint64_t* b, const uint64_t* c, uint64_t (*out)[8]);
// nullptr for the reference path and for widths and bands no member serves.
HostResidue hostResidueFor(HostTestPath path, uint32_t width, uint32_t band);

// What the path choice asks of a processor.
struct HostProcessor {
    bool avx2;
    bool avx512ifma;
};
// This processor's, asked once.
HostProcessor hostProcessor();
// The fastest path on a processor with these features (never the reference
// or the emulation).
HostTestPath hostPathFor(HostProcessor processor);

bool hostPathAvailable(HostTestPath path);
// The fastest available path: hostPathFor(hostProcessor()).
HostTestPath hostPathBest();
// The path batches use now: the best one unless a test forced another.
extern HostTestPath hostPathInUse;
// Makes every later batch use path; returns false (and changes nothing) when
// the processor cannot run it.
bool hostForcePath(HostTestPath path);
// "32-bit reference", "64-bit words", "AVX-512 IFMA", "AVX-512 IFMA, emulated" or "AVX2".
const char* hostPathName(HostTestPath path);

// The host device's sieve depth, odd primes from 3, for p of `width` words
// (3 to 20) when its candidates are tested on `path`: a path that tests a
// candidate faster gains less from sieving deeper. 0 for other widths.
uint32_t hostPrimeCount(HostTestPath path, uint32_t width);

// The member's batch test on the path in use.
template <int W, int J>
inline void hostBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    switch (hostPathInUse) {
        case hostPathIfma: ifmaBatch<W, J>(k, count, n, t, hit); break;
        case hostPathIfmaEmulated: ifmaEmulatedBatch<W, J>(k, count, n, t, hit); break;
        case hostPathAvx2: avx2Batch<W, J>(k, count, n, t, hit); break;
        case hostPathWord64: word64Batch<W, J>(k, count, n, t, hit); break;
        default: referenceBatch<W, J>(k, count, n, t, hit); break;
    }
}

// The batch test of a path for the member of the given width and band, for
// callers that pick the member at run time; nullptr when none serves them.
HostBatchTest hostBatchFor(HostTestPath path, uint32_t width, uint32_t band);
