// The 35 factor-test kernels through the registry and the real launch path of
// the host runtime: factor records and proof k read back after each launch
// and compared with GMP, for every member, known factors, several hits per
// launch, a proof table that overflows and candidates that no member may
// report.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel_test_helpers.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "verify/known_factors.h"

namespace {

// Words of the factor buffer that the kernel must not write start as this.
constexpr uint32_t UNTOUCHED = 0xA5A5A5A5u;

unsigned int* deviceFactors() {
    static unsigned int* buffer = [] {
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, FACTOR_BUFFER_BYTES), cudaSuccess);
        return static_cast<unsigned int*>(p);
    }();
    return buffer;
}

unsigned long long* deviceTable() {
    static unsigned long long* table = [] {
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, 8ull * MAX_BATCH), cudaSuccess);
        return static_cast<unsigned long long*>(p);
    }();
    return table;
}

unsigned int* deviceProofs() {
    static unsigned int* buffer = [] {
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, PROOF_TABLE_BYTES), cudaSuccess);
        return static_cast<unsigned int*>(p);
    }();
    return buffer;
}

struct LaunchResult {
    uint32_t count = 0;
    std::vector<uint64_t> found;  // sorted
    uint32_t proofCount = 0;
    std::vector<uint64_t> proofs;  // sorted
};

// Launches entry over table.size()/256 blocks at proof bits t and reads the
// records back; checks that nothing beyond the records, nor their third
// words, was written, in the factor buffer and in the proof table.
LaunchResult launchTable(const KernelEntry* entry, const std::vector<uint64_t>& table, uint32_t n, uint32_t t = 64) {
    LaunchResult result;
    const uint32_t blocks = (uint32_t)(table.size() / 256);
    EXPECT_EQ(table.size(), blocks * 256u);
    std::vector<unsigned int> factors(FACTOR_BUFFER_WORDS, UNTOUCHED);
    factors[0] = 0;
    EXPECT_EQ(cudaMemcpy(deviceTable(), table.data(), 8 * table.size(), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(deviceFactors(), factors.data(), FACTOR_BUFFER_BYTES, cudaMemcpyHostToDevice), cudaSuccess);
    std::vector<unsigned int> proofs(PROOF_TABLE_WORDS, UNTOUCHED);
    proofs[0] = 0;
    EXPECT_EQ(cudaMemcpy(deviceProofs(), proofs.data(), PROOF_TABLE_BYTES, cudaMemcpyHostToDevice), cudaSuccess);
    launchKernel(entry, blocks, deviceFactors(), deviceTable(), n, deviceProofs(), t);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(proofs.data(), deviceProofs(), PROOF_TABLE_BYTES, cudaMemcpyDeviceToHost), cudaSuccess);
    result.proofCount = proofs[0];
    const uint32_t proofRecords = std::min(result.proofCount, PROOF_RECORD_CAPACITY);
    for (uint32_t r = 0; r < proofRecords; ++r) result.proofs.push_back(proofs[1 + 2 * r] | (uint64_t)proofs[2 + 2 * r] << 32);
    const auto beyond = std::find_if(proofs.begin() + 1 + 2 * proofRecords, proofs.end(),
                                     [](unsigned int w) { return w != UNTOUCHED; });
    EXPECT_TRUE(beyond == proofs.end()) << "proof table word " << (beyond - proofs.begin()) << " written beyond the records";
    std::sort(result.proofs.begin(), result.proofs.end());
    EXPECT_EQ(cudaMemcpy(factors.data(), deviceFactors(), FACTOR_BUFFER_BYTES, cudaMemcpyDeviceToHost), cudaSuccess);

    result.count = factors[0];
    EXPECT_LE(result.count, blocks * 256u);
    const uint32_t records = std::min(result.count, blocks * 256u);
    for (uint32_t r = 0; r < records; ++r) {
        result.found.push_back(factors[1 + 3 * r] | (uint64_t)factors[2 + 3 * r] << 32);
        EXPECT_EQ(factors[3 + 3 * r], UNTOUCHED) << "third word of record " << r;
    }
    const auto written = std::find_if(factors.begin() + 1 + 3 * records, factors.end(),
                                      [](unsigned int w) { return w != UNTOUCHED; });
    EXPECT_TRUE(written == factors.end()) << "word " << (written - factors.begin()) << " written beyond the records";
    std::sort(result.found.begin(), result.found.end());
    return result;
}

