// The host build's batch-test paths (32-bit reference, 64-bit words, AVX-512
// IFMA and AVX2 where the processor has them, the IFMA arithmetic over its
// emulation everywhere) against each other and GMP for every member, and the
// choice among them on each kind of processor:
// band and width edges, k near 2^64, known factors, random candidates, the
// fast paths' residues themselves, batches of every short length and a full
// one, and the launch seam on each path.
#include <gtest/gtest.h>

#include <cpuid.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kernel_test_helpers.h"
#include "hostpaths/host_paths.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "verify/known_factors.h"

namespace {

std::vector<HostTestPath> availablePaths() {
    std::vector<HostTestPath> paths;
    for (int path = 0; path < hostPathCount; ++path)
        if (hostPathAvailable(static_cast<HostTestPath>(path))) paths.push_back(static_cast<HostTestPath>(path));
    return paths;
}

std::string candidateText(uint64_t k, uint32_t n) {
    char text[64];
    std::snprintf(text, sizeof text, "k=0x%llx n=%u", (unsigned long long)k, n);
    return text;
}

// Runs ks through every path of the member and checks each verdict (factor
// and proof k) against GMP (for the candidates the member serves) or "no
// verdict" (for the others). The proof bits go round small values, so that
// a batch has several proof k in any lanes, and t = 0, where every served
// candidate is one.
void expectPathsAgree(const KernelEntry& e, const std::vector<uint64_t>& ks, uint32_t n, const std::string& how) {
    static const uint32_t proofBitsRound[] = {0, 1, 2, 3};
    static size_t calls = 0;
    const uint32_t t = proofBitsRound[calls++ % 4];
    std::vector<uint8_t> expected(ks.size());
    for (size_t i = 0; i < ks.size(); ++i) {
        const bool served = ks[i] != 0 && kernelFor(n, (n + bitLength(ks[i]) + 31) / 32) == &e;
        expected[i] = served ? gmpVerdict(ks[i], n, t) : 0;
    }
    for (HostTestPath path : availablePaths()) {
        std::vector<uint8_t> hit(ks.size(), 0xEE);
        hostBatchFor(path, e.width, e.band)(reinterpret_cast<const unsigned long long*>(ks.data()),
                                            (uint32_t)ks.size(), n, t, hit.data());
        for (size_t i = 0; i < ks.size(); ++i)
            EXPECT_EQ(hit[i], expected[i]) << e.name << " " << hostPathName(path) << " lane " << i << " of "
                                           << ks.size() << ": " << candidateText(ks[i], n) << " t=" << t << " ("
                                           << how << ")";
    }
}

// What the processor offers, read from cpuid and the enabled register state.
struct Offered {
    bool avx2, ifma;
};
Offered processorOffers() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return {false, false};
    unsigned xcrLow, xcrHigh;
    __asm__("xgetbv" : "=a"(xcrLow), "=d"(xcrHigh) : "c"(0));
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return {false, false};
    const bool ymm = (xcrLow & 0x6) == 0x6, zmm = ymm && (xcrLow & 0xE0) == 0xE0;
    return {ymm && (b & bit_AVX2), zmm && (b & bit_AVX512F) && (b & bit_AVX512IFMA)};
}

