// The host's check of every hit: agreement with an independent reference,
// the launch hook of the host runtime, and whole runs whose device reports
// hits that are not factors (injected after each launch), or only true ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "driver/startup.h"
#include "gpu/host_runtime_control.h"
#include "kernel_test_helpers.h"
#include "kernels/kernel_registry.h"
#include "kernels/sieve_kernel_list.h"
#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_sieve.h"
#include "support/test_support.h"
#include "verify/hit_check.h"
#include "verify/known_factors.h"
#include "verify/proof_bits.h"
#include "workfiles/checkpoint.h"

namespace {

// Every launch also reports this multiplier, which is no factor at the
// exponents used here (the known neighbour of 4119*2^54+1, not itself a factor).
constexpr uint64_t FALSE_HIT = 4121;

// (Only a test kernel's first argument is its factor buffer: a build that
// sieves on the device launches the sieve's kernels too.)
void reportFalseHit(const void* func, dim3, dim3, void** args) {
    for (const SieveKernelEntry& entry : sieveKernelTable)
        if (func == reinterpret_cast<const void*>(entry.function)) return;
    unsigned int* factors = *static_cast<unsigned int**>(args[0]);
    const uint32_t r = factors[0]++;
    factors[1 + 3 * r] = static_cast<uint32_t>(FALSE_HIT);
    factors[2 + 3 * r] = static_cast<uint32_t>(FALSE_HIT >> 32);
}

std::string rejectedRecord(uint64_t k, uint32_t n) {
    return "Rejected hit " + std::to_string(k) + "*2^" + std::to_string(n) +
           "+1: reported by the device, not a factor by the host check\n";
}

// Moves a minute and more at every look, so checkpoints fall due whenever
// the program may write one.
time_t hurriedNow;
time_t hurriedClock() { return hurriedNow += 61; }

// The records of a log without their time-stamp lines.
std::string withoutStamps(const std::string& log) {
    std::string kept;
    size_t start = 0;
    for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
        if (log.compare(start, 3, "!!!") == 0) kept += log.substr(start, end + 1 - start);
    return kept;
}

void replaceOnce(std::string& text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " in " << text;
    text.replace(at, from.size(), to);
}

}  // namespace

TEST(HostCheck, AgreesWithRepeatedSquaring) {
    for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i) {
        const KnownFactor& f = knownFactors[i];
        EXPECT_TRUE(HostConfirmsHit(f.k, f.n)) << f.k << "*2^" << f.n << "+1";
        for (uint64_t k : {f.k - 2, f.k + 2})
            EXPECT_EQ(HostConfirmsHit(k, f.n), gmpIsHit(k, f.n)) << k << "*2^" << f.n << "+1";
    }
    const uint64_t seed = kernelTestSeed();
    std::mt19937_64 rng(seed);
    for (const KernelEntry& e : kernelTable) {
        for (int i = 0; i < 8; ++i) {
            uint64_t k;
            uint32_t n;
            randomCandidate(rng, e.width, e.band, k, n);
            EXPECT_EQ(HostConfirmsHit(k, n), gmpIsHit(k, n)) << "k 0x" << std::hex << k << std::dec << " n " << n
                                                             << " seed " << seed;
        }
    }
    // The extremes of k and n, and the known non-factors next to factors.
    EXPECT_FALSE(HostConfirmsHit(~0ull, 607));
    EXPECT_FALSE(HostConfirmsHit(~0ull, 32));
    EXPECT_FALSE(HostConfirmsHit(4121, 54));
    EXPECT_FALSE(HostConfirmsHit(1423, 93));
    EXPECT_FALSE(HostConfirmsHit(7, 127));
    EXPECT_FALSE(HostConfirmsHit(0, 54));
}

namespace {

int hookCalls;
uint32_t hookSawN, hookSawCount;
void watchLaunch(const void* func, dim3 grid, dim3 block, void** args) {
    ++hookCalls;
    EXPECT_EQ(func, reinterpret_cast<const void*>(findKernel("quilbrex96bit_n32_63")->function));
    EXPECT_EQ(grid.x, 2u);
    EXPECT_EQ(block.x, 256u);
    hookSawCount = (*static_cast<unsigned int**>(args[0]))[0];
    hookSawN = *static_cast<unsigned int*>(args[2]);
}

}  // namespace