// A table of `blocks` blocks with ks spread over it (including the first and
// last threads of blocks) and zeros everywhere else.
std::vector<uint64_t> spreadTable(const std::vector<uint64_t>& ks, uint32_t blocks) {
    std::vector<uint64_t> table(blocks * 256u, 0);
    EXPECT_LT(ks.size(), table.size());
    for (size_t j = 0; j < ks.size(); ++j) table[(j * 257 + 255) % table.size()] = ks[j];
    return table;
}

uint32_t widthOf(uint64_t k, uint32_t n) { return (n + bitLength(k) + 31) / 32; }

std::string kText(const std::vector<uint64_t>& ks) {
    std::string text;
    char one[32];
    for (uint64_t k : ks) {
        std::snprintf(one, sizeof one, " 0x%llx", (unsigned long long)k);
        text += one;
    }
    return text;
}

// --- registry ------------------------------------------------------------------------

TEST(KernelRegistry, NamesWidthsBandsAndMangledNames) {
    const char* const names[] = {
        "quilbrex96bit_n32_63",    "quilbrex128bit_n32_63",   "quilbrex128bit_n64_95",   "quilbrex160bit_n64_95",
        "quilbrex160bit_n96_127",  "quilbrex192bit_n96_127",  "quilbrex192bit_n128_159", "quilbrex224bit_n128_159",
        "quilbrex224bit_n160_191", "quilbrex256bit_n160_191", "quilbrex256bit_n192_223", "quilbrex288bit_n192_223",
        "quilbrex288bit_n224_255", "quilbrex320bit_n224_255", "quilbrex320bit_n256_287", "quilbrex352bit_n256_287",
        "quilbrex352bit_n288_319", "quilbrex384bit_n288_319", "quilbrex384bit_n320_351", "quilbrex416bit_n320_351",
        "quilbrex416bit_n352_383", "quilbrex448bit_n352_383", "quilbrex448bit_n384_415", "quilbrex480bit_n384_415",
        "quilbrex480bit_n416_447", "quilbrex512bit_n416_447", "quilbrex512bit_n448_479", "quilbrex544bit_n448_479",
        "quilbrex544bit_n480_511", "quilbrex576bit_n480_511", "quilbrex576bit_n512_543", "quilbrex608bit_n512_543",
        "quilbrex608bit_n544_575", "quilbrex640bit_n544_575", "quilbrex640bit_n576_607",
    };
    static_assert(sizeof names / sizeof names[0] == KERNEL_COUNT, "35 members");
    EXPECT_STREQ(kernelTable[0].mangledName, "_Z20quilbrex96bit_n32_63PjPyjS_j");
    EXPECT_STREQ(kernelTable[KERNEL_COUNT - 1].mangledName, "_Z23quilbrex640bit_n576_607PjPyjS_j");
    for (int i = 0; i < KERNEL_COUNT; ++i) {
        const KernelEntry& e = kernelTable[i];
        SCOPED_TRACE(names[i]);
        EXPECT_STREQ(e.name, names[i]);
        // Rows go band by band, the narrow member (width j+2) first.
        const uint32_t band = (uint32_t)i / 2 + 1, width = i % 2 == 0 ? band + 2 : band + 3;
        EXPECT_EQ(e.band, band);
        EXPECT_EQ(e.width, width);
        char expectedName[64];
        std::snprintf(expectedName, sizeof expectedName, "quilbrex%ubit_n%u_%u", 32 * e.width, 32 * e.band,
                      32 * e.band + 31);
        EXPECT_STREQ(e.name, expectedName);
        const std::string mangled = "_Z" + std::to_string(std::strlen(names[i])) + names[i] + "PjPyjS_j";
        EXPECT_STREQ(e.mangledName, mangled.c_str());
        int status = -1;
        char* demangled = abi::__cxa_demangle(e.mangledName, nullptr, nullptr, &status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(std::string(demangled), std::string(names[i]) + "(unsigned int*, unsigned long long*, unsigned int, "
                                                                  "unsigned int*, unsigned int)");
        std::free(demangled);
        EXPECT_EQ(findKernel(names[i]), &e);
        ASSERT_NE(e.function, nullptr);
        for (int j = 0; j < i; ++j) EXPECT_NE(kernelTable[j].function, e.function);
    }
    EXPECT_EQ(findKernel("quilbrex96bit_n32_64"), nullptr);
    EXPECT_EQ(findKernel(""), nullptr);
}

TEST(KernelRegistry, KernelForBandsAndWidths) {
    struct Case {
        uint32_t n, width;
        const char* member;  // nullptr: none
    };
    const Case cases[] = {
        {31, 3, nullptr},
        {0, 3, nullptr},
        {32, 2, nullptr},
        {32, 3, "quilbrex96bit_n32_63"},
        {32, 4, "quilbrex128bit_n32_63"},
        {63, 3, "quilbrex96bit_n32_63"},
        {63, 4, "quilbrex128bit_n32_63"},
        {63, 5, nullptr},
        {64, 3, nullptr},
        {64, 4, "quilbrex128bit_n64_95"},
        {64, 5, "quilbrex160bit_n64_95"},
        {96, 4, nullptr},
        {543, 18, "quilbrex576bit_n512_543"},
        {544, 18, nullptr},
        {575, 19, "quilbrex608bit_n544_575"},
        {575, 20, "quilbrex640bit_n544_575"},
        {576, 19, nullptr},
        {576, 20, "quilbrex640bit_n576_607"},
        {576, 21, nullptr},
        {607, 20, "quilbrex640bit_n576_607"},
        {607, 21, nullptr},
        {608, 20, nullptr},
        {608, 21, nullptr},
        {640, 22, nullptr},
        {0xFFFFFFFFu, 20, nullptr},
    };
    for (const Case& c : cases) {
        const KernelEntry* e = kernelFor(c.n, c.width);
        if (c.member)
            EXPECT_TRUE(e && std::strcmp(e->name, c.member) == 0) << c.n << " " << c.width << " -> " << (e ? e->name : "none");
        else
            EXPECT_EQ(e, nullptr) << c.n << " " << c.width << " -> " << e->name;
    }
    for (const KernelEntry& e : kernelTable) {
        for (uint32_t n = 32 * e.band; n <= 32 * e.band + 31; ++n) EXPECT_EQ(kernelFor(n, e.width), &e) << e.name << " n=" << n;
    }

    // The width of p = k*2^n+1 chooses the member at the edges of the bands.
    struct Candidate {
        uint64_t k;
        uint32_t n;
        const char* member;
    };
    const Candidate candidates[] = {
        {(1ull << 33) - 1, 63, "quilbrex96bit_n32_63"},
        {(1ull << 33) + 1, 63, "quilbrex128bit_n32_63"},
        {(1ull << 32) - 1, 64, nullptr},
        {(1ull << 32) + 1, 64, "quilbrex128bit_n64_95"},
        {3, 32, nullptr},
        {3, 607, "quilbrex640bit_n576_607"},
        {(1ull << 33) - 1, 607, "quilbrex640bit_n576_607"},
        {1ull << 33, 607, nullptr},
        {(1ull << 32) + 1, 576, "quilbrex640bit_n576_607"},
        {(1ull << 32) - 1, 576, nullptr},
    };
    for (const Candidate& c : candidates) {
        const KernelEntry* e = kernelFor(c.n, widthOf(c.k, c.n));
        if (c.member)
            EXPECT_TRUE(e && std::strcmp(e->name, c.member) == 0) << c.k << " " << c.n;
        else
            EXPECT_EQ(e, nullptr) << c.k << " " << c.n << " -> " << e->name;
    }
}

// --- every member through the launch path ---------------------------------------------

TEST(KernelFamily, EveryMemberAgreesWithGmpAcrossItsBand) {
    const uint64_t seed = kernelTestSeed();
    std::mt19937_64 rng(seed);
    for (const KernelEntry& e : kernelTable) {
        const uint32_t low = lowestServedN(e.width, e.band), high = highestServedN(e.band);
        // Every residue of n-1 mod 4, the ends of the band and one inside.
        const uint32_t exponents[] = {low, low + 1, low + 2, low + 3, low + 4 + (uint32_t)(rng() % 24), high};
        for (uint32_t n : exponents) {
            SCOPED_TRACE(std::string(e.name) + " n=" + std::to_string(n) + " seed " + std::to_string(seed));
            const uint32_t minBits = minServedBits(e.width, n), maxBits = maxServedBits(e.width, n);
            std::vector<uint64_t> served = {1ull << (minBits - 1), (1ull << (minBits - 1)) + 1,
                                            lowBitsMask(maxBits), lowBitsMask(maxBits) - 1};
            for (int i = 0; i < 6; ++i) served.push_back(kWithBits(rng, minBits + (uint32_t)(rng() % (maxBits - minBits + 1))));
            // Proof bits of 0 to 3 and one of the program's larger t: several
            // proof k per launch, in any threads.
            const uint32_t t = n % 5 == 4 ? 12 : n % 5;
            std::vector<uint64_t> expected, expectedProofs;
            for (uint64_t k : served) {
                if (gmpIsHit(k, n)) expected.push_back(k);
                if (gmpIsProof(k, n, t)) expectedProofs.push_back(k);
            }
            // Outside the width: must never be reported.
            std::vector<uint64_t> ks = served;
            if (minBits > 1) ks.push_back(lowBitsMask(minBits - 1));
            if (maxBits < 64) ks.push_back(1ull << maxBits);
            const LaunchResult got = launchTable(&e, spreadTable(ks, 1 + (uint32_t)(rng() % 3)), n, t);
            std::sort(expected.begin(), expected.end());
            std::sort(expectedProofs.begin(), expectedProofs.end());
            EXPECT_EQ(got.count, expected.size());
            EXPECT_EQ(got.found, expected) << "candidates" << kText(ks);
            EXPECT_EQ(got.proofCount, expectedProofs.size());
            EXPECT_EQ(got.proofs, expectedProofs) << "t=" << t << ", candidates" << kText(ks);
        }
    }
}

// Every entry of the library's table of known factors, through the member
// that serves it, with its neighbours. The reference decides; the table only
// records what it must say.
TEST(KernelFamily, KnownFactorsAndNeighbours) {
    struct Known {
        uint64_t k;
        uint32_t n;
        const char* member;
    };
    ASSERT_GE(KNOWN_FACTOR_COUNT, 30u);
    for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i) {
        const KnownFactor& f = knownFactors[i];
        SCOPED_TRACE(std::to_string(f.k) + "*2^" + std::to_string(f.n) + "+1 (" + f.divides + ")");
        ASSERT_TRUE(gmpIsHit(f.k, f.n)) << "not a hit by the reference: the table is wrong";
        const KernelEntry* e = kernelFor(f.n, widthOf(f.k, f.n));
        ASSERT_NE(e, nullptr) << "no member serves it";
        std::vector<uint64_t> ks = {f.k};
        std::vector<uint64_t> expected = {f.k};
        for (uint64_t k : std::vector<uint64_t>{f.k - 2, f.k + 2, f.k - 1, f.k + 1}) {
            if (kernelFor(f.n, widthOf(k, f.n)) != e) continue;
            ks.push_back(k);
            if (gmpIsHit(k, f.n)) expected.push_back(k);
        }
        std::sort(expected.begin(), expected.end());
        const LaunchResult got = launchTable(e, spreadTable(ks, 1), f.n);
        EXPECT_EQ(got.count, expected.size());
        EXPECT_EQ(got.found, expected);
    }

    // The neighbours that the examples name: not hits.
    const Known neighbours[] = {
        {4121, 54, "quilbrex96bit_n32_63"}, {1423, 93, "quilbrex128bit_n64_95"}, {7, 127, "quilbrex160bit_n96_127"}};
    for (const Known& f : neighbours) {
        SCOPED_TRACE(std::to_string(f.k) + "*2^" + std::to_string(f.n) + "+1");
        ASSERT_FALSE(gmpIsHit(f.k, f.n));
        const KernelEntry* e = findKernel(f.member);
        const LaunchResult got = launchTable(e, spreadTable({f.k}, 1), f.n);
        EXPECT_EQ(got.count, 0u);
    }
}