// The choice on each kind of processor, this one's features, and forcing.
// The processor the tests ran on is printed, since which paths ran its real
// instructions depends on it.
TEST(HostPaths, ChoiceIsTheBestAvailableAndForcingWorks) {
    const struct {
        HostProcessor processor;
        HostTestPath best;
    } choices[] = {
        {{true, true}, hostPathIfma},     // AVX-512 IFMA (Zen 4, Ice Lake and later servers)
        {{false, true}, hostPathIfma},    // no such processor, but IFMA decides alone
        {{true, false}, hostPathAvx2},    // AVX2 without AVX-512 (Haswell to Zen 3, Intel's client cores)
        {{false, false}, hostPathWord64}, // neither
    };
    for (const auto& c : choices)
        EXPECT_EQ(hostPathFor(c.processor), c.best) << "avx2 " << c.processor.avx2 << ", ifma " << c.processor.avx512ifma;
    const HostProcessor here = hostProcessor();
    std::printf("processor offers AVX2: %s, AVX-512 IFMA: %s; path chosen: %s\n", here.avx2 ? "yes" : "no",
                here.avx512ifma ? "yes" : "no", hostPathName(hostPathBest()));
    std::printf("the IFMA path's tests run %s\n",
                here.avx512ifma ? "on the instructions and on their emulation" : "on the emulation only");
    EXPECT_EQ(here.avx512ifma, ifmaSupported());
    EXPECT_EQ(here.avx2, avx2Supported());
    // What the processor offers, read from cpuid here rather than through the path choice's own query.
    const Offered offered = processorOffers();
    EXPECT_EQ(here.avx2, offered.avx2);
    EXPECT_EQ(here.avx512ifma, offered.ifma);
    EXPECT_EQ(hostPathBest(), hostPathFor(here));
    EXPECT_TRUE(hostPathAvailable(hostPathReference));
    EXPECT_TRUE(hostPathAvailable(hostPathWord64));
    EXPECT_TRUE(hostPathAvailable(hostPathIfmaEmulated));
    EXPECT_EQ(hostPathAvailable(hostPathIfma), here.avx512ifma);
    EXPECT_EQ(hostPathAvailable(hostPathAvx2), here.avx2);
    EXPECT_EQ(hostPathInUse, hostPathBest());
    EXPECT_STREQ(hostPathName(hostPathReference), "32-bit reference");
    EXPECT_STREQ(hostPathName(hostPathWord64), "64-bit words");
    EXPECT_STREQ(hostPathName(hostPathIfma), "AVX-512 IFMA");
    EXPECT_STREQ(hostPathName(hostPathIfmaEmulated), "AVX-512 IFMA, emulated");
    EXPECT_STREQ(hostPathName(hostPathAvx2), "AVX2");
    for (HostTestPath path : availablePaths()) {
        EXPECT_TRUE(hostForcePath(path));
        EXPECT_EQ(hostPathInUse, path);
    }
    for (HostTestPath lacking : {hostPathIfma, hostPathAvx2}) {
        if (hostPathAvailable(lacking)) continue;
        EXPECT_FALSE(hostForcePath(lacking));
        EXPECT_NE(hostPathInUse, lacking);
    }
    EXPECT_TRUE(hostForcePath(hostPathBest()));
    EXPECT_EQ(hostBatchFor(hostPathWord64, 2, 1), nullptr);
    EXPECT_EQ(hostBatchFor(hostPathWord64, 21, 18), nullptr);
    EXPECT_EQ(hostBatchFor(hostPathIfma, 20, 18), (&ifmaBatch<20, 18>));
    EXPECT_EQ(hostBatchFor(hostPathIfmaEmulated, 20, 18), (&ifmaEmulatedBatch<20, 18>));
    EXPECT_EQ(hostBatchFor(hostPathAvx2, 20, 17), (&avx2Batch<20, 17>));
    EXPECT_EQ(hostBatchFor(hostPathReference, 3, 1), (&referenceBatch<3, 1>));
}

// The emulation against plain arithmetic on edge lanes (52-bit and sign
// boundaries, all ones), and against the instructions themselves where the
// processor has them.
TEST(HostPaths, EmulatedLaneOperationsDoWhatTheInstructionsDo) {
    constexpr uint64_t L52 = (1ull << 52) - 1, TOP = 1ull << 63, ONES = ~0ull;
    alignas(64) const uint64_t a[8] = {0, 1, L52, L52 + 1, TOP, ONES, 0x123456789ABCDEFull, TOP - 1};
    alignas(64) const uint64_t b[8] = {0, ONES, L52, 3, TOP, ONES, 0xFEDCBA987654321ull, 1};
    alignas(64) const uint64_t c[8] = {5, 0, 7, ONES - 1, 0, 1ull << 40, 0, 9};
    alignas(64) uint64_t emulated[IFMA_LANE_OPERATIONS][8], real[IFMA_LANE_OPERATIONS][8];
    ifmaEmulatedLaneOperations(a, b, c, emulated);
    for (int lane = 0; lane < 8; ++lane) {
        const uint64_t x = a[lane], y = b[lane], z = c[lane];
        const unsigned __int128 product = (unsigned __int128)(x & L52) * (y & L52);
        const uint64_t expected[] = {x & y, ~x & y, x + y, x - y, x >> 52, (uint64_t)((int64_t)x >> 52), x << 1,
                                     z + ((uint64_t)product & L52), z + (uint64_t)(product >> 52), a[0]};
        for (int op = 0; op < 10; ++op) EXPECT_EQ(emulated[op][lane], expected[op]) << "operation " << op << ", lane " << lane;
    }
    // Lanes 0, 2, 4 and 5 are equal.
    EXPECT_EQ(emulated[10][0], 0x35u);
    // Known answers: (2^52-1)^2 = 2^104 - 2^53 + 1; 2^63 >> 52 with its sign.
    EXPECT_EQ(emulated[7][2], 7u + 1);
    EXPECT_EQ(emulated[8][2], 7u + L52 - 1);
    EXPECT_EQ(emulated[5][4], 0xFFFFFFFFFFFFF800ull);
    if (!ifmaSupported()) return;
    ifmaLaneOperations(a, b, c, real);
    for (int op = 0; op < IFMA_LANE_OPERATIONS; ++op)
        for (int lane = 0; lane < 8; ++lane)
            EXPECT_EQ(real[op][lane], emulated[op][lane]) << "operation " << op << ", lane " << lane;
}

