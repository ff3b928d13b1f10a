// Marking a sieve segment: the fast marking (pattern, cache blocks, slices on
// all threads) gives byte for byte what crossing out prime by prime over the
// whole segment gives, across pattern, block and slice boundaries, and every
// byte checked directly obeys the definition; collecting its survivors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_marking.h"
#include "sieve/segment_sieve.h"

namespace {

// Whether some prime of the table divides k*2^n+1, straight from the definition.
bool hasSmallFactor(uint64_t k, uint32_t n, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t q = primeTable[i];
        uint64_t power = 1 % q, base = 2 % q;
        for (uint32_t bits = n; bits; bits >>= 1, base = base * base % q)
            if (bits & 1) power = power * base % q;
        if (((k % q) * power + 1) % q == 0) return true;
    }
    return false;
}

// What crossing out prime by prime over the whole segment gives.
std::vector<uint8_t> referenceMarking(uint32_t length, uint64_t a, const std::vector<uint32_t>& inverse) {
    std::vector<uint8_t> expected(length, 1);
    for (size_t i = 0; i < inverse.size(); ++i)
        for (uint64_t j = FirstSievedByte(primeTable[i], inverse[i], a); j < length; j += primeTable[i]) expected[j] = 0;
    return expected;
}

TEST(SegmentMarking, EqualsCrossingOutPrimeByPrime) {
    struct Case {
        uint32_t primes, length, n;
        uint64_t a;
    };
    const Case cases[] = {
        {0, 1000, 54, 3},                                  // no primes: all set
        {1, 40, 32, 3},                                    // 3 alone
        {4, 15015 * 3 + 7, 54, 4001},                      // the first group without 13: crossed out
        {5, 15015 * 2 - 1, 61, 1},                         // exactly the first group
        {6, (1u << 17) + 1, 93, 1001},                     // one prime past the first group, blocks
        {7, 7429 * 3 + 1, 55, 77},                         // the second group without 23
        {8, 7429 * 2 + 4096 + 1, 100, 12345},              // two groups, runs past a pattern's tail
        {17, (1u << 20) + (1u << 15) + 63, 333, 5},        // all five groups, past an outer block
        {18, 65, 54, 999999999},                           // shorter than every period and a vector
        {17, 63, 1000, 3},                                 // shorter than one vector
        {1028, (1u << 15) - 1, 54, 101},                   // primes past 8192, one byte short of a block
        {1028, (1u << 15) + 1, 55, 103},                   // one byte past a block
        {1028, 1u << 20, 56, 105},                         // exactly an outer block
        {1028, (1u << 20) + 1, 57, 107},                   // one byte past an outer block
        {100, 5960000, 54, 1073741825},                    // the host's width-3 segment, two slices
        {82100, 2300001, 207, (1ull << 40) + 1},           // primes past 2^20 walk the slice
        {100, 5960000, 54, 1073741825},                    // the host's width-3 segment, two slices
        {5000, 3000017, 207, (1ull << 40) + 1},            // medium primes across blocks and slices
        {20000, 2100000, 600, 18446744073709551615ull - 4200000},  // primes beyond a block, k near 2^64
    };
    std::mt19937_64 rng(20261207);
    for (const Case& c : cases) {
        SCOPED_TRACE("primes " + std::to_string(c.primes) + ", length " + std::to_string(c.length) + ", n " +
                     std::to_string(c.n) + ", a " + std::to_string(c.a));
        primeCount = c.primes;
        BuildPrimeTable();
        std::vector<uint32_t> inverse(c.primes);
        for (uint32_t i = 0; i < c.primes; ++i) inverse[i] = InverseTwoPower(primeTable[i], c.n);

        const std::vector<uint8_t> expected = referenceMarking(c.length, c.a, inverse);
        std::vector<uint8_t> got;
        // Every width of combining the patterns that this processor has.
        for (uint32_t vector : {64u, 32u, 8u}) {
            if (vector > patternVectorBytesSupported()) continue;
            SCOPED_TRACE("patterns combined " + std::to_string(vector) + " bytes at a time");
            patternVectorBytes = vector;
            got.assign(c.length + 1, 0xEE);
            sieveSegment(got.data(), c.length, c.a, primeTable, inverse.data(), c.primes);
            EXPECT_EQ(got[c.length], 0xEE) << "written past the segment";
            got.pop_back();
            size_t mismatch = 0;
            while (mismatch < got.size() && got[mismatch] == expected[mismatch]) ++mismatch;
            EXPECT_EQ(mismatch, got.size()) << "first difference at byte " << mismatch;
        }
        patternVectorBytes = patternVectorBytesSupported();

        for (int sample = 0; sample < 200; ++sample) {
            const uint32_t j = sample < 2 ? (sample ? c.length - 1 : 0) : (uint32_t)(rng() % c.length);
            EXPECT_EQ(got[j], hasSmallFactor(c.a + 2ull * j, c.n, c.primes) ? 0 : 1) << "byte " << j;
        }
        ReleasePrimeTable();
    }
}