TEST(HostCheck, LaunchHookSeesEveryFinishedLaunchWithItsArguments) {
    hostRuntimeReset();
    hostRuntimeSetLaunchHook(watchLaunch);
    hookCalls = 0;
    std::vector<unsigned long long> table(512, 4121);
    table[300] = 4119;
    std::vector<unsigned int> factors(FACTOR_BUFFER_WORDS, 0);
    for (int launch = 1; launch <= 2; ++launch) {
        factors[0] = 0;
        uint32_t n = 54;
        launchKernel(findKernel("quilbrex96bit_n32_63"), 2, factors.data(), table.data(), n);
        n = 55;  // the launch took its arguments by value
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(hookCalls, launch);
        EXPECT_EQ(hookSawN, 54u);
        EXPECT_EQ(hookSawCount, 1u);  // the kernel had finished
    }
    hostRuntimeReset();
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(hookCalls, 2);
}

TEST(RejectedHits, FalseHitIsToldButNeitherAnnouncedNorRecorded) {
    ASSERT_FALSE(gmpIsHit(FALSE_HIT, 54));
    TempDir clean, faulty;
    writeFile(clean.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
    writeFile(faulty.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
    const ChildResult honest = runQuilbrex(clean.path(), {fixedClock, nullptr, hostOpCount, nullptr});
    const ChildResult r = runQuilbrex(faulty.path(), {fixedClock, nullptr, hostOpCount, reportFalseHit});
    ASSERT_EQ(honest.status, 6);
    EXPECT_EQ(r.status, 6);

    // Only the exponent's summary tells of it on standard output.
    std::string out = honest.out;
    replaceOnce(out, "at inf/sec\n", "at inf/sec, 1 hit(s) rejected by the host check\n");
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "\n" + rejectedRecord(FALSE_HIT, 54));
    EXPECT_EQ(readFile(faulty.file("factors.txt")), readFile(clean.file("factors.txt")));
    EXPECT_EQ(readFile(faulty.file("factors.txt")), stampOf(FIXED_TIME) + "!!! Found factor 4119*2^54+1 !!!\n");
    std::string results = readFile(clean.file("results.txt"));
    replaceOnce(results, stampOf(FIXED_TIME) + "n=54:", stampOf(FIXED_TIME) + rejectedRecord(FALSE_HIT, 54) + stampOf(FIXED_TIME) + "n=54:");
    replaceOnce(results, "at inf/sec\n", "at inf/sec, 1 hit(s) rejected by the host check\n");
    EXPECT_EQ(readFile(faulty.file("results.txt")), results);
    EXPECT_NE(results.find("Found 1 factor(s)"), std::string::npos);
}

// The loop whose host sieves and the device-sieve loop book hits alike.
using RejectedHitsOnBothSieves = BothSieves;
INSTANTIATE_TEST_SUITE_P(BothSieves, RejectedHitsOnBothSieves, testing::Values(false, true), sieveName);

TEST_P(RejectedHitsOnBothSieves, ThirdInALineStopsWithTheCheckpointBeforeItsBatch) {
    for (uint32_t n = 54; n <= 58; ++n) ASSERT_FALSE(gmpIsHit(FALSE_HIT, n)) << n;
    TempDir dir;
    const std::string line = "FermatFactor=54,58,4001,5001\n";
    writeFile(dir.file("worktodo.txt"), line);
    hurriedNow = FIXED_TIME;
    const ChildResult r = runQuilbrex(dir.path(), {hurriedClock, nullptr, hostOpCount, reportFalseHit});
    EXPECT_EQ(r.status, 255);
    // Exponents 54 and 55 had one each; the third came in the batch of 56,
    // which is searched again from its start on the next run.
    EXPECT_EQ(readFile(dir.file("quilbrex.cpt")),
              "nCurrent=56\nkCurrent=4001\nkTested =0\nseconds =0.00\nfactors =1\nline    =" + line);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), line);
    EXPECT_EQ(r.err, "\n" + rejectedRecord(FALSE_HIT, 54) + "\n" + rejectedRecord(FALSE_HIT, 55) + "\n" +
                         rejectedRecord(FALSE_HIT, 56) +
                         "\n3 hits of this line were rejected by the host check: the device computes wrongly. "
                         "Stopping; the checkpoint stays before this batch, so it is searched again on the next "
                         "start.\n");
    const std::string factors = readFile(dir.file("factors.txt"));
    EXPECT_NE(factors.find("!!! Found factor 4119*2^54+1 !!!\n"), std::string::npos);
    EXPECT_EQ(factors.find(std::to_string(FALSE_HIT)), std::string::npos);
    EXPECT_EQ(r.out.find(std::to_string(FALSE_HIT)), std::string::npos);
    const std::string results = readFile(dir.file("results.txt"));
    for (uint32_t n = 54; n <= 56; ++n) EXPECT_NE(results.find(rejectedRecord(FALSE_HIT, n)), std::string::npos) << n;
    EXPECT_EQ(std::count(results.begin(), results.end(), '\n'), 2 + 2 * 5);  // start, 3 rejected, 2 summaries
    for (uint32_t n = 54; n <= 55; ++n) {
        const size_t summary = results.find("n=" + std::to_string(n) + ": tested ");
        ASSERT_NE(summary, std::string::npos) << n;
        const std::string summaryLine = results.substr(summary, results.find('\n', summary) - summary);
        const std::string note = "/sec, 1 hit(s) rejected by the host check";
        EXPECT_EQ(summaryLine.substr(summaryLine.size() - note.size()), note) << summaryLine;
    }
    EXPECT_EQ(results.find("n=56: tested "), std::string::npos);
}