// --- records ---------------------------------------------------------------------------

// At n = 32: F6 (k = 2^32) and F5 times each of the two known factors of F30.
constexpr uint64_t kF5TimesF30a = 149041ull * (1ull << 32) + 149042;  // F5 * (149041*2^32+1)
constexpr uint64_t kF5TimesF30b = 255178ull * (1ull << 32) + 255179;  // F5 * (127589*2^33+1)

TEST(KernelFamily, TwoHitsInOneLaunchGiveTwoRecordsWithHighHalves) {
    const KernelEntry* e = findKernel("quilbrex96bit_n32_63");
    ASSERT_TRUE(gmpIsHit(kF5TimesF30a, 32) && gmpIsHit(kF5TimesF30b, 32));
    for (uint64_t k : std::vector<uint64_t>{kF5TimesF30a - 2, 0xFFFFFFFFFFFFFFull, kF5TimesF30b + 2}) ASSERT_FALSE(gmpIsHit(k, 32)) << k;
    const std::vector<uint64_t> ks = {kF5TimesF30a - 2, kF5TimesF30a, 0xFFFFFFFFFFFFFFull, kF5TimesF30b, kF5TimesF30b + 2};
    const LaunchResult got = launchTable(e, spreadTable(ks, 2), 32);
    EXPECT_EQ(got.count, 2u);
    EXPECT_EQ(got.found, (std::vector<uint64_t>{kF5TimesF30a, kF5TimesF30b}));
}