// Tables that are not the odd primes from 3 in order (a group missing a
// prime, primes out of their group's place, composites, a prime repeated):
// the patterns only stand for a group whose primes lead the table exactly,
// and every other entry is crossed out as given.
TEST(SegmentMarking, TablesNotLedByTheGroupsAreCrossedOutAsGiven) {
    struct Case {
        const char* what;
        std::vector<uint32_t> primes;
        uint32_t length, n;
        uint64_t a;
    };
    const Case cases[] = {
        {"3 missing", {5, 7, 11, 13, 17, 19, 23}, 70000, 54, 3},
        {"23 missing from the second group", {3, 5, 7, 11, 13, 17, 19, 29, 31, 37}, 70001, 100, 77},
        {"the second group first", {17, 19, 23, 3, 5, 7, 11, 13}, 40000, 61, 12345},
        {"a composite in the first group", {3, 5, 7, 11, 15, 17, 19, 23}, 30031, 207, 1},
        {"a group repeated", {3, 5, 7, 11, 13, 3, 5, 7, 11, 13, 17, 19, 23, 17, 19, 23}, 50000, 54, 999},
        {"all five groups, then primes on both sides of 8192 and of 2^20",
         {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 8191, 8209, 1048573, 1048583},
         (1u << 21) + 3, 300, (1ull << 40) + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t count = static_cast<uint32_t>(c.primes.size());
        std::vector<uint32_t> inverse(count);
        for (uint32_t i = 0; i < count; ++i) inverse[i] = InverseTwoPower(c.primes[i], c.n);
        std::vector<uint8_t> expected(c.length, 1);
        for (uint32_t i = 0; i < count; ++i)
            for (uint64_t j = FirstSievedByte(c.primes[i], inverse[i], c.a); j < c.length; j += c.primes[i])
                expected[j] = 0;
        std::vector<uint8_t> got(c.length + 1, 0xEE);
        sieveSegment(got.data(), c.length, c.a, c.primes.data(), inverse.data(), count);
        EXPECT_EQ(got[c.length], 0xEE) << "written past the segment";
        got.pop_back();
        size_t mismatch = 0;
        while (mismatch < got.size() && got[mismatch] == expected[mismatch]) ++mismatch;
        EXPECT_EQ(mismatch, got.size()) << "first difference at byte " << mismatch;
    }
}

// A search's segments marked in turn, as Sieve does: segments that follow
// directly with the same length take their offsets carried by addition, one
// after a batch that filled early (a shorter step) or of another length
// finds them anew; every segment equals the reference, up to the last one,
// which may be short and may end at k = 2^64-1.
TEST(SegmentMarking, SegmentsOfASearchEqualTheReferenceWhateverTheSteps) {
    struct Step {
        uint32_t length, advance;  // bytes marked, bytes the search moves on
    };
    struct Case {
        uint32_t primes, n;
        uint64_t a;
        std::vector<Step> steps;
    };
    const uint64_t top = 18446744073709551615ull;
    const Case cases[] = {
        // Two slices, carried twice, then a batch that filled early, then carried again.
        {3000, 54, 1073741825, {{2100000, 2100000}, {2100000, 2100000}, {2100000, 777777}, {2100000, 2100000}, {2100000, 0}}},
        // Primes larger than a slice and than the segment; a short last segment ending at 2^64-1.
        {200000, 207, top - 2 * 3 * 2000001ull - 2 * 999 + 2,
         {{2000001, 2000001}, {2000001, 2000001}, {2000001, 2000001}, {999, 0}}},
        // One slice, a length that changes, segments shorter than a prime.
        {20000, 600, (1ull << 40) + 1, {{100000, 100000}, {100000, 100000}, {5000, 5000}, {5000, 5000}, {1, 0}}},
    };
    for (const Case& c : cases) {
        primeCount = c.primes;
        BuildPrimeTable();
        std::vector<uint32_t> inverse(c.primes);
        for (uint32_t i = 0; i < c.primes; ++i) inverse[i] = InverseTwoPower(primeTable[i], c.n);
        SegmentMarker marker;
        BeginMarking(marker, primeTable, inverse.data(), c.primes);
        uint64_t a = c.a;
        for (size_t s = 0; s < c.steps.size(); ++s) {
            const Step& step = c.steps[s];
            char trace[160];
            std::snprintf(trace, sizeof trace, "primes %u, n %u, segment %zu at a=0x%llx, length %u", c.primes, c.n, s,
                          (unsigned long long)a, step.length);
            SCOPED_TRACE(trace);
            std::vector<uint8_t> got(step.length + 1, 0xEE);
            MarkSegment(marker, got.data(), step.length, a);
            EXPECT_EQ(got[step.length], 0xEE) << "written past the segment";
            got.pop_back();
            const std::vector<uint8_t> expected = referenceMarking(step.length, a, inverse);
            size_t mismatch = 0;
            while (mismatch < got.size() && got[mismatch] == expected[mismatch]) ++mismatch;
            EXPECT_EQ(mismatch, got.size()) << "first difference at byte " << mismatch;
            if (s + 1 == c.steps.size() && c.a > top / 2) {
                EXPECT_EQ(a + 2ull * (step.length - 1), top) << "the last segment ends at 2^64-1";
            }
            a += 2ull * step.advance;
        }
        ReleasePrimeTable();
    }
}

// A batch ends at the limit (the byte that fills it counted as examined) or
// at the end of the segment, and holds exactly the k of the set bytes.
// Collecting on the path in use, whichever it is.
void expectCollectingStopsAtTheLimitOrTheEnd() {
    std::mt19937_64 rng(7);
    std::vector<uint8_t> segment(1000);
    for (uint8_t& byte : segment) byte = rng() % 5 == 0;
    segment[0] = 1;
    segment[999] = 1;
    std::vector<uint64_t> set;
    for (uint32_t j = 0; j < 1000; ++j)
        if (segment[j]) set.push_back(1001 + 2 * j);
    const uint64_t a = 1001;
    struct Case {
        uint32_t length, limit;
    };
    const Case cases[] = {{1000, 100000}, {1000, 1}, {1000, 2}, {1000, (uint32_t)set.size()},
                          {1000, (uint32_t)set.size() - 1}, {999, 100000}, {1, 5}, {0, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + ", limit " + std::to_string(c.limit));
        std::vector<unsigned long long> table(c.limit + 1, 0);
        uint32_t examined = 12345;
        const uint32_t count = CollectSurvivors(segment.data(), c.length, a, table.data(), c.limit, examined);
        std::vector<uint64_t> expected;
        uint32_t expectedExamined = 0;
        while (expectedExamined < c.length && expected.size() < c.limit) {
            if (segment[expectedExamined]) expected.push_back(a + 2 * expectedExamined);
            ++expectedExamined;
        }
        // A batch filled by the segment's last survivor consumes the segment.
        if (std::find(segment.begin() + expectedExamined, segment.begin() + c.length, 1) == segment.begin() + c.length)
            expectedExamined = c.length;
        EXPECT_EQ(count, expected.size());
        EXPECT_EQ(examined, expectedExamined);
        EXPECT_EQ(std::vector<uint64_t>(table.begin(), table.begin() + count), expected);
    }
    // A segment long enough to be collected in slices on several threads:
    // the batch filling before, at and after slice boundaries.
    std::vector<uint8_t> large(4000003);
    for (uint8_t& byte : large) byte = rng() % 9 == 0;
    uint32_t setCount = 0;
    for (uint8_t byte : large) setCount += byte;
    for (uint32_t limit : {1u, 1000u, setCount / 2, setCount / 2 + 1, setCount - 1, setCount, setCount + 1, 1u << 20}) {
        SCOPED_TRACE("large segment, limit " + std::to_string(limit));
        std::vector<unsigned long long> table(limit + 1, 0);
        uint32_t examined = 0;
        const uint32_t count = CollectSurvivors(large.data(), (uint32_t)large.size(), a, table.data(), limit, examined);
        uint32_t expectedCount = 0, expectedExamined = 0;
        bool same = true;
        while (expectedExamined < large.size() && expectedCount < limit) {
            if (large[expectedExamined]) same &= table[expectedCount++] == a + 2 * expectedExamined;
            ++expectedExamined;
        }
        if (std::find(large.begin() + expectedExamined, large.end(), 1) == large.end())
            expectedExamined = static_cast<uint32_t>(large.size());
        EXPECT_EQ(count, expectedCount);
        EXPECT_EQ(examined, expectedExamined);
        EXPECT_TRUE(same);
    }

    // Every byte of a large segment set: the counts of the slices reach
    // the whole slice.
    std::vector<uint8_t> full(2500001, 1);
    std::vector<unsigned long long> all(full.size() + 1);
    uint32_t fullExamined = 0;
    EXPECT_EQ(CollectSurvivors(full.data(), (uint32_t)full.size(), a, all.data(), (uint32_t)all.size(), fullExamined),
              full.size());
    EXPECT_EQ(fullExamined, full.size());
    EXPECT_EQ(all[full.size() - 1], a + 2 * (full.size() - 1));

    // Near 2^64 the k are formed without wrapping.
    std::vector<uint8_t> top(3, 1);
    std::vector<unsigned long long> table(4);
    uint32_t examined;
    EXPECT_EQ(CollectSurvivors(top.data(), 3, 18446744073709551611ull, table.data(), 4, examined), 3u);
    EXPECT_EQ(table[2], 18446744073709551615ull);

    // Every byte set: the batch fills at, just before and just after the
    // end of a 64-byte block and of each eight within it.
    std::vector<uint8_t> dense(300, 1);
    for (uint32_t limit : {7u, 8u, 9u, 63u, 64u, 65u, 127u, 128u, 129u, 200u, 299u, 300u, 301u}) {
        SCOPED_TRACE("dense segment, limit " + std::to_string(limit));
        std::vector<unsigned long long> filled(limit + 1, 0);
        const uint32_t count = CollectSurvivors(dense.data(), 300, a, filled.data(), limit, examined);
        EXPECT_EQ(count, std::min(limit, 300u));
        EXPECT_EQ(examined, std::min(limit, 300u));
        for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(filled[i], a + 2 * i) << "entry " << i;
    }
}

TEST(SegmentMarking, CollectingSurvivorsStopsAtTheLimitOrTheEndOnEveryPath) {
    const bool chosen = collectWithAvx512;
    for (bool avx512 : {false, true}) {
        if (avx512 && !avx512CollectSupported()) continue;
        SCOPED_TRACE(avx512 ? "AVX-512 collection" : "portable collection");
        collectWithAvx512 = avx512;
        expectCollectingStopsAtTheLimitOrTheEnd();
    }
    collectWithAvx512 = chosen;
    if (!avx512CollectSupported()) std::printf("this processor has no AVX-512: only the portable collection was tested\n");
}

}  // namespace