// The device name tells which path the host device runs.
TEST(HostPaths, DeviceNameShowsThePath) {
    cudaDeviceProp prop;
    ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
    const std::string name = prop.name;
    const std::string suffix = std::string(" (") + hostPathName(hostPathBest()) + ")";
    ASSERT_GE(name.size(), suffix.size());
    EXPECT_EQ(name.substr(0, 8), "host CPU");
    EXPECT_EQ(name.substr(name.size() - suffix.size()), suffix);
}

// Lowest and highest n of each band, smallest and largest k the member serves
// there (k up to 2^64-1 where p still fits), and the first k outside.
TEST(HostPaths, EveryMemberAtTheEdgesOfBandAndWidth) {
    for (const KernelEntry& e : kernelTable) {
        for (uint32_t n : {lowestServedN(e.width, e.band), lowestServedN(e.width, e.band) + 1, highestServedN(e.band)}) {
            const uint32_t minBits = minServedBits(e.width, n), maxBits = maxServedBits(e.width, n);
            std::vector<uint64_t> ks = {1ull << (minBits - 1), (1ull << (minBits - 1)) + 1, lowBitsMask(maxBits),
                                        lowBitsMask(maxBits) - 2, 0};
            if (minBits > 1) ks.push_back(lowBitsMask(minBits - 1));
            if (maxBits < 64) ks.push_back(1ull << maxBits);
            expectPathsAgree(e, ks, n, "edges");
        }
    }
}

TEST(HostPaths, KnownFactorsAndNeighboursOnEveryPath) {
    for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i) {
        const KnownFactor& f = knownFactors[i];
        const KernelEntry* e = kernelFor(f.n, (f.n + bitLength(f.k) + 31) / 32);
        ASSERT_NE(e, nullptr) << f.k << "*2^" << f.n << "+1";
        ASSERT_TRUE(gmpIsHit(f.k, f.n));
        expectPathsAgree(*e, {f.k, f.k - 2, f.k + 2, f.k - 1, f.k + 1}, f.n, "known factor");
    }
}

TEST(HostPaths, RandomCandidatesOfEveryMember) {
    const uint64_t seed = kernelTestSeed();
    std::mt19937_64 rng(seed);
    for (const KernelEntry& e : kernelTable) {
        // One exponent per batch, so every path sees full groups and a tail.
        for (int round = 0; round < 3; ++round) {
            uint64_t k;
            uint32_t n;
            randomCandidate(rng, e.width, e.band, k, n);
            std::vector<uint64_t> ks = {k};
            const uint32_t minBits = minServedBits(e.width, n), maxBits = maxServedBits(e.width, n);
            while (ks.size() < 11) ks.push_back(kWithBits(rng, minBits + (uint32_t)(rng() % (maxBits - minBits + 1))));
            expectPathsAgree(e, ks, n, "seed " + std::to_string(seed));
        }
    }
}

// Hits are rare, so the verdicts alone say little about the arithmetic of
// members without a known factor: the value each fast path's chain reaches,
// 2^(-2^(n-1)) mod p, must equal GMP's, for every member at its lowest and
// highest n with k at the edges of what it serves there (where the start
// value and the chain's length are most likely wrong), and at random.
TEST(HostPaths, FastPathResiduesEqualGmpForEveryMember) {
    const uint64_t seed = kernelTestSeed();
    std::mt19937_64 rng(seed);
    for (const KernelEntry& e : kernelTable) {
        std::vector<std::pair<uint64_t, uint32_t>> candidates;
        for (uint32_t n : {lowestServedN(e.width, e.band), highestServedN(e.band)}) {
            const uint32_t minBits = minServedBits(e.width, n), maxBits = maxServedBits(e.width, n);
            for (uint64_t k : std::initializer_list<uint64_t>{1ull << (minBits - 1), (1ull << (minBits - 1)) + 1, (1ull << (minBits - 1)) + 3,
                               lowBitsMask(maxBits), lowBitsMask(maxBits) - 2, kWithBits(rng, minBits) | 1,
                               kWithBits(rng, maxBits) | 1})
                if (k != 0 && bitLength(k) >= minBits && bitLength(k) <= maxBits) candidates.push_back({k, n});
        }
        for (int i = 0; i < 4; ++i) {
            uint64_t k;
            uint32_t n;
            randomCandidate(rng, e.width, e.band, k, n);
            candidates.push_back({k, n});
        }
        for (const auto& [k, n] : candidates) {
            const mpz_class p = candidateP(k, n);
            mpz_class expected = 2;
            for (uint32_t i = 0; i < n - 1; ++i) expected = expected * expected % p;
            ASSERT_NE(mpz_invert(expected.get_mpz_t(), expected.get_mpz_t(), p.get_mpz_t()), 0);
            for (HostTestPath path : availablePaths()) {
                const HostResidue residue = hostResidueFor(path, e.width, e.band);
                if (!residue) continue;
                uint64_t limbs[HOST_RESIDUE_LIMBS];
                residue(k, n, limbs);
                mpz_class got;
                mpz_import(got.get_mpz_t(), HOST_RESIDUE_LIMBS, -1, sizeof(uint64_t), 0, 0, limbs);
                EXPECT_EQ(hexMpz(got), hexMpz(expected))
                    << e.name << " " << hostPathName(path) << ": " << candidateText(k, n) << ", seed " << seed;
            }
        }
    }
    EXPECT_EQ(hostResidueFor(hostPathReference, 3, 1), nullptr);
    EXPECT_EQ(hostResidueFor(hostPathWord64, 22, 20), nullptr);
}