TEST(KernelFamily, ThirdHitFillsTheThirdRecord) {
    const KernelEntry* e = findKernel("quilbrex96bit_n32_63");
    ASSERT_TRUE(gmpIsHit(1ull << 32, 32));
    ASSERT_FALSE(gmpIsHit((1ull << 32) + 1, 32));
    const std::vector<uint64_t> ks = {kF5TimesF30b, 1ull << 32, kF5TimesF30a, (1ull << 32) + 1};
    const LaunchResult got = launchTable(e, spreadTable(ks, 1), 32);
    EXPECT_EQ(got.count, 3u);
    EXPECT_EQ(got.found, (std::vector<uint64_t>{1ull << 32, kF5TimesF30a, kF5TimesF30b}));
}

TEST(KernelFamily, ManyHitsInOneLaunchAreAllReported) {
    // Every other entry of four blocks holds the same factor.
    const KernelEntry* e = findKernel("quilbrex96bit_n32_63");
    std::vector<uint64_t> table(4 * 256, 0);
    ASSERT_FALSE(gmpIsHit(4121, 54));
    for (size_t i = 0; i < table.size(); ++i) table[i] = i % 2 ? 4119 : 4121;
    const LaunchResult got = launchTable(e, table, 54);
    EXPECT_EQ(got.count, 512u);
    EXPECT_EQ(got.found, std::vector<uint64_t>(512, 4119));

    // And a whole grid of hits with k >= 2^32.
    std::vector<uint64_t> full(3 * 256, 5463561471303ull);
    const LaunchResult all = launchTable(e, full, 33);
    EXPECT_EQ(all.count, 768u);
    EXPECT_EQ(all.found, full);

    // At t = 0 every candidate is a proof k: more than the proof table holds
    // are all counted, the table is filled and nothing is written beyond it.
    std::vector<uint64_t> many(33 * 256, 4121);
    ASSERT_GT(many.size(), PROOF_RECORD_CAPACITY);
    const LaunchResult overflowing = launchTable(e, many, 54, 0);
    EXPECT_EQ(overflowing.proofCount, many.size());
    EXPECT_EQ(overflowing.proofs, std::vector<uint64_t>(PROOF_RECORD_CAPACITY, 4121));
    EXPECT_EQ(overflowing.count, 0u);
}

