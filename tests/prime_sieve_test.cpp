// Tests of the sieving-prime table: bounds, fixed list, completeness against GMP, widening of short bounds, memory failure.
#include <gmp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "support/test_support.h"

namespace {

// Odd primes below limit by a plain sieve of Eratosthenes over all integers, independent of the code under test.
std::vector<uint32_t> referenceOddPrimes(uint32_t limit) {
    std::vector<bool> composite(limit, false);
    std::vector<uint32_t> primes;
    for (uint64_t i = 2; i < limit; ++i) {
        if (composite[i]) continue;
        if (i > 2) primes.push_back(static_cast<uint32_t>(i));
        for (uint64_t m = i * i; m < limit; m += i) composite[m] = true;
    }
    return primes;
}

const std::vector<uint32_t>& oddPrimesBelow16M() {
    static const std::vector<uint32_t> primes = referenceOddPrimes(16000000);
    return primes;
}

uint32_t buildTable(uint32_t count) {
    primeCount = count;
    BuildPrimeTable();
    return count;
}

TEST(PrimeSieve, BoundsAndLastEntriesForEveryCountInUse) {
    struct Row {
        uint32_t count, bound, root, trialPrimes, last;
    };
    const Row rows[] = {
        {20, 77, 8, 3, 73},
        {50, 239, 15, 5, 233},
        {100, 548, 23, 8, 547},
        {500, 3602, 60, 16, 3581},
        {1000, 7945, 89, 23, 7927},
        {5000, 48620, 220, 46, 48619},
        {20000, 224864, 474, 90, 224743},
        {50000, 612369, 782, 136, 611957},
        {100000, 1300435, 1140, 188, 1299721},
        {200000, 2750535, 1658, 259, 2750161},
        {500000, 7370951, 2714, 395, 7368791},
        {800000, 12199455, 3492, 487, 12195263},
        {1000000, 15488294, 3935, 545, 15485867},
    };
    const std::vector<uint32_t>& reference = oddPrimesBelow16M();
    for (const Row& row : rows) {
        SCOPED_TRACE("primeCount " + std::to_string(row.count));
        uint32_t bound = PrimeSieveBound(row.count);
        EXPECT_EQ(bound, row.bound);
        uint32_t root = static_cast<uint32_t>(std::sqrt(static_cast<double>(bound)));
        EXPECT_EQ(root, row.root);
        // The odd primes up to the root are exactly what crossing out needs.
        uint32_t trial = 0;
        while (reference[trial] <= root) ++trial;
        EXPECT_EQ(trial, row.trialPrimes);

        buildTable(row.count);
        ASSERT_NE(primeTable, nullptr);
        EXPECT_EQ(primeTable[0], 3u);
        EXPECT_EQ(primeTable[row.count - 1], row.last);
        EXPECT_EQ(reference[row.count - 1], row.last);
        ReleasePrimeTable();
        EXPECT_EQ(primeTable, nullptr);
    }
    // Count 4 is served by the fixed list because its bound, 9, holds only three odd primes.
    EXPECT_EQ(PrimeSieveBound(4), 9u);
}

TEST(PrimeSieve, SmallCountsComeFromTheFixedList) {
    const uint32_t firstTen[10] = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31};
    for (uint32_t count : {0u, 1u, 4u, 10u}) {
        SCOPED_TRACE("primeCount " + std::to_string(count));
        buildTable(count);
        ASSERT_NE(primeTable, nullptr);
        for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(primeTable[i], firstTen[i]) << "entry " << i;
        ReleasePrimeTable();
    }
    // The sieve on its own gives the same small tables, widening where its bound is too short (4 gives 9).
    for (uint32_t count = 1; count <= 10; ++count) {
        SCOPED_TRACE("sieve with primeCount " + std::to_string(count));
        primeCount = count;
        InitializePrimeSieve();
        for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(primeTable[i], firstTen[i]) << "entry " << i;
        ReleasePrimeTable();
    }
}