// Within an exponent of many batches the stop leaves the checkpoint at the
// first k of the batch that brought the third rejected hit.
TEST(RejectedHits, StopInsideAnExponentLeavesTheCheckpointAtItsBatch) {
    TempDir dir;
    const ChildResult r = runInChild(
        []() {
            hostRuntimeReset();
            StartDevice();
            hostRuntimeSetLaunchHook(reportFalseHit);
            hurriedNow = FIXED_TIME;
            monotonicNow = []() { return static_cast<double>(hurriedClock()); };  // a checkpoint after every batch
            nStart = nEnd = nCurrent = 54;
            kStart = kCurrent = 4001;
            kEnd = 5001;
            rangeK = 1001;
            primeCount = 4;
            BuildPrimeTable();
            kernel = findKernel("quilbrex96bit_n32_63");
            threadsPerGrid = 256;
            blocksPerGrid = 1;
            sieveRange = 50;  // 50 odd k per batch: 4001, 4101, 4201, ...
            StartCheckpointClock();
            StartSearchTime();
            Sieve(kCurrent, kEnd);
            return 0;
        },
        dir.path());
    EXPECT_EQ(r.status, 255);
    unsigned long long savedK = 0;
    unsigned savedFactors = 9;
    const std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
    ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=54\nkCurrent=%llu\nkTested =%*[0-9]\nseconds =%*[0-9.]\nfactors =%u\n",
                     &savedK, &savedFactors),
              2)
        << checkpoint;
    EXPECT_EQ(savedK, 4201u);  // the third batch
    EXPECT_EQ(savedFactors, 1u);  // 4119, in the first
    EXPECT_EQ(withoutStamps(readFile(dir.file("factors.txt"))), "!!! Found factor 4119*2^54+1 !!!\n");
}

namespace {

void reportManyFalseHits(const void* func, dim3 grid, dim3 block, void** args) {
    for (int i = 0; i < 1000; ++i) reportFalseHit(func, grid, block, args);
}

}  // namespace

// A batch full of false hits stops the run after one batch, telling only the
// first three of them.
TEST_P(RejectedHitsOnBothSieves, BatchFullOfFalseHitsIsToldThreeTimesAndStops) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
    const ChildResult r = runQuilbrex(dir.path(), {fixedClock, nullptr, hostOpCount, reportManyFalseHits});
    EXPECT_EQ(r.status, 255);
    const std::string told = "\n" + rejectedRecord(FALSE_HIT, 54);
    EXPECT_EQ(r.err, told + told + told +
                         "\n1000 hits of this line were rejected by the host check: the device computes wrongly. "
                         "Stopping; the checkpoint stays before this batch, so it is searched again on the next "
                         "start.\n");
    const std::string results = readFile(dir.file("results.txt"));
    EXPECT_EQ(results, stampOf(FIXED_TIME) + "Starting range: n=54-54 and k=4001-5001\n" + stampOf(FIXED_TIME) + rejectedRecord(FALSE_HIT, 54) +
                           stampOf(FIXED_TIME) + rejectedRecord(FALSE_HIT, 54) + stampOf(FIXED_TIME) + rejectedRecord(FALSE_HIT, 54));
    // The true factor of the batch was recorded before the stop.
    EXPECT_EQ(readFile(dir.file("factors.txt")), stampOf(FIXED_TIME) + "!!! Found factor 4119*2^54+1 !!!\n");
}