// Thread i reads entry i and no other: one hit among non-hits, at the edges of
// the blocks, is reported exactly once.
TEST(KernelFamily, EachThreadTestsItsOwnEntry) {
    const KernelEntry* e = findKernel("quilbrex96bit_n32_63");
    for (size_t position : {0u, 1u, 255u, 256u, 511u, 512u, 766u, 767u}) {
        SCOPED_TRACE("hit at entry " + std::to_string(position));
        std::vector<uint64_t> table(3 * 256, 4121);
        table[position] = 4119;
        const LaunchResult got = launchTable(e, table, 54);
        EXPECT_EQ(got.count, 1u);
        EXPECT_EQ(got.found, std::vector<uint64_t>{4119});
    }
}

TEST(KernelFamily, LaunchWithoutHitsLeavesTheBufferUntouched) {
    for (const KernelEntry& e : kernelTable) {
        SCOPED_TRACE(e.name);
        // An all-zero table (what lies beyond a short batch) ...
        EXPECT_EQ(launchTable(&e, std::vector<uint64_t>(256, 0), 32 * e.band + 5).count, 0u);
    }
    // ... and non-hits served by the member.
    for (uint64_t k : std::vector<uint64_t>{4121, 4117, 4123, 1ull << 33}) ASSERT_FALSE(gmpIsHit(k, 54)) << k;
    const LaunchResult got =
        launchTable(findKernel("quilbrex96bit_n32_63"), spreadTable({4121, 4117, 4123, 1ull << 33}, 2), 54);
    EXPECT_EQ(got.count, 0u);
}