TEST(PrimeSieve, LargestTableHoldsEveryOddPrimeAndNothingElse) {
    const uint32_t count = buildTable(1000000);
    mpz_t expected;
    mpz_init_set_ui(expected, 2);
    uint32_t mismatches = 0;
    for (uint32_t i = 0; i < count && mismatches < 10; ++i) {
        mpz_nextprime(expected, expected);
        if (mpz_cmp_ui(expected, primeTable[i]) != 0) {
            ++mismatches;
            ADD_FAILURE() << "entry " << i << " is 0x" << std::hex << primeTable[i] << ", the next odd prime is 0x"
                          << mpz_get_ui(expected);
            mpz_set_ui(expected, primeTable[i]);
        }
    }
    mpz_clear(expected);
    ReleasePrimeTable();
}

TEST(PrimeSieve, CountsWithAShortBoundStillGetEveryPrime) {
    const std::vector<uint32_t>& reference = oddPrimesBelow16M();
    // Find the counts whose starting bound does not reach their last prime.
    std::vector<uint32_t> shortCounts;
    uint32_t largestGap = 0, largestMissing = 0, worstCount = 0;
    for (uint32_t count = 11; count <= 405109; ++count) {
        uint32_t bound = PrimeSieveBound(count);
        uint32_t last = reference[count - 1];
        if (last < bound) continue;
        shortCounts.push_back(count);
        uint32_t found = 0;
        while (reference[found] < bound) ++found;
        if (last - bound > largestGap) largestGap = last - bound, worstCount = count;
        if (count - found > largestMissing) largestMissing = count - found;
    }
    EXPECT_EQ(shortCounts.size(), 17381u);
    EXPECT_EQ(largestMissing, 29u);
    ASSERT_FALSE(shortCounts.empty());
    EXPECT_EQ(shortCounts.front(), 11u);

    uint32_t seed = std::random_device{}();
    std::mt19937 random(seed);
    std::vector<uint32_t> picked = {shortCounts.front(), worstCount, shortCounts.back()};
    for (int i = 0; i < 5; ++i) picked.push_back(shortCounts[random() % shortCounts.size()]);
    for (uint32_t count : picked) {
        SCOPED_TRACE("primeCount " + std::to_string(count) + ", seed " + std::to_string(seed) + ", largest gap " +
                     std::to_string(largestGap));
        buildTable(count);
        uint32_t wrong = 0;
        for (uint32_t i = 0; i < count && wrong < 5; ++i)
            if (primeTable[i] != reference[i]) {
                ++wrong;
                ADD_FAILURE() << "entry " << i << ": 0x" << std::hex << primeTable[i] << " instead of 0x"
                              << reference[i];
            }
        ReleasePrimeTable();
    }
}

TEST(PrimeSieve, BuildingAgainReplacesTheTable) {
    buildTable(50000);
    buildTable(20);
    EXPECT_EQ(primeTable[19], 73u);
    ReleasePrimeTable();
    ReleasePrimeTable();
    EXPECT_EQ(primeTable, nullptr);
}

TEST(PrimeSieve, LackOfMemoryEndsTheProcess) {
    ChildResult child = runInChild([] {
        // Leave only a little address space beyond what the process already has.
        FILE* statm = fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (!statm || fscanf(statm, "%lu", &pages) != 1) return 100;
        fclose(statm);
        rlim_t limit = static_cast<rlim_t>(pages) * 4096 + (1u << 20);
        struct rlimit rl = {limit, limit};
        if (setrlimit(RLIMIT_AS, &rl) != 0) return 101;
        // Far more than any memory the test process may already hold in reserve.
        primeCount = 50000000;
        BuildPrimeTable();
        return 0;
    });
    ASSERT_TRUE(child.exited);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out, "");
    EXPECT_EQ(child.err, "\nThere is not enough memory to allocate a table of primes: Cannot allocate memory\n");
}

}  // namespace