// Batches of every length from 1 to 20 and a full block, each with hits in
// the first, a middle and the last lane among non-hits and zeros.
TEST(HostPaths, BatchesOfEveryLengthWithHitsInAnyLane) {
    struct Member {
        const char* name;
        uint64_t factor, other;
        uint32_t n;
    };
    // A hit and a non-hit per member, both served.
    const Member members[] = {
        {"quilbrex96bit_n32_63", 4119, 4121, 54},
        {"quilbrex128bit_n64_95", 1421, 1423, 93},
        {"quilbrex288bit_n224_255", 403, 405, 252},
        {"quilbrex544bit_n480_511", 2, 3, 511},
    };
    for (const Member& m : members) {
        const KernelEntry* e = findKernel(m.name);
        ASSERT_NE(e, nullptr);
        for (uint32_t length : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u,
                                20u, 256u}) {
            std::vector<uint64_t> ks(length);
            for (uint32_t i = 0; i < length; ++i) ks[i] = i % 5 == 3 ? 0 : m.other;
            for (uint32_t lane : {0u, length / 2, length - 1}) ks[lane] = m.factor;
            expectPathsAgree(*e, ks, m.n, "length " + std::to_string(length));
        }
    }
}

// --- the launch seam ---------------------------------------------------------------

// A grid whose entries beyond a short batch are zero, as the sieve ships it;
// hits in the first, a middle and the last entry of the batch. Every path
// reports exactly the hits, through the same launch the program makes.
TEST(HostPaths, LaunchRunsThePathInUseOverTheGrid) {
    const KernelEntry* e = findKernel("quilbrex96bit_n32_63");
    const uint32_t blocks = 8, batch = 1500;
    std::vector<unsigned long long> table(blocks * 256u, 0);
    for (uint32_t i = 0; i < batch; ++i) table[i] = 4121 + 2 * (i % 7);  // 4121..4133: no factor among them
    for (uint32_t i = 0; i < batch; ++i) ASSERT_FALSE(i < 7 && gmpIsHit(table[i], 54));
    for (uint32_t i : {0u, batch / 2, batch - 1}) table[i] = 4119;
    void *d_table = nullptr, *d_buffer = nullptr;
    ASSERT_EQ(cudaMalloc(&d_table, 8 * table.size()), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&d_buffer, 4 * 16), cudaSuccess);
    for (HostTestPath path : availablePaths()) {
        SCOPED_TRACE(hostPathName(path));
        ASSERT_TRUE(hostForcePath(path));
        std::vector<unsigned int> factors(16, 0);
        ASSERT_EQ(cudaMemcpy(d_table, table.data(), 8 * table.size(), cudaMemcpyHostToDevice), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(d_buffer, factors.data(), 4 * 16, cudaMemcpyHostToDevice), cudaSuccess);
        launchKernel(e, blocks, static_cast<unsigned int*>(d_buffer), static_cast<unsigned long long*>(d_table), 54);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        ASSERT_EQ(cudaMemcpy(factors.data(), d_buffer, 4 * 16, cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(factors[0], 3u);
        for (uint32_t r = 0; r < 3; ++r) {
            EXPECT_EQ(factors[1 + 3 * r], 4119u);
            EXPECT_EQ(factors[2 + 3 * r], 0u);
            EXPECT_EQ(factors[3 + 3 * r], 0u);
        }
        EXPECT_EQ(factors[10], 0u);
    }
    hostForcePath(hostPathBest());
    cudaFree(d_table);
    cudaFree(d_buffer);
}

}  // namespace