// Entries outside the member's width or band are never reported, even when
// the candidate divides a Fermat number.
TEST(KernelFamily, CandidatesOutsideThePreconditionAreNeverReported) {
    struct Misfit {
        const char* member;
        uint64_t k;
        uint32_t n;
    };
    const Misfit misfits[] = {
        {"quilbrex128bit_n32_63", 4119, 54},        // 67 bits at width 4
        {"quilbrex128bit_n64_95", 4119, 54},        // exponent below the band
        {"quilbrex96bit_n32_63", 1421, 93},         // exponent above the band
        {"quilbrex96bit_n32_63", 0, 54},
        {"quilbrex160bit_n64_95", 1421, 93},        // 104 bits at width 5
        {"quilbrex192bit_n96_127", 5, 127},         // 130 bits at width 6
        {"quilbrex160bit_n96_127", 1ull << 63, 65}, // F7 at n = 65 outside band 3
        {"quilbrex640bit_n576_607", 1ull << 33, 607},  // 641 bits
        {"quilbrex640bit_n576_607", 0, 576},
    };
    for (const Misfit& m : misfits) {
        SCOPED_TRACE(std::string(m.member) + " k=" + std::to_string(m.k) + " n=" + std::to_string(m.n));
        const LaunchResult got = launchTable(findKernel(m.member), spreadTable({m.k, m.k, m.k}, 1), m.n);
        EXPECT_EQ(got.count, 0u);
    }
}

}  // namespace