TEST(RejectedHits, CountStartsAfreshWithEachLine) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,55,4001,5001\nFermatFactor=56,57,4001,5001\n");
    const ChildResult r = runQuilbrex(dir.path(), {fixedClock, nullptr, hostOpCount, reportFalseHit});
    EXPECT_EQ(r.status, 6);  // two in each line: no stop
    for (uint32_t n = 54; n <= 57; ++n) EXPECT_NE(r.err.find(rejectedRecord(FALSE_HIT, n)), std::string::npos) << n;
    EXPECT_EQ(r.err.find("Stopping"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
}

namespace {

int checks;
bool countedCheck(uint64_t k, uint32_t n) {
    ++checks;
    return HostConfirmsHit(k, n);
}
bool noCheck(uint64_t, uint32_t) { return true; }

}  // namespace

// True hits pass the host check, and the run says exactly what it said
// before there was one.
TEST(RejectedHits, TrueHitsPassAndTheTextsStayByteForByte) {
    const std::string work = "FermatFactor=54,54,4001,5001\nFermatFactor=149,154,3125,5439\n";
    TempDir unchecked, checked;
    writeFile(unchecked.file("worktodo.txt"), work);
    writeFile(checked.file("worktodo.txt"), work);
    static bool (*check)(uint64_t, uint32_t);
    auto run = [](const std::string& dir) {
        return runInChild(
            []() {
                hostRuntimeReset();
                clockNow = fixedClock;
                monotonicNow = []() { return 1000.0; };
                confirmHit = check;
                checks = 0;
                const int status = quilbrexMain();
                fprintf(stderr, "%d", checks);
                return status;
            },
            dir);
    };
    check = noCheck;
    const ChildResult before = run(unchecked.path());
    check = countedCheck;
    const ChildResult after = run(checked.path());
    EXPECT_EQ(before.status, 6);
    EXPECT_EQ(after.status, 6);
    EXPECT_EQ(after.err, "3");  // 4119, 3125 and 5439 were each checked once
    EXPECT_EQ(after.out, before.out);
    for (const char* file : {"factors.txt", "results.txt", "worktodo.txt"})
        EXPECT_EQ(readFile(checked.file(file)), readFile(unchecked.file(file))) << file;
    EXPECT_NE(readFile(checked.file("factors.txt")).find("!!! Found factor 5439*2^154+1 !!!\n"), std::string::npos);
}

// The proof bits at the edges of each step, and the largest count there is.
// The checker (scripts/check-proofs) reads this table and must give the same t.
struct ProofBitsRow {
    uint64_t expectedTested;
    uint32_t t;
};
const ProofBitsRow proofBitsTable[] = {
    {0, 0},       {1, 0},       {1999, 0},       {3999, 0},        {4000, 1},
    {7999, 1},    {8000, 2},    {15999, 2},      {16000, 3},       {1023999, 8},
    {1024000, 9}, {2000000, 9}, {2048000, 10},   {34546775, 14},   {4096000000000, 30},
    {18446744073709551615ull, 53},
};

TEST(ProofBits, ThousandsOfProofsExpectedAtEveryCount) {
    for (const ProofBitsRow& row : proofBitsTable) {
        EXPECT_EQ(ProofBitsFor(row.expectedTested), row.t) << row.expectedTested;
        // 2000 to 4000 proof k expected once t is above 0, all tested k below 4000.
        const double proofs = static_cast<double>(row.expectedTested) / static_cast<double>(uint64_t{1} << row.t);
        if (row.t > 0) {
            EXPECT_TRUE(proofs >= 2000 && proofs < 4000) << row.expectedTested;
        }
    }
    // The example line's sieve (3, 5, 7, 11) leaves 480 of 1155 odd k on average.
    const uint32_t primes[] = {3, 5, 7, 11};
    EXPECT_DOUBLE_EQ(SurvivorShare(primes, 4), 480.0 / 1155.0);
    EXPECT_EQ(SurvivorShare(primes, 0), 1.0);
    // The example line's 501 odd k: 208.2 expected (207 survive), so t = 0.
    EXPECT_EQ(ExpectedTested(501, primes, 4), 208u);
    EXPECT_EQ(ExpectedTested(0, primes, 4), 0u);
}

// ExpectedTested over the program's own prime tables; the checker reads this
// table and must give the same counts, to the last unit, so that t agrees.
struct ExpectedTestedRow {
    uint64_t oddCount;
    uint32_t primeCount;
    uint64_t expected;
};
const ExpectedTestedRow expectedTestedTable[] = {
    {99999, 300000, 7356},
    {1000000000, 300000, 73564722},
    {123456789, 4000000, 7687591},
    {9223372036854788153ull, 3000000, 584246147256376832ull},
};

TEST(ProofBits, ExpectedTestedOverTheProgramsPrimeTables) {
    for (const ExpectedTestedRow& row : expectedTestedTable) {
        primeCount = row.primeCount;
        BuildPrimeTable();
        EXPECT_EQ(ExpectedTested(row.oddCount, primeTable, primeCount), row.expected) << row.oddCount;
        ReleasePrimeTable();
    }
}
