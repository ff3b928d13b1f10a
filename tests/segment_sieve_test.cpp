// The segment sieve: starting points of the sieving primes, segments and
// batches (no gap, no overlap, nothing past the last k, near 2^64 too),
// factor reports and the checkpoints written between batches, on the host's
// sieve (by the serial and the overlapped batch loop, which must leave exactly
// the same traces) and the device's; the device sieve's batches against the
// host's, bit for bit, and its kernels' barriers.
#include <gmp.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <sys/stat.h>

#include <csignal>
#include <functional>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include "gpu/host_runtime_control.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/device_sieve.h"
#include "kernels/sieve_kernels.h"
#include "kernels/sieve_kernel_bodies.h"
#include "sieve/factor_report.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_marking.h"
#include "sieve/segment_sieve.h"
#include "sieve/sieve_audit.h"
#include "support/test_support.h"
#include "verify/hit_check.h"
#include "verify/known_factors.h"
#include "workfiles/checkpoint.h"
#include "workfiles/proof_log.h"

namespace {

// A stand-in kernel that records every non-zero entry it is launched on, with
// the launch it came in, reports the k listed in fakeHits as factors and
// those in fakeProofs as proof k, makes the proof table's count overflow on a
// launch holding overflowAt and reports strayProof as a proof k besides on
// the one holding strayAt.
std::mutex recordLock;
std::vector<std::pair<int, uint64_t>> recorded;
std::set<uint64_t> fakeHits, fakeProofs;
uint64_t overflowAt, strayAt, strayProof;
// A stop signal arrives while this k is being tested (0: never).
uint64_t stopWhileTesting;

void recordingKernel(unsigned int* factors, unsigned long long* table, unsigned int, unsigned int* proofs,
                     unsigned int) {
    unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    uint64_t k = table[i];
    if (k == 0) return;
    if (k == stopWhileTesting) stopSignal = SIGTERM;
    {
        std::lock_guard<std::mutex> guard(recordLock);
        recorded.emplace_back(hostRuntimeLaunchesStarted(), k);
    }
    if (fakeHits.count(k)) {
        unsigned r = __atomic_fetch_add(&factors[0], 1u, __ATOMIC_RELAXED);
        factors[1 + 3 * r] = static_cast<unsigned>(k);
        factors[2 + 3 * r] = static_cast<unsigned>(k >> 32);
    }
    if (proofs && fakeProofs.count(k)) {
        unsigned r = __atomic_fetch_add(&proofs[0], 1u, __ATOMIC_RELAXED);
        proofs[1 + 2 * r] = static_cast<unsigned>(k);
        proofs[2 + 2 * r] = static_cast<unsigned>(k >> 32);
    }
    if (proofs && k == overflowAt) __atomic_fetch_add(&proofs[0], PROOF_RECORD_CAPACITY + 1, __ATOMIC_RELAXED);
    if (proofs && strayProof && k == strayAt) {
        unsigned r = __atomic_fetch_add(&proofs[0], 1u, __ATOMIC_RELAXED);
        proofs[1 + 2 * r] = static_cast<unsigned>(strayProof);
        proofs[2 + 2 * r] = static_cast<unsigned>(strayProof >> 32);
    }
}

void invokeRecording(const void* func, void** args) {
    reinterpret_cast<KernelFunction>(const_cast<void*>(func))(
        *static_cast<unsigned int**>(args[0]), *static_cast<unsigned long long**>(args[1]),
        *static_cast<unsigned int*>(args[2]), *static_cast<unsigned int**>(args[3]), *static_cast<unsigned int*>(args[4]));
}

const KernelEntry recordingEntry = {"recording", "recording", 3, 1, recordingKernel};

// Whether some prime of the table divides k*2^n+1, computed with GMP.
bool sievedOut(uint64_t k, uint32_t n) {
    mpz_t p;
    mpz_init(p);
    mpz_set_ui(p, static_cast<unsigned long>(k));
    mpz_mul_2exp(p, p, n);
    mpz_add_ui(p, p, 1);
    bool divisible = false;
    for (uint32_t i = 0; i < primeCount && !divisible; ++i) divisible = mpz_divisible_ui_p(p, primeTable[i]);
    mpz_clear(p);
    return divisible;
}

std::vector<uint64_t> expectedSurvivors(uint64_t first, uint64_t last, uint32_t n) {
    std::vector<uint64_t> kept;
    for (uint64_t k = first; k <= last; k += 2) {
        if (!sievedOut(k, n)) kept.push_back(k);
        if (last - k < 2) break;
    }
    return kept;
}

time_t fakeNow;
int fakeStep;
time_t fakeClock() {
    fakeNow += fakeStep;
    return fakeNow;
}
double fakeMonotonic() { return static_cast<double>(fakeClock()); }

// Every search test runs on the host's sieve by either batch loop, and on
// the device's (the sieve kernels through the stand-in): all must behave
// alike. The device's loop runs its sieve and its tests on two streams; it
// also runs with either stream slow (held back until something waits for
// it), so that a wait it lacks between them shows.
enum SearchPath { HOST_SERIAL, HOST_OVERLAPPED, DEVICE_SIEVE, DEVICE_SLOW_SIEVE, DEVICE_SLOW_TEST };
const char* const pathNames[] = {"HostSerial", "HostOverlapped", "Device", "DeviceSlowSieve", "DeviceSlowTest"};
std::string pathName(const testing::TestParamInfo<int>& info) { return pathNames[info.param]; }

class SieveTest : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        hostRuntimeReset();
        builtChoice = sieveOnDevice;
        sieveOnDevice = onDevice();
        hostRuntimeHoldStream(GetParam() == DEVICE_SLOW_SIEVE ? 1 : GetParam() == DEVICE_SLOW_TEST ? 2 : 0);
        overlapSieveAndTest = GetParam() == HOST_OVERLAPPED;
        static bool registered = false;
        if (!registered) {
            const size_t sizes[5] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int),
                                     sizeof(unsigned int*), sizeof(unsigned int)};
            hostRegisterFunction(reinterpret_cast<const void*>(recordingKernel), "recording", invokeRecording, 5,
                                 sizes);
            registered = true;
        }
        ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&h_candidateTable), 8 * MAX_BATCH, 0), cudaSuccess);
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&d_candidateTable), 8 * MAX_BATCH), cudaSuccess);
        ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&h_factors), FACTOR_BUFFER_BYTES, 0), cudaSuccess);
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&d_factors), FACTOR_BUFFER_BYTES), cudaSuccess);
        ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&h_proofs), PROOF_TABLE_BYTES, 0), cudaSuccess);
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&d_proofs), PROOF_TABLE_BYTES), cudaSuccess);
        memset(d_proofs, 0x5A, PROOF_TABLE_BYTES);
        // Device memory starts with leftovers, as a real device's would.
        memset(d_candidateTable, 0x5A, 8 * MAX_BATCH);
        memset(d_factors, 0, FACTOR_BUFFER_BYTES);
        primes = {3, 5, 7, 11};
        primeTable = primes.data();
        primeCount = 4;
        sieveRange = 50;
        threadsPerGrid = 256;
        blocksPerGrid = 1;
        kernel = &recordingEntry;
        nCurrent = 40;
        kStart = 3;
        kTested = 0;
        foundFactors = 0;
        seconds = 0;
        rangeK = 1000;
        recorded.clear();
        fakeHits.clear();
        fakeProofs.clear();
        overflowAt = strayAt = strayProof = 0;
        fakeNow = 1000000;
        fakeStep = 0;
        clockNow = fakeClock;
        savedMonotonic = monotonicNow;
        monotonicNow = fakeMonotonic;
        StartCheckpointClock();
        startTime = static_cast<double>(fakeNow);
        stopSignal = 0;
        stopWhileTesting = 0;
        // The stand-in kernel's hits are made up: these tests are about the
        // batches and the report path, not about the arithmetic.
        confirmHit = [](uint64_t, uint32_t) { return true; };
    }
    void TearDown() override {
        cudaFreeHost(h_candidateTable);
        cudaFree(d_candidateTable);
        cudaFreeHost(h_factors);
        cudaFree(d_factors);
        cudaFreeHost(h_proofs);
        cudaFree(d_proofs);
        h_proofs = nullptr;
        d_proofs = nullptr;
        primeTable = nullptr;
        clockNow = []() { return time(nullptr); };
        monotonicNow = savedMonotonic;
        stopSignal = 0;
        confirmHit = HostConfirmsHit;
        ReleaseDeviceSieve();
        sieveOnDevice = builtChoice;
        overlapSieveAndTest = false;
    }
    bool onDevice() const { return GetParam() >= DEVICE_SIEVE; }
    // The runtime call that waits for a batch in the loop under test.
    HostRuntimeOp batchWait() const {
        return GetParam() == HOST_SERIAL ? hostOpDeviceSynchronize : hostOpEventSynchronize;
    }
    std::vector<uint64_t> allRecorded() const {
        std::vector<uint64_t> ks;
        for (auto& entry : recorded) ks.push_back(entry.second);
        return ks;
    }
    std::vector<std::vector<uint64_t>> batches() const {
        std::vector<std::vector<uint64_t>> result;
        int launch = -1;
        std::vector<std::pair<int, uint64_t>> sorted = recorded;
        std::sort(sorted.begin(), sorted.end());
        for (auto& entry : sorted) {
            if (entry.first != launch) result.emplace_back(), launch = entry.first;
            result.back().push_back(entry.second);
        }
        return result;
    }
    std::vector<uint32_t> primes;
    double (*savedMonotonic)();
    bool builtChoice = false;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(SearchPaths, SieveTest, testing::Values(int(HOST_SERIAL), int(HOST_OVERLAPPED), int(DEVICE_SIEVE),
                                                         int(DEVICE_SLOW_SIEVE), int(DEVICE_SLOW_TEST)),
                         pathName);

TEST(SieveStart, KnownStartingPoints) {
    EXPECT_EQ(InverseTwoPower(11, 35), 10u);
    // q = 11, n = 35, a = 1001: first k 1013, then every 22nd.
    EXPECT_EQ(FirstSievedByte(11, 10, 1001), 6u);
    EXPECT_EQ(InverseTwoPower(3, 32), 1u);
    // q = 3, n = 32, a = 3: k = 5 is the first, 11 the next.
    EXPECT_EQ(FirstSievedByte(3, 1, 3), 1u);
}

TEST(SieveStart, AgreesWithGmpAnywhereInTheRange) {
    const unsigned seed = 20261207;
    std::mt19937_64 random(seed);
    // 2^(-n) mod q itself: every n of a search and around the multiples of
    // 64, odd q up to the largest a prime table can hold.
    mpz_t power;
    mpz_init(power);
    for (int trial = 0; trial < 20000; ++trial) {
        const uint32_t q = trial < 9 ? std::vector<uint32_t>{3, 5, 7, 11, 13, 547, 7927, 611957, 4294967291u}[trial]
                                     : (static_cast<uint32_t>(random()) >> (random() % 30)) | 1;
        if (q < 3) continue;
        const uint32_t n = trial % 4 == 0 ? 64 * (1 + random() % 9) + (uint32_t)(random() % 3) - 1 : random() % 640;
        const uint32_t e = InverseTwoPower(q, n);
        ASSERT_LT(e, q) << "q " << q << " n " << n;
        mpz_set_ui(power, e);
        mpz_mul_2exp(power, power, n);
        ASSERT_EQ(mpz_fdiv_ui(power, q), 1 % q) << "seed " << seed << " q " << q << " n " << n << " e " << e;
    }
    mpz_clear(power);
    const uint32_t qs[] = {3, 5, 7, 11, 13, 547, 7927, 611957, 15485867};
    mpz_t p;
    mpz_init(p);
    for (int trial = 0; trial < 3000; ++trial) {
        uint32_t q = qs[trial % 9];
        uint32_t n = 32 + random() % 576;
        uint64_t a = random() | 1;
        if (trial % 3 == 0) a = UINT64_MAX - 2 * (random() % 64);  // near the top of the range
        uint32_t e = InverseTwoPower(q, n);
        uint32_t j = FirstSievedByte(q, e, a);
        ASSERT_LT(j, q);
        // a + 2j may pass 2^64 here: compute it exactly.
        mpz_set_ui(p, static_cast<unsigned long>(a));
        mpz_add_ui(p, p, 2ul * j);
        mpz_mul_2exp(p, p, n);
        mpz_add_ui(p, p, 1);
        ASSERT_TRUE(mpz_divisible_ui_p(p, q)) << "seed " << seed << " q " << q << " n " << n << " a " << std::hex
                                              << a << " j " << std::dec << j;
    }
    mpz_clear(p);
}

TEST_P(SieveTest, BatchesJoinWithoutGapOrOverlap) {
    // Segments of 50 odd k hold more than 8 survivors: the table fills first,
    // the rest of the segment is sieved again as the next one.
    struct Case {
        uint64_t first, last;
        uint32_t threads, range;
    } cases[] = {{3, 1001, 8, 50}, {3, 1001, 256, 50}, {1001, 5001, 16, 97}, {7, 7, 8, 50}, {3, 100, 8, 50},
                 {4001, 5001, 256, 2523140}};
    for (const Case& c : cases) {
        recorded.clear();
        kTested = 0;
        threadsPerGrid = c.threads;
        sieveRange = c.range;
        Sieve(c.first, c.last);
        std::vector<uint64_t> expected = expectedSurvivors(c.first, c.last, nCurrent);
        std::vector<uint64_t> seen = allRecorded();
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, expected) << c.first << ".." << c.last;
        EXPECT_EQ(kTested, expected.size());
        uint64_t previous = 0;
        for (const std::vector<uint64_t>& batch : batches()) {
            EXPECT_LE(batch.size(), c.threads);
            std::vector<uint64_t> sorted = batch;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_GT(sorted.front(), previous);  // batches in order, no overlap
            EXPECT_LT(sorted.back() - sorted.front(), 2ull * c.range);  // within one segment
            previous = sorted.back();
        }
    }
}

TEST_P(SieveTest, EvenLastKAndEmptyRange) {
    Sieve(3, 100);
    std::vector<uint64_t> seen = allRecorded();
    EXPECT_EQ(*std::max_element(seen.begin(), seen.end()), expectedSurvivors(3, 99, 40).back());
    for (uint64_t k : seen) EXPECT_LE(k, 99u);

    // A first k above the last k: nothing is launched, but the device's
    // report buffer is still cleared.
    recorded.clear();
    kTested = 5;
    d_factors[0] = 7;
    int launchesBefore = hostRuntimeCallCount(hostOpLaunchKernel);
    Sieve(101, 99);
    EXPECT_EQ(hostRuntimeCallCount(hostOpLaunchKernel), launchesBefore);
    EXPECT_EQ(d_factors[0], 0u);
    EXPECT_EQ(kTested, 5u);
}

TEST_P(SieveTest, TopOfTheRangeEndsWithoutWrapping) {
    const uint64_t cases[][2] = {{18446744073709551557ull, 18446744073709551615ull},
                                 {18446744073709551615ull, 18446744073709551615ull},
                                 {18446744073709551001ull, 18446744073709551614ull}};
    nCurrent = 60;
    for (auto& c : cases) {
        for (uint32_t range : {7u, 50u, 2523140u}) {
            recorded.clear();
            kTested = 0;
            sieveRange = range;
            threadsPerGrid = 8;
            Sieve(c[0], c[1]);
            std::vector<uint64_t> seen = allRecorded();
            std::sort(seen.begin(), seen.end());
            EXPECT_EQ(seen, expectedSurvivors(c[0], c[1], 60)) << c[0] << " range " << range;
        }
    }
}

TEST_P(SieveTest, StaleEntriesAreNeverTestedAgain) {
    // A full batch, then a short one: the entries left behind by the first
    // must not be tested (or reported) again.
    threadsPerGrid = 16;
    sieveRange = 200;
    std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    fakeHits = {survivors[15], survivors.back()};
    testing::internal::CaptureStdout();
    TempDir dir;
    inDirectory(dir.path(), [&]() { Sieve(3, 1001); });
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<uint64_t> seen = allRecorded();
    EXPECT_EQ(seen.size(), survivors.size());
    EXPECT_EQ(foundFactors, 2u);
    std::string factors = readFile(dir.file("factors.txt"));
    EXPECT_EQ(std::count(out.begin(), out.end(), '!'), 12);  // two announcements, once each
    for (uint64_t k : fakeHits) {
        std::string line = "!!! Found factor " + std::to_string(k) + "*2^40+1 !!!\n";
        EXPECT_NE(factors.find(line), std::string::npos);
    }
}

TEST_P(SieveTest, LeftoversAreClearedWhateverTheBatchesBefore) {
    // Batches that shrink and grow from segment to segment, full ones among
    // them, and each search starting on a device table that other work
    // (another search, the self-test) left full of entries.
    struct Case {
        uint64_t first, last;
        uint32_t threads, range;
    } cases[] = {{3, 1001, 256, 50}, {3, 3001, 16, 37}, {1001, 5001, 64, 400}, {3, 3001, 256, 29}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + ".." + std::to_string(c.last));
        memset(d_candidateTable, 0x5A, 8 * MAX_BATCH);
        recorded.clear();
        threadsPerGrid = c.threads;
        sieveRange = c.range;
        Sieve(c.first, c.last);
        std::vector<uint64_t> seen = allRecorded();
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, expectedSurvivors(c.first, c.last, nCurrent));
    }
}

TEST_P(SieveTest, ManyHitsInOneBatchAreAllReported) {
    std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    for (size_t i = 0; i < 9; ++i) fakeHits.insert(survivors[i * 7]);
    TempDir dir;
    testing::internal::CaptureStdout();
    inDirectory(dir.path(), [&]() { Sieve(3, 1001); });
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(foundFactors, 9u);
    std::string factors = readFile(dir.file("factors.txt"));
    for (uint64_t k : fakeHits) {
        std::string line = "!!! Found factor " + std::to_string(k) + "*2^40+1 !!!\n";
        EXPECT_NE(out.find(line), std::string::npos) << k;
        EXPECT_NE(factors.find(line), std::string::npos) << k;
    }
    // The buffer is clear again on both sides.
    EXPECT_EQ(d_factors[0], 0u);
    EXPECT_EQ(h_factors[0], 0u);
}

TEST_P(SieveTest, FramedAnnouncement) {
    TempDir dir;
    fakeNow = 1700000000;
    testing::internal::CaptureStdout();
    inDirectory(dir.path(), [&]() { RecordFactor(3, 41); });
    std::string out = testing::internal::GetCapturedStdout();
    std::string frame = std::string(29, '*') + std::string(49, ' ');
    EXPECT_EQ(out, "\n" + frame + "\n!!! Found factor 3*2^41+1 !!!\n" + frame);
    time_t stamp = 1700000000;
    EXPECT_EQ(readFile(dir.file("factors.txt")), std::string(ctime(&stamp)) + "!!! Found factor 3*2^41+1 !!!\n");
}

TEST_P(SieveTest, FactorAlreadyInFactorsFileIsAnnouncedButNotAppendedAgain) {
    TempDir dir;
    fakeNow = 1700000000;
    const std::string earlier = "Sat Jan  1 00:00:00 2000\n!!! Found factor 3*2^41+1 !!!\n";
    writeFile(dir.file("factors.txt"), "Sat Jan  1 00:00:00 2000\n!!! Found factor 33*2^41+1 !!!\n" + earlier);
    testing::internal::CaptureStdout();
    inDirectory(dir.path(), [&]() {
        RecordFactor(3, 41);
        RecordFactor(3, 43);
    });
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n!!! Found factor 3*2^41+1 !!!\n"), std::string::npos);
    time_t stamp = fakeNow;
    EXPECT_EQ(readFile(dir.file("factors.txt")), "Sat Jan  1 00:00:00 2000\n!!! Found factor 33*2^41+1 !!!\n" +
                                                     earlier + ctime(&stamp) + "!!! Found factor 3*2^43+1 !!!\n");
}

// The factor is shown with the reason and the run stops before any
// checkpoint passes it, so the next start finds it again.
TEST_P(SieveTest, FactorThatCannotBeRecordedStopsTheRun) {
    std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    const uint64_t k = survivors[12];
    const std::string line = "!!! Found factor " + std::to_string(k) + "*2^40+1 !!!\n";
    struct Case {
        const char* what;
        std::function<void(const TempDir&)> prepare;
        const char* reason;
    } cases[] = {
        {"a folder in its place", [](const TempDir& d) { mkdir(d.file("factors.txt").c_str(), 0700); },
         "Is a directory"},
        {"a full disk", [](const TempDir& d) { symlink("/dev/full", d.file("factors.txt").c_str()); },
         "No space left on device"},
        {"a FIFO nobody reads", [](const TempDir& d) { mkfifo(d.file("factors.txt").c_str(), 0644); },
         "No such device or address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        c.prepare(dir);
        threadsPerGrid = 8;
        fakeStep = 100;  // every batch would be worth a checkpoint
        fakeHits = {k};
        ChildResult r = runInChild(
            [&]() {
                Sieve(3, 1001);
                return 0;
            },
            dir.path());
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("\n" + line), std::string::npos);
        EXPECT_EQ(r.err, "\n" + line + "Can't record this factor in factors.txt: " + c.reason +
                             ". Stopping; the assignment line and the checkpoint stay before it, so the next start "
                             "finds it again.\n");
        unsigned long long savedK = 0;
        std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
        ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\n", &savedK), 1) << checkpoint;
        EXPECT_LE(savedK, k);
    }
}

TEST_P(SieveTest, CheckpointsFollowTheClockAndFactors) {
    TempDir dir;
    threadsPerGrid = 8;
    sieveRange = 50;
    fakeStep = 100;  // every pass finds the interval run out
    std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    fakeHits = {survivors[20]};
    testing::internal::CaptureStdout();
    inDirectory(dir.path(), [&]() {
        startTime = static_cast<double>(fakeNow);
        Sieve(3, 1001);
    });
    std::string out = testing::internal::GetCapturedStdout();
    // Progress lines were printed, and the last checkpoint points inside the range.
    EXPECT_NE(out.find("\nn=40: k to "), std::string::npos);
    std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
    ASSERT_FALSE(checkpoint.empty());
    unsigned long long savedK = 0;
    ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\n", &savedK), 1) << checkpoint;
    EXPECT_LE(savedK, 1001u);
    EXPECT_EQ(savedK % 2, 1u);
    EXPECT_NE(checkpoint.find("factors =1\n"), std::string::npos);
}

TEST_P(SieveTest, CheckpointAfterFactorKeepsItFromBeingReportedTwice) {
    // A factor in the first of several batches: the checkpoint right after it
    // resumes behind it, although little time has passed.
    TempDir dir;
    threadsPerGrid = 8;
    std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    fakeHits = {survivors[2]};
    testing::internal::CaptureStdout();
    inDirectory(dir.path(), [&]() { Sieve(3, 1001); });
    testing::internal::GetCapturedStdout();
    std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
    unsigned long long savedK = 0;
    ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\n", &savedK), 1) << checkpoint;
    EXPECT_GT(savedK, survivors[2]);
    EXPECT_LE(savedK, survivors[8]);
    EXPECT_NE(checkpoint.find("factors =1\n"), std::string::npos);

    // Resuming from there tests exactly what the first run had not.
    std::vector<uint64_t> firstRun = allRecorded();
    recorded.clear();
    inDirectory(dir.path(), [&]() { Sieve(savedK, 1001); });
    std::vector<uint64_t> resumed = allRecorded();
    std::vector<uint64_t> expectedRest;
    for (uint64_t k : survivors)
        if (k >= savedK) expectedRest.push_back(k);
    std::sort(resumed.begin(), resumed.end());
    EXPECT_EQ(resumed, expectedRest);
}

TEST_P(SieveTest, FailedSynchronisationStopsTheRunWithTheBatchUncounted) {
    TempDir dir;
    threadsPerGrid = 8;
    fakeStep = 100;  // a checkpoint after every batch
    const HostRuntimeOp wait = batchWait();
    ChildResult r = runInChild(
        [wait]() {
            hostRuntimeFailCall(wait, 2, cudaErrorLaunchFailure);
            Sieve(3, 1001);
            return 0;
        },
        dir.path());
    EXPECT_EQ(r.status, 255);
    const std::string warning = "cudaThreadSynchronize failed!\n";
    ASSERT_GE(r.out.size(), warning.size());
    EXPECT_EQ(r.out.substr(r.out.size() - warning.size()), warning);
    EXPECT_NE(r.err.find(" : CUDA Runtime API error 719: unspecified launch failure.\n"), std::string::npos) << r.err;
    std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    if (onDevice()) {
        EXPECT_EQ(r.err.rfind("\nThe device failed on the batch at n=40, k=" + std::to_string(survivors[7] + 2) +
                                  " (50 odd k). Stopping; the checkpoint and the assignment line stay before this "
                                  "batch.\n",
                              0),
                  0u)
            << r.err;
    }
    // The checkpoint of the first batch is the last: the second counts for
    // nothing. (The device loop may not have booked the first yet, for its
    // audit: then there is none.)
    const std::string position = "nCurrent=40\nkCurrent=" + std::to_string(survivors[7] + 2) + "\nkTested =8\n";
    const std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
    if (!onDevice() || !checkpoint.empty()) {
        EXPECT_EQ(checkpoint.rfind(position, 0), 0u) << checkpoint;
    }
}

TEST_P(SieveTest, StopSignalEndsTheSearchAtABatchBoundary) {
    TempDir dir;
    threadsPerGrid = 8;
    std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    // Batches hold survivors 0-7, 8-15, 16-23, ...: the signal comes in the third.
    stopWhileTesting = survivors[20];
    nStart = nEnd = 40;
    kEnd = 1001;
    bool finished = true;
    inDirectory(dir.path(), [&]() { finished = Sieve(3, 1001); });
    EXPECT_FALSE(finished);
    // The third batch and those after it are not booked. The device loop has
    // batches queued when the signal comes and drops every one not yet
    // booked, which may include the second or the first.
    const uint64_t booked = kTested;
    if (onDevice()) {
        EXPECT_TRUE(booked == 0 || booked == 8 || booked == 16) << booked;
    } else {
        EXPECT_EQ(booked, 16u);
    }
    const uint64_t resumeAt = booked == 0 ? 3 : survivors[booked - 1] + 2;
    EXPECT_EQ(kCurrent, resumeAt);
    EXPECT_EQ(readFile(dir.file("quilbrex.cpt")),
              "nCurrent=40\nkCurrent=" + std::to_string(resumeAt) + "\nkTested =" + std::to_string(booked) +
                  "\nseconds =0.00\nfactors =0\nline    =FermatFactor=40,40,3,1001\n");

    // Resuming there tests the first batch not booked again and everything
    // after it.
    recorded.clear();
    stopSignal = 0;
    stopWhileTesting = 0;
    inDirectory(dir.path(), [&]() { finished = Sieve(kCurrent, 1001); });
    EXPECT_TRUE(finished);
    std::vector<uint64_t> resumed = allRecorded();
    std::sort(resumed.begin(), resumed.end());
    EXPECT_EQ(resumed, std::vector<uint64_t>(survivors.begin() + booked, survivors.end()));
    EXPECT_EQ(kTested, survivors.size());

    // A signal before the search began: nothing is launched.
    int launches = hostRuntimeCallCount(hostOpLaunchKernel);
    stopSignal = SIGINT;
    inDirectory(dir.path(), [&]() { finished = Sieve(201, 1001); });
    EXPECT_FALSE(finished);
    EXPECT_EQ(hostRuntimeCallCount(hostOpLaunchKernel), launches);
    EXPECT_EQ(kCurrent, 201u);
}

TEST_P(SieveTest, FailedReadBackIsFatal) {
    // The first read-back: the device loop's come by copies on its stream.
    const HostRuntimeOp readBack = onDevice() ? hostOpMemcpyAsync : hostOpMemcpy;
    ChildResult r = runInChild([readBack]() {
        hostRuntimeFailCall(readBack, 2, cudaErrorLaunchFailure);
        Sieve(3, 1001);
        return 0;
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find(" : CUDA Runtime API error 719: unspecified launch failure.\n"), std::string::npos) << r.err;
}

namespace {

// Counts the wall-clock readings of a search and kills it at the chosen one:
// every booking step (factor record, checkpoint) takes one or more.
int ticksLeft;
time_t killingClock() {
    if (--ticksLeft == 0) raise(SIGKILL);
    return fakeClock();
}
double killingMonotonic() { return static_cast<double>(killingClock()); }

}  // namespace

// A search killed at every step of its booking in turn, then resumed from
// what it left on disk: every survivor is tested and booked once in all, and
// the factors in the range's first, a middle and its last batch are each
// recorded once.
TEST_P(SieveTest, KilledAtEveryBookingStepResumesWithNothingLostOrDoubled) {
    threadsPerGrid = 8;
    fakeStep = 100;  // a checkpoint after every batch
    nStart = nEnd = 40;
    kEnd = 1001;
    const std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    fakeHits = {survivors[1], survivors[survivors.size() / 2], survivors.back()};
    std::string expectedFactors;
    for (uint64_t k : fakeHits) expectedFactors += "!!! Found factor " + std::to_string(k) + "*2^40+1 !!!\n";
    int step = 1;
    for (;; ++step) {
        SCOPED_TRACE("killed at reading " + std::to_string(step));
        TempDir dir;
        const ChildResult r = runInChild(
            [&]() {
                ticksLeft = step;
                kTested = 0;
                foundFactors = 0;
                clockNow = killingClock;
                monotonicNow = killingMonotonic;
                Sieve(3, 1001);
                return 0;
            },
            dir.path());
        unsigned long long resumeK = 3, tested = 0, factors = 0;
        const std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
        if (!checkpoint.empty()) {
            ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\nkTested =%llu\nseconds =%*f\nfactors =%llu\n",
                             &resumeK, &tested, &factors),
                      3)
                << checkpoint;
        }
        if (r.exited) {
            // The search ran to its end before this reading.
            EXPECT_EQ(r.status, 0);
            std::string recordedFactors;
            std::istringstream lines(readFile(dir.file("factors.txt")));
            for (std::string line; std::getline(lines, line);)
                if (line.rfind("!!!", 0) == 0) recordedFactors += line + "\n";
            EXPECT_EQ(std::count(recordedFactors.begin(), recordedFactors.end(), '\n'), 3);
            for (uint64_t k : fakeHits)
                EXPECT_NE(recordedFactors.find("!!! Found factor " + std::to_string(k) + "*2^40+1 !!!\n"),
                          std::string::npos);
            break;
        }
        ASSERT_EQ(r.signal, SIGKILL);
        const uint64_t before = std::count_if(survivors.begin(), survivors.end(), [&](uint64_t k) { return k < resumeK; });
        EXPECT_EQ(tested, before);

        recorded.clear();
        kTested = tested;
        foundFactors = static_cast<uint32_t>(factors);
        inDirectory(dir.path(), [&]() { EXPECT_TRUE(Sieve(resumeK, 1001)); });
        std::vector<uint64_t> resumed = allRecorded();
        std::sort(resumed.begin(), resumed.end());
        EXPECT_EQ(resumed, std::vector<uint64_t>(survivors.begin() + before, survivors.end()));
        EXPECT_EQ(kTested, survivors.size());
        EXPECT_EQ(foundFactors, 3u);
        std::string recordedFactors;
        std::istringstream lines(readFile(dir.file("factors.txt")));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("!!!", 0) == 0) recordedFactors += line + "\n";
        EXPECT_EQ(std::count(recordedFactors.begin(), recordedFactors.end(), '\n'), 3) << recordedFactors;
        for (uint64_t k : fakeHits)
            EXPECT_NE(recordedFactors.find("!!! Found factor " + std::to_string(k) + "*2^40+1 !!!\n"), std::string::npos);
    }
    EXPECT_GT(step, 26);  // a reading or more at every one of the batches
}

namespace {

// The batches of a search as the host sieve makes them.
struct PlannedBatch {
    uint64_t a;
    uint32_t length, count, examined, survivors;
};
std::vector<PlannedBatch> planBatches(uint64_t first, uint64_t last, uint32_t n, uint32_t limit, uint32_t range) {
    std::vector<PlannedBatch> plan;
    uint64_t a = first, left = (last - first) / 2 + 1;
    while (left > 0) {
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(left, range));
        const std::vector<uint64_t> kept = expectedSurvivors(a, a + 2ull * (length - 1), n);
        const uint32_t survivors = static_cast<uint32_t>(kept.size());
        const uint32_t examined = survivors > limit ? static_cast<uint32_t>((kept[limit - 1] - a) / 2 + 1) : length;
        plan.push_back({a, length, std::min(survivors, limit), examined, survivors});
        left -= examined;
        a += 2ull * examined;
    }
    return plan;
}

// Changes what the device wrote for batch plantIn of a search, as a faulty
// device would: its report, or its candidate table.
int gathersSeen, plantIn;
// The row of a kernel in the sieve's list.
int sieveSlot(const char* name) {
    for (int slot = 0; slot < SIEVE_KERNEL_COUNT; ++slot)
        if (strcmp(sieveKernelTable[slot].name, name) == 0) return slot;
    return -1;
}
void (*plant)(const DeviceSieveArgs&);
void plantingHook(const void* func, dim3, dim3, void** args) {
    if (func != reinterpret_cast<const void*>(sieveKernelTable[sieveSlot("quilbrexSieveGather")].function)) return;
    if (gathersSeen++ == plantIn) plant(*static_cast<DeviceSieveArgs*>(args[0]));
}

// Over the kernels' watched words as over plain ones.
template <class Words>
uint64_t word64(const Words& w, int low) { return w[low] | static_cast<uint64_t>(w[low + 1]) << 32; }
template <class Words>
void setWord64(Words&& w, int low, uint64_t value) {
    w[low] = static_cast<uint32_t>(value);
    w[low + 1] = static_cast<uint32_t>(value >> 32);
}

}  // namespace

// What only the device loop does: check the device's reports, its launches
// and its batches against the host's.
class DeviceLoopTest : public SieveTest {};
INSTANTIATE_TEST_SUITE_P(DeviceLoop, DeviceLoopTest,
                         testing::Values(int(DEVICE_SIEVE), int(DEVICE_SLOW_SIEVE), int(DEVICE_SLOW_TEST)), pathName);

// Proof k in the first batches, a middle one and the last, several in one,
// on every batch loop: proofs.txt gets each once, ascending, and the closing
// record. A proof table that overflowed, or a k the batch does not hold
// (even, or twice), stops the run before any checkpoint passes the batch,
// with every proof k before that checkpoint on disk.
TEST_P(SieveTest, ProofKOfEveryBatchReachTheProofFile) {
    const std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    for (size_t i : {size_t(0), size_t(1), size_t(2), size_t(17), survivors.size() / 2, survivors.size() - 1})
        fakeProofs.insert(survivors[i]);
    threadsPerGrid = 8;
    fakeStep = 100;  // a checkpoint after every batch
    TempDir dir;
    testing::internal::CaptureStdout();
    inDirectory(dir.path(), [&]() {
        BeginProofBlock(40, 7, 3, false);
        Sieve(3, 1001);
        EndProofBlock(kTested, primeCount);
    });
    testing::internal::GetCapturedStdout();
    std::string expected;
    for (uint64_t k : fakeProofs) expected += "n=40 t=7 k=" + std::to_string(k) + "\n";
    expected += "n=40 t=7 tested=" + std::to_string(survivors.size()) + " proofs=6 primes=4 r=2^-(2^(n-1))\n";
    EXPECT_EQ(readFile(dir.file("proofs.txt")), expected);
    EXPECT_EQ(kTested, survivors.size());

    const std::vector<PlannedBatch> plan = planBatches(3, 1001, 40, 8, 50);
    const PlannedBatch& b = plan[2];
    const uint64_t planted = expectedSurvivors(b.a, b.a + 2ull * (b.examined - 1), 40)[3];
    uint32_t inBatch = 1;  // planted, and the proof k above that the batch holds
    for (uint64_t k : fakeProofs) inBatch += k >= b.a && k < b.a + 2ull * b.examined && k != planted;
    const std::string batch = "the batch at n=40, k=" + std::to_string(b.a);
    const std::string after = " Stopping; the checkpoint and the assignment line stay before this batch.\n";
    const struct {
        const char* what;
        uint64_t overflow, stray;  // planted at the launch that tests `planted`
        std::string message;
    } faults[] = {
        {"a table that overflowed", planted, 0,
         "\nThe device's proof table of " + batch + " is full: " + std::to_string(PROOF_RECORD_CAPACITY + 1 + inBatch) +
             " proof k for room of " + std::to_string(PROOF_RECORD_CAPACITY) + "." + after},
        {"an even k", 0, planted + 1,
         "\nThe device reported proof k=" + std::to_string(planted + 1) + ", which " + batch + " (" +
             std::to_string(b.examined) + " odd k) does not hold." + after},
        {"a k twice", 0, planted,
         "\nThe device reported proof k=" + std::to_string(planted) + " twice for " + batch + " (" +
             std::to_string(b.examined) + " odd k)." + after},
    };
    for (const auto& c : faults) {
        SCOPED_TRACE(c.what);
        TempDir faulty;
        const ChildResult r = runInChild(
            [&]() {
                fakeProofs.insert(planted);
                overflowAt = c.overflow;
                strayProof = c.stray;
                strayAt = planted;
                BeginProofBlock(40, 7, 3, false);
                Sieve(3, 1001);
                return 0;
            },
            faulty.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.message);
        unsigned long long savedK = 3;
        const std::string checkpoint = readFile(faulty.file("quilbrex.cpt"));
        if (!checkpoint.empty()) { ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\n", &savedK), 1); }
        EXPECT_LE(savedK, b.a);
        // What the checkpoint passed is on disk, nothing of the faulty batch.
        std::string onDisk;
        for (uint64_t k : fakeProofs)
            if (k < savedK) onDisk += "n=40 t=7 k=" + std::to_string(k) + "\n";
        EXPECT_EQ(readFile(faulty.file("proofs.txt")), onDisk);
    }
}

// Every kind of report that does not add up stops the run with status 255
// and a message naming the batch, the checkpoint and the line before it.
TEST_P(DeviceLoopTest, DeviceReportThatDoesNotAddUpStopsTheRun) {
    threadsPerGrid = 8;
    fakeStep = 100;
    const std::vector<PlannedBatch> plan = planBatches(3, 1001, 40, 8, 50);
    ASSERT_EQ(plan[1].count, 8u);
    ASSERT_GT(plan[1].survivors, 8u);  // a batch that fills
    const struct {
        const char* what;
        void (*plant)(const DeviceSieveArgs&);
    } cases[] = {
        {"one candidate more than gathered", [](const DeviceSieveArgs& s) { s.control[SIEVE_COUNT] += 1; }},
        {"one candidate fewer", [](const DeviceSieveArgs& s) { s.control[SIEVE_COUNT] -= 1; }},
        {"a full batch that claims its whole segment",
         [](const DeviceSieveArgs& s) {
             s.control[SIEVE_EXAMINED] = s.control[SIEVE_LENGTH];
             setWord64(s.control, SIEVE_NEXT_K_LO, word64(s.control, SIEVE_A_LO) + 2ull * s.control[SIEVE_LENGTH]);
         }},
        {"more examined than the segment holds",
         [](const DeviceSieveArgs& s) {
             s.control[SIEVE_EXAMINED] = s.control[SIEVE_LENGTH] + 1;
             setWord64(s.control, SIEVE_NEXT_K_LO, word64(s.control, SIEVE_A_LO) + 2ull * (s.control[SIEVE_LENGTH] + 1));
         }},
        {"survivors just filling the table, some left",
         [](const DeviceSieveArgs& s) { s.control[SIEVE_SURVIVORS] = s.control[SIEVE_COUNT]; }},
        {"fewer survivors than candidates", [](const DeviceSieveArgs& s) { s.control[SIEVE_SURVIVORS] = 7; }},
        {"the next k one odd k on",
         [](const DeviceSieveArgs& s) { setWord64(s.control, SIEVE_NEXT_K_LO, word64(s.control, SIEVE_NEXT_K_LO) + 2); }},
        {"another first k", [](const DeviceSieveArgs& s) { s.control[SIEVE_A_LO] += 2; }},
        {"another length", [](const DeviceSieveArgs& s) { s.control[SIEVE_LENGTH] -= 1; }},
        {"no report at all", [](const DeviceSieveArgs& s) { memset(s.control.get(), 0, 4 * SIEVE_CONTROL_WORDS); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const ChildResult r = runInChild(
            [&]() {
                gathersSeen = 0;
                plantIn = 1;
                plant = c.plant;
                hostRuntimeSetLaunchHook(plantingHook);
                Sieve(3, 1001);
                return 0;
            },
            dir.path());
        EXPECT_EQ(r.status, 255);
        // The words as planted, from the batch's true report.
        const PlannedBatch& b = plan[1];
        uint32_t w[SIEVE_CONTROL_WORDS] = {};
        w[SIEVE_COUNT] = b.count;
        w[SIEVE_EXAMINED] = b.examined;
        w[SIEVE_SURVIVORS] = b.survivors;
        w[SIEVE_LENGTH] = b.length;
        setWord64(w, SIEVE_A_LO, b.a);
        setWord64(w, SIEVE_NEXT_K_LO, b.a + 2ull * b.examined);
        DeviceSieveArgs args{};
        args.control = w;
        c.plant(args);
        char expected[600];
        snprintf(expected, sizeof expected,
                 "\nThe device's report of the batch at n=40, k=%llu (%u odd k) does not add up: it took %u odd k "
                 "from k=%llu, examined %u, gathered %u of %u survivors and gave the next k as %llu. Stopping; the "
                 "checkpoint and the assignment line stay before this batch.\n",
                 static_cast<unsigned long long>(b.a), b.length, w[SIEVE_LENGTH],
                 static_cast<unsigned long long>(word64(w, SIEVE_A_LO)), w[SIEVE_EXAMINED], w[SIEVE_COUNT],
                 w[SIEVE_SURVIVORS], static_cast<unsigned long long>(word64(w, SIEVE_NEXT_K_LO)));
        EXPECT_EQ(r.err, expected);
        // Nothing of the batch or after it was booked.
        unsigned long long savedK = 3;
        const std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
        if (!checkpoint.empty()) {
            ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\n", &savedK), 1);
        }
        EXPECT_LE(savedK, b.a);
    }
}

// The sieve, the test and the copies back run on three streams, ordered by
// waits: with the sieve's or the test's stream slow, a loop that lacked them
// would test tables before the sieve had filled them or after the next sieve
// had, and copy reports (here a hit's) not yet written.
TEST_P(DeviceLoopTest, SlowStreamShowsAMissingWait) {
    if (GetParam() == DEVICE_SIEVE) GTEST_SKIP() << "the streams keep pace";
    threadsPerGrid = 8;
    const std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    fakeHits = {survivors[survivors.size() / 2]};
    for (bool dropped : {false, true}) {
        SCOPED_TRACE(dropped ? "waits dropped" : "waits kept");
        const ChildResult r = runInChild([&]() {
            hostRuntimeDropStreamWaits(dropped);
            Sieve(3, 1001);
            std::vector<uint64_t> seen = allRecorded();
            std::sort(seen.begin(), seen.end());
            return seen == survivors && kTested == survivors.size() && foundFactors == 1 ? 0 : 1;
        });
        if (dropped)
            EXPECT_NE(r.status, 0) << r.err;
        else
            EXPECT_EQ(r.status, 0) << r.err;
    }
}

// A launch the device refuses, the first of the exponent's or a batch's.
TEST_P(DeviceLoopTest, RefusedLaunchStopsTheRun) {
    for (int nth : {1, 2, 7}) {  // the exponent's inverses, the range's starts, the first batch's test
        SCOPED_TRACE(nth);
        TempDir dir;
        const ChildResult r = runInChild(
            [nth]() {
                hostRuntimeFailCall(hostOpLaunchKernel, nth, cudaErrorLaunchOutOfResources);
                Sieve(3, 1001);
                return 0;
            },
            dir.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err,
                  "\nThe device refused a launch of the batches from n=40, k=3: CUDA error 701: too many resources "
                  "requested for launch. Stopping; the checkpoint and the assignment line stay before them.\n");
        EXPECT_EQ(readFile(dir.file("quilbrex.cpt")), "");
    }
}

// A kernel that faults as it runs on the queue's stream, in the first batch
// or a later one, while batches after it are queued: the run stops with
// status 255, naming that batch or one before it, with the checkpoint at a
// batch boundary no later than its start; a start from there tests exactly
// the survivors from that boundary on.
TEST_P(DeviceLoopTest, KernelFaultOnTheQueueStopsTheRunBeforeItsBatch) {
    threadsPerGrid = 8;
    fakeStep = 100;  // a checkpoint after every booked batch
    const std::vector<PlannedBatch> plan = planBatches(3, 1001, 40, 8, 50);
    const std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    ASSERT_GT(plan.size(), 8u);
    // Each batch launches five kernels: the sieve's four (Large, Small,
    // Gather, Next) on the first stream, the test on the second.
    const struct {
        const char* what;
        int batch, kernel;
    } cases[] = {
        {"the first batch's Large kernel", 0, 0}, {"the third batch's Small kernel", 2, 1},
        {"the fourth batch's Gather kernel", 3, 2}, {"the fifth batch's Next kernel", 4, 3},
        {"the seventh batch's test", 6, 4},       {"the first batch's test", 0, 4},
    };
    const std::regex failed("^\nThe device failed on the batch at n=40, k=(\\d+) \\((\\d+) odd k\\)\\. Stopping; the "
                            "checkpoint and the assignment line stay before this batch\\.\n.*\\(\\d+\\) : CUDA Runtime "
                            "API error 719: unspecified launch failure\\.\n$");
    const std::regex refused("^\nThe device refused a launch of the batches from n=40, k=(\\d+): CUDA error 719: "
                             "unspecified launch failure\\. Stopping; the checkpoint and the assignment line stay "
                             "before them\\.\n$");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        kTested = 0;
        const ChildResult r = runInChild(
            [&]() {
                if (c.kernel == 4)
                    hostRuntimeFaultOnStream(2, c.batch + 1, cudaErrorLaunchFailure);
                else
                    hostRuntimeFaultOnStream(1, 4 * c.batch + c.kernel + 1, cudaErrorLaunchFailure);
                Sieve(3, 1001);
                return 0;
            },
            dir.path());
        EXPECT_EQ(r.status, 255);
        std::smatch m;
        const bool waited = std::regex_match(r.err, m, failed);
        ASSERT_TRUE(waited || std::regex_match(r.err, m, refused)) << r.err;
        if (waited) {
            EXPECT_NE(r.out.find("cudaThreadSynchronize failed!\n"), std::string::npos) << r.out;
        }
        // The batch named is the faulted one or one before it.
        const uint64_t named = std::stoull(m[1]);
        int batch = 0;
        while (batch < c.batch && plan[batch].a != named) ++batch;
        EXPECT_EQ(plan[batch].a, named);
        if (waited) {
            EXPECT_EQ(std::to_string(plan[batch].length), m[2].str());
        }
        // The checkpoint: the boundary of the batches booked, none from the
        // faulted one on.
        unsigned long long savedK = 3, tested = 0;
        const std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
        if (!checkpoint.empty()) {
            ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\nkTested =%llu\n", &savedK, &tested), 2)
                << checkpoint;
        }
        int booked = 0;
        uint64_t counted = 0;
        while (booked < batch && plan[booked].a != savedK) counted += plan[booked++].count;
        EXPECT_EQ(plan[booked].a, savedK);
        EXPECT_EQ(tested, counted);

        hostRuntimeReset();
        recorded.clear();
        kTested = 0;
        bool finished = false;
        inDirectory(dir.path(), [&]() { finished = Sieve(savedK, 1001); });
        EXPECT_TRUE(finished);
        std::vector<uint64_t> resumed = allRecorded();
        std::sort(resumed.begin(), resumed.end());
        EXPECT_EQ(resumed, std::vector<uint64_t>(survivors.begin() + counted, survivors.end()));
    }
}

// A batch whose table differs from the host's in one entry, or whose report
// moves on one odd k too far while adding up: the audit stops the run. The
// first batch of a search is always audited; the others here because every
// batch is.
TEST_P(DeviceLoopTest, AuditMismatchStopsTheRun) {
    threadsPerGrid = 8;
    const std::vector<PlannedBatch> plan = planBatches(3, 1001, 40, 8, 50);
    const std::vector<uint64_t> survivors = expectedSurvivors(3, 1001, 40);
    const struct {
        const char* what;
        int batch;
        bool everyBatch;
        void (*plant)(const DeviceSieveArgs&);
        std::string difference;
    } cases[] = {
        {"a wrong entry in the first batch", 0, false, [](const DeviceSieveArgs& s) { s.candidates[3] += 2; },
         "entry 3 is " + std::to_string(survivors[3] + 2) + " on the device, " + std::to_string(survivors[3]) +
             " on the host"},
        {"a wrong entry in a later batch", 5, true, [](const DeviceSieveArgs& s) { s.candidates[7] = 1; },
         "entry 7 is 1 on the device, " + std::to_string(survivors[5 * 8 + 7]) + " on the host"},
        {"a zero entry left where a candidate belongs", 2, true, [](const DeviceSieveArgs& s) { s.candidates[0] = 0; },
         "entry 0 is 0 on the device, " + std::to_string(survivors[2 * 8]) + " on the host"},
        {"a leftover past the count", 3, true, [](const DeviceSieveArgs& s) { s.candidates[8] = 5; },
         "entry 8 is 5 on the device, 0 on the host"},
        {"one odd k more examined, the report adding up", 1, true,
         [](const DeviceSieveArgs& s) {
             s.control[SIEVE_EXAMINED] += 1;
             setWord64(s.control, SIEVE_NEXT_K_LO, word64(s.control, SIEVE_NEXT_K_LO) + 2);
         },
         "the device gathered 8 candidates over " + std::to_string(plan[1].examined + 1) + " odd k, the host 8 over " +
             std::to_string(plan[1].examined)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_LT(plan[c.batch].examined + 1, plan[c.batch].length);
        TempDir dir;
        const ChildResult r = runInChild(
            [&]() {
                gathersSeen = 0;
                plantIn = c.batch;
                plant = c.plant;
                auditEveryBatch = c.everyBatch;
                blocksPerGrid = 1;  // 256 entries: those past the count are audited too
                hostRuntimeSetLaunchHook(plantingHook);
                Sieve(3, 1001);
                return 0;
            },
            dir.path());
        EXPECT_EQ(r.status, 255);
        const PlannedBatch& b = plan[c.batch];
        EXPECT_EQ(r.err, "\nThe host's audit of the device sieve's batch at n=40, k=" + std::to_string(b.a) + " (" +
                             std::to_string(b.length) + " odd k) disagrees: " + c.difference +
                             ". Stopping; the checkpoint and the assignment line stay before this batch.\n");
        unsigned long long savedK = 3;
        const std::string checkpoint = readFile(dir.file("quilbrex.cpt"));
        if (!checkpoint.empty()) {
            ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=40\nkCurrent=%llu\n", &savedK), 1);
        }
        EXPECT_LE(savedK, b.a);
    }
}

// --- the device sieve against the host sieve ----------------------------------

namespace {

// Variants of the sieve kernels with one barrier left out, built only here.
#define BROKEN_SIEVE_KERNEL(NAME, BODY, DROPPED) \
    void NAME(DeviceSieveArgs args) { BODY<DROPPED>(args); }
BROKEN_SIEVE_KERNEL(smallWithoutBarrier1, sieveSmall, 1)
BROKEN_SIEVE_KERNEL(smallWithoutBarrier2, sieveSmall, 2)
BROKEN_SIEVE_KERNEL(smallWithoutBarrier3, sieveSmall, 3)
BROKEN_SIEVE_KERNEL(gatherWithoutBarrier1, sieveGather, 1)
BROKEN_SIEVE_KERNEL(gatherWithoutBarrier2, sieveGather, 2)
BROKEN_SIEVE_KERNEL(gatherWithoutBarrier3, sieveGather, 3)
BROKEN_SIEVE_KERNEL(gatherWithoutBarrier4, sieveGather, 4)
BROKEN_SIEVE_KERNEL(gatherWithoutBarrier5, sieveGather, 5)
BROKEN_SIEVE_KERNEL(gatherWithoutBarrier6, sieveGather, 6)
#undef BROKEN_SIEVE_KERNEL
// The small primes' marks as plain |= instead of atomic ORs.
void smallWithPlainMarks(DeviceSieveArgs args) { sieveSmall<0, true>(args); }

void invokeBroken(const void* func, void** args) {
    reinterpret_cast<SieveKernelFunction>(const_cast<void*>(func))(*static_cast<DeviceSieveArgs*>(args[0]));
}

struct SieveOutcome {
    uint32_t count = 0, examined = 0;
    std::vector<uint64_t> table;  // every entry the test kernel would read
    bool operator==(const SieveOutcome& o) const {
        return count == o.count && examined == o.examined && table == o.table;
    }
};

std::string describe(const SieveOutcome& o) {
    std::string text = "count " + std::to_string(o.count) + " examined " + std::to_string(o.examined);
    for (size_t i = 0; i < o.table.size() && i < 6; ++i) text += " " + std::to_string(o.table[i]);
    return text;
}

class DeviceSieveTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // One deep table; every case takes a prefix of it.
        primeCount = 4000000;
        BuildPrimeTable();
        deepTable.assign(primeTable, primeTable + primeCount);
        ReleasePrimeTable();
    }
    void SetUp() override {
        hostRuntimeReset();
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&d_candidateTable), 8 * MAX_BATCH), cudaSuccess);
    }
    void TearDown() override {
        cudaFree(d_candidateTable);
        d_candidateTable = nullptr;
        ReleaseDeviceSieve();
        primeTable = nullptr;
    }
    static void usePrimes(uint32_t count) {
        primeTable = deepTable.data();
        primeCount = count;
    }
    static void useLimit(uint32_t limit) {
        threadsPerGrid = limit;
        blocksPerGrid = (limit + 255) / 256;
    }
    static SieveOutcome onHost(uint64_t a, uint32_t length, uint32_t n) {
        std::vector<uint8_t> segment(length);
        std::vector<uint32_t> inverses(primeCount);
        for (uint32_t i = 0; i < primeCount; ++i) inverses[i] = InverseTwoPower(primeTable[i], n);
        sieveSegment(segment.data(), length, a, primeTable, inverses.data(), primeCount);
        SieveOutcome o;
        std::vector<unsigned long long> table(blocksPerGrid * 256 + 1, 0);
        o.count = CollectSurvivors(segment.data(), length, a, table.data(), threadsPerGrid, o.examined);
        std::fill(table.begin() + o.count, table.end(), 0);
        o.table.assign(table.begin(), table.end() - 1);
        return o;
    }
    static SieveOutcome onDevice(uint64_t a, uint32_t length, uint32_t n) {
        PrepareDeviceSieve(n);
        return nextOnDevice(a, length);
    }
    // A batch after those before it in the same exponent.
    // synchronised: where the wait's result goes (nullptr: it must succeed).
    static SieveOutcome nextOnDevice(uint64_t a, uint32_t length, cudaError_t* synchronised = nullptr) {
        memset(d_candidateTable, 0x5A, 8 * MAX_BATCH);  // leftovers of earlier work
        LaunchDeviceSieveBatch(a, length);
        const cudaError_t waited = cudaDeviceSynchronize();
        if (synchronised)
            *synchronised = waited;
        else
            EXPECT_EQ(waited, cudaSuccess) << hostRuntimeLastRace();
        SieveOutcome o;
        ReadDeviceSieveControl(o.count, o.examined);
        o.table.assign(d_candidateTable, d_candidateTable + blocksPerGrid * 256);
        return o;
    }
    static std::vector<uint32_t> deepTable;
};
std::vector<uint32_t> DeviceSieveTest::deepTable;

}  // namespace

TEST_F(DeviceSieveTest, SurvivorsEqualTheHostSieveBitForBit) {
    const unsigned seed = 7151;
    std::mt19937_64 random(seed);
    const uint32_t depths[] = {4, 100, 5000, 20000, 200000, 1000000};
    struct Case {
        const char* what;
        uint64_t a;
        uint32_t length, n, primes, limit;
    };
    std::vector<Case> cases;
    // Random segments at every width, at every depth, with batches that hold
    // the whole segment and ones that fill part way.
    for (uint32_t width = 3; width <= 20; ++width) {
        for (int repeat = 0; repeat < 2; ++repeat) {
            const uint32_t band = width == 20 ? 18 : width - 2 + (repeat == 1 && width >= 4 ? -1 : 0);
            // The wider member of a band needs n past its first exponent.
            const uint32_t wider = width == band + 3 ? 1 : 0;
            const uint32_t n = 32 * band + wider + static_cast<uint32_t>(random() % (32 - wider));
            const int lowBits = std::max(1, static_cast<int>(32 * (width - 1)) - static_cast<int>(n) + 1);
            const int highBits = std::min(64, static_cast<int>(32 * width - n));
            const int bits = lowBits + static_cast<int>(random() % (highBits - lowBits + 1));
            uint64_t a = (bits == 1 ? 1 : (1ull << (bits - 1)) | (random() & ((1ull << (bits - 1)) - 1))) | 1;
            const uint32_t length = 1 + static_cast<uint32_t>(random() % 300000);
            if (a > UINT64_MAX - 2ull * length) a = UINT64_MAX - 2ull * (length - 1);
            const uint32_t limit = repeat == 0 ? MAX_BATCH : 256 * (1 + random() % 8);
            cases.push_back({"random", a, length, n, depths[(width + repeat) % 6], limit});
        }
    }
    // Segments that end at k = 2^64-1, short final segments and slice edges.
    for (uint32_t length : {1u, 31u, 32u, 33u, 1000u, SIEVE_SLICE_BITS - 1, SIEVE_SLICE_BITS, SIEVE_SLICE_BITS + 1,
                            2 * SIEVE_SLICE_BITS + 1})
        cases.push_back({"ends at 2^64-1", UINT64_MAX - 2ull * (length - 1), length, 60, 20000, MAX_BATCH});
    cases.push_back({"ends at 2^64-1, filling", UINT64_MAX - 2ull * 99999, 100000, 607, 200000, 512});
    for (uint32_t length : {1u, 2u, 7u, 64u, SIEVE_SLICE_BITS + 64})
        cases.push_back({"short", 4001, length, 54, 1000000, MAX_BATCH});
    // Prime counts at the edges of the Small kernel's dealing: the masks end
    // at 31 (10 primes), the primes shared by a warp's lanes at 2039 (308),
    // whose starts go in runs of 256 (266), and the primes one per lane in
    // runs of 256 from there up to 65521 (6541).
    for (uint32_t primes : {9u, 10u, 11u, 265u, 266u, 267u, 307u, 308u, 309u, 563u, 564u, 565u, 6541u, 6542u})
        cases.push_back({"dealing edge", 987654321987ull, 3 * SIEVE_SLICE_BITS - 5, 100, primes, MAX_BATCH});
    // The split between the Large and the Far kernels (from the first prime
    // at least a segment long, on a boundary of four): a prime exactly at
    // the segment's length on the boundary and off it (then the Large kernel
    // takes up to three such primes), one just below it, and the Far
    // kernel's last group cut short by the table's end.
    for (uint32_t at : {30000u, 30001u, 30002u, 30003u}) {
        cases.push_back({"a prime at the segment's length", 1234567891ull, deepTable[at], 200, 50003, MAX_BATCH});
        cases.push_back({"a prime just below the segment's length", 1234567891ull, deepTable[at] + 1, 200, 50003,
                         MAX_BATCH});
    }
    for (uint32_t primes : {50001u, 50002u, 50003u})
        cases.push_back({"the Far kernel's last group", 98765432101ull, 200001, 333, primes, MAX_BATCH});
    // p = k*2^n+1 itself one of the sieving primes: only for n below 32,
    // which no kernel serves; both sieves cross such a k out alike.
    for (uint32_t n : {1u, 2u, 3u, 4u, 10u})
        cases.push_back({"p is a sieving prime", 1, 5000, n, 5000, MAX_BATCH});

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " seed " + std::to_string(seed) + " a " + std::to_string(c.a) +
                     " length " + std::to_string(c.length) + " n " + std::to_string(c.n) + " primes " +
                     std::to_string(c.primes) + " limit " + std::to_string(c.limit));
        usePrimes(c.primes);
        useLimit(c.limit);
        const SieveOutcome host = onHost(c.a, c.length, c.n);
        const SieveOutcome device = onDevice(c.a, c.length, c.n);
        ASSERT_TRUE(device == host) << "device " << describe(device) << "\nhost   " << describe(host);
        if (std::string(c.what) == "p is a sieving prime") {
            // k = 1, n = 1 gives p = 3; k = 3, n = 2 gives 13.
            const uint64_t crossed = c.n == 1 ? 1 : c.n == 2 ? 3 : 0;
            if (crossed) {
                EXPECT_EQ(std::count(host.table.begin(), host.table.end(), crossed), 0);
            }
        }
    }
}

// The Gather kernel alone, on one slice of planted survivors (zero bits):
// runs of ranks that start inside a word, cross empty words, stretches of
// them longer than a thread's own words and almost the whole slice, and end
// at the batch limit; every survivor written once, in order, and the report
// as the host's. No sieve leaves gaps this long at the depths in use.
TEST_F(DeviceSieveTest, GatherWritesEverySurvivorAcrossAnyGap) {
    std::vector<uint32_t> dense;  // 300 survivors: the first 299 bits, and the last bit of the slice
    for (uint32_t b = 0; b < 299; ++b) dense.push_back(b);
    dense.push_back(SIEVE_SLICE_BITS - 1);
    std::vector<uint32_t> spread;  // one survivor every 33 words and a dense head, 2 and 3 per run
    for (uint32_t b = 0; b < 600; ++b) spread.push_back(b);
    for (uint32_t w = 40; w < SIEVE_SLICE_WORDS; w += 33) spread.push_back(32 * w + w % 32);
    std::vector<uint32_t> all(SIEVE_SLICE_BITS);
    for (uint32_t b = 0; b < SIEVE_SLICE_BITS; ++b) all[b] = b;
    std::vector<uint32_t> onePerWord;  // every step to the next listed word is to the word after
    for (uint32_t w = 0; w < SIEVE_SLICE_WORDS; ++w) onePerWord.push_back(32 * w + (7 * w) % 32);
    std::vector<uint32_t> lastThread;  // only the last thread's words are listed: every run starts there
    for (uint32_t b = 32 * (SIEVE_SLICE_WORDS - SIEVE_WORDS_PER_THREAD); b < SIEVE_SLICE_BITS; b += 3)
        lastThread.push_back(b);
    const struct {
        const char* what;
        std::vector<uint32_t> survivors;
        uint32_t limit;
    } cases[] = {
        {"none", {}, 256},
        {"one in the last word", {SIEVE_SLICE_BITS - 1}, 256},
        {"a run across the slice's empty words", dense, 512},
        {"runs across empty stretches at every offset", spread, 1024},
        {"the limit inside a run", spread, 613},
        {"the limit at the last survivor", dense, 300},
        {"every bit", all, MAX_BATCH},
        {"one in every word", onePerWord, MAX_BATCH},
        {"one in every word, the limit inside", onePerWord, 1001},
        {"only in the last thread's words", lastThread, MAX_BATCH},
        {"the first and the last bit", {0, SIEVE_SLICE_BITS - 1}, 256},
    };
    uint32_t* bits = nullptr;
    uint32_t* counts = nullptr;
    uint32_t* control = nullptr;
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&bits), 4 * SIEVE_SLICE_WORDS), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&counts), 4), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&control), 4 * SIEVE_CONTROL_WORDS), cudaSuccess);
    const uint64_t a = 1000000001;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        useLimit(c.limit);
        std::fill(bits, bits + SIEVE_SLICE_WORDS, 0xFFFFFFFFu);
        for (uint32_t b : c.survivors) bits[b / 32] &= ~(1u << (b % 32));
        counts[0] = static_cast<uint32_t>(c.survivors.size());
        std::fill(control, control + SIEVE_CONTROL_WORDS, 0u);
        std::fill(d_candidateTable, d_candidateTable + blocksPerGrid * 256, 0x5A5A5A5Aull);
        DeviceSieveArgs s{};
        s.bits = bits;
        s.sliceCounts = counts;
        s.control = control;
        s.candidates = d_candidateTable;
        s.a = a;
        s.length = SIEVE_SLICE_BITS;
        s.slices = 1;
        s.limit = c.limit;
        s.gridEntries = blocksPerGrid * 256;
        void* args[] = {&s};
        const void* gather = reinterpret_cast<const void*>(sieveKernelTable[sieveSlot("quilbrexSieveGather")].function);
        ASSERT_EQ(cudaLaunchKernel(gather, dim3(1), dim3(256), args, 0, 0), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(c.survivors.size()), c.limit);
        std::vector<unsigned long long> expected(blocksPerGrid * 256, 0);
        for (uint32_t i = 0; i < count; ++i) expected[i] = a + 2ull * c.survivors[i];
        EXPECT_EQ(std::vector<unsigned long long>(d_candidateTable, d_candidateTable + blocksPerGrid * 256), expected);
        const uint32_t examined = c.survivors.size() > c.limit ? c.survivors[c.limit - 1] + 1 : SIEVE_SLICE_BITS;
        EXPECT_EQ(control[SIEVE_COUNT], count);
        EXPECT_EQ(control[SIEVE_SURVIVORS], c.survivors.size());
        EXPECT_EQ(control[SIEVE_EXAMINED], examined);
        EXPECT_EQ(word64(control, SIEVE_NEXT_K_LO), a + 2ull * examined);
        // The words left zero for the next batch.
        EXPECT_EQ(static_cast<uint32_t>(std::count(bits, bits + SIEVE_SLICE_WORDS, 0u)), SIEVE_SLICE_WORDS);
    }
    cudaFree(bits);
    cudaFree(counts);
    cudaFree(control);
}

// Batches after the first of an exponent move each prime's start on from
// the last batch's instead of computing it afresh: each equals the host's
// batch at its own a, whether it follows on where the last one stopped
// (full or not), skips ahead, or lies too far ahead or behind to move on to.
TEST_F(DeviceSieveTest, FollowingBatchesEqualTheHostSieve) {
    const struct {
        uint32_t primes, limit, n, length;
        uint64_t a;
    } cases[] = {
        {200000, 512, 100, 300000, 1000001},
        {200000, MAX_BATCH, 607, 70001, 3},
        {5000, 256, 54, 131072, (1ull << 40) + 1},
        {1000000, 2048, 300, 200000, UINT64_MAX - 2ull * 1999999},
        {50003, 4096, 200, deepTable[30001], 1234567891},
    };
    for (const auto& c : cases) {
        usePrimes(c.primes);
        useLimit(c.limit);
        PrepareDeviceSieve(c.n);
        uint64_t a = c.a;
        for (int batch = 0; batch < 13; ++batch) {
            // Batches 0-4 follow on; then 2^32-1 odd k ahead (the farthest a
            // start moves on), 2^32 and 2^33 ahead and back to the first (all
            // three start afresh), 12345 odd k ahead and 1234567 (moved on;
            // the Far kernel's primes below that divide). Batch 10 is twice
            // as long (the primes the Far kernel leaves to the Large kernel
            // start afresh) and batch 12 half as long (moved on, the Large
            // kernel keeping primes longer than a segment).
            if (batch == 5) a += 2 * 0xFFFFFFFFull;
            if (batch == 6) a += 2 * 0x100000000ull;
            if (batch == 7) a += 1ull << 34;
            if (batch == 8) a = c.a;
            if (batch == 9) a += 2 * 12345;
            if (batch == 11) a += 2 * 1234567;
            const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(
                batch == 10 ? 2 * c.length : batch == 12 ? c.length / 2 : c.length, (UINT64_MAX - a) / 2 + 1));
            SCOPED_TRACE("primes " + std::to_string(c.primes) + " limit " + std::to_string(c.limit) + " n " +
                         std::to_string(c.n) + " batch " + std::to_string(batch) + " a " + std::to_string(a));
            if (a < c.a) break;  // wrapped past 2^64-1
            const SieveOutcome device = nextOnDevice(a, length);
            const SieveOutcome host = onHost(a, length, c.n);
            ASSERT_TRUE(device == host) << "device " << describe(device) << "\nhost   " << describe(host);
            a += 2ull * host.examined;
        }
    }
}

TEST_F(DeviceSieveTest, KnownFactorsAreNeverSievedOut) {
    useLimit(MAX_BATCH);
    for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i) {
        const KnownFactor& f = knownFactors[i];
        if (f.k % 2 == 0) continue;  // the sieve only looks at odd k
        uint32_t bits = 0;
        for (uint64_t rest = f.k; rest != 0; rest >>= 1) ++bits;
        const uint32_t width = (f.n + bits + 31) / 32;
        SCOPED_TRACE(std::to_string(f.k) + "*2^" + std::to_string(f.n) + "+1");
        usePrimes(DeviceSievePrimeCount(width));
        const uint64_t a = f.k > 2001 ? f.k - 2000 : 1;
        const SieveOutcome device = onDevice(a, 4000, f.n);
        EXPECT_NE(std::find(device.table.begin(), device.table.begin() + device.count, f.k),
                  device.table.begin() + device.count);
    }
}

// The Small kernel takes a slice's first bit mod each prime of its lanes,
// and the Large kernel the odd k since the last batch mod each prime of 65536
// or more, from a float quotient that is at most one off either way: exact
// from any such quotient, and the device's quotient (relative error up to
// 2^-22) is never further off, for every q of the Small kernel's lanes at the
// slices where it is largest and at the smallest, and for primes from 65536
// up at the largest moves.
TEST(SliceRemainder, ExactFromAQuotientOneOffEitherWay) {
    const uint32_t last = UINT32_MAX / SIEVE_SLICE_BITS * SIEVE_SLICE_BITS;  // the last slice's first bit
    const struct {
        uint32_t first, q;
    } cases[] = {{0, 2053},
                 {SIEVE_SLICE_BITS, 2053},
                 {last, 2053},
                 {257 * SIEVE_SLICE_BITS, 2063},
                 {last - SIEVE_SLICE_BITS, 32749},
                 {last, 65521},
                 {SIEVE_SLICE_BITS, 65521},
                 {UINT32_MAX, 65537},
                 {16880000, 65537},
                 {16880000, 16879999},
                 {UINT32_MAX, 67867967},
                 {UINT32_MAX, (1u << 30) - 35}};
    for (const auto& c : cases) {
        SCOPED_TRACE("first " + std::to_string(c.first) + " q " + std::to_string(c.q));
        const uint32_t exact = c.first / c.q;
        for (int off : {-1, 0, 1})
            if (exact != 0 || off >= 0) { EXPECT_EQ(remainderNear(c.first, exact + off, c.q), c.first % c.q) << off; }
        if (c.first % SIEVE_SLICE_BITS == 0 && c.q >= SIEVE_SHARED_PRIMES_BELOW && c.q < SIEVE_SMALL_PRIMES_BELOW) {
            EXPECT_EQ(sliceRemainder(c.first, static_cast<float>(c.first), c.q), c.first % c.q);
        }
    }
    const auto atMostOneOff = [](uint32_t first, uint32_t q) {
        for (double error : {-1.0, 1.0}) {
            const double quotient = static_cast<double>(first) / q * (1 + error * std::ldexp(1.0, -22));
            const int64_t off = static_cast<int64_t>(quotient) - static_cast<int64_t>(first / q);
            if (std::llabs(off) > 1) return false;
        }
        return true;
    };
    const uint32_t lastSlice = last / SIEVE_SLICE_BITS;
    for (uint32_t q = SIEVE_SHARED_PRIMES_BELOW + 1; q < SIEVE_SMALL_PRIMES_BELOW; q += 2)
        for (uint32_t slice : {1u, lastSlice - 2, lastSlice - 1, lastSlice})
            ASSERT_TRUE(atMostOneOff(slice * SIEVE_SLICE_BITS, q)) << "q " << q << " slice " << slice;
    for (uint32_t q = 65537; q < 70000000; q += 2 + 2 * (q / 1000))
        for (uint32_t advance : {q, UINT32_MAX - 1, UINT32_MAX})
            ASSERT_TRUE(atMostOneOff(advance, q)) << "q " << q << " advance " << advance;
}

namespace {

// Small kernels for the race watch, each touching the first words of its argument.
enum WatchPattern {
    WRITES_IN_TWO_BLOCKS, ATOMICS_IN_TWO_BLOCKS, WRITE_IN_ONE_BLOCK_READ_IN_ANOTHER, READS_EVERYWHERE,
    WRITE_BARRIER_READ, WRITE_READ_NO_BARRIER, SHARED_ATOMICS_THEN_READ, SHARED_ATOMICS_BARRIER_READ
};
struct WatchArgs {
    DevicePointer<uint32_t> word;
    int pattern;
};
void watchKernel(WatchArgs w) {
    __shared__ SharedArray<uint32_t, 1> sum;
    const uint32_t b = blockIdx.x, t = threadIdx.x;
    const int p = w.pattern;
    if (p == WRITES_IN_TWO_BLOCKS && t == 0) w.word[0] = b;
    if (p == ATOMICS_IN_TWO_BLOCKS) atomicAdd(&w.word[0], 1u);
    if (p == WRITE_IN_ONE_BLOCK_READ_IN_ANOTHER && t == 0 && b == 0) w.word[0] = 1;
    if ((p == WRITE_IN_ONE_BLOCK_READ_IN_ANOTHER && t == 0 && b == 1) || p == READS_EVERYWHERE)
        (void)static_cast<uint32_t>(w.word[0]);
    if (p == WRITE_BARRIER_READ || p == WRITE_READ_NO_BARRIER) {
        if (t == 0) w.word[b] = 7;
        if (p == WRITE_BARRIER_READ) __syncthreads();
        if (t == 1) (void)static_cast<uint32_t>(w.word[b]);
    }
    if (p == SHARED_ATOMICS_THEN_READ || p == SHARED_ATOMICS_BARRIER_READ) {
        if (t == 0) sum[0] = 0;
        __syncthreads();
        atomicAdd(&sum[0], 1u);
        if (p == SHARED_ATOMICS_BARRIER_READ) __syncthreads();
        if (t == 0) w.word[b] = sum[0];
    }
}
void invokeWatchKernel(const void*, void** args) { watchKernel(*static_cast<WatchArgs*>(args[0])); }

}  // namespace

// The race watch itself: what races and what does not, in device memory
// across blocks and within a block at barriers, and in shared memory; a
// launch after a race does not run until the wait has reported it.
TEST_F(DeviceSieveTest, RaceWatchTellsRacesFromOrderedAccesses) {
    static bool registered = false;
    if (!registered) {
        const size_t sizes[1] = {sizeof(WatchArgs)};
        hostRegisterBlockFunction(reinterpret_cast<const void*>(watchKernel), "watched", invokeWatchKernel, 1, sizes);
        registered = true;
    }
    const struct {
        WatchPattern pattern;
        const char* word;  // the race's word ("global word 0x" or "shared word 0"), nullptr: no race
        const char *one, *other;  // the two threads it names, in either order
    } cases[] = {
        {WRITES_IN_TWO_BLOCKS, "global word 0x", "block 0 thread 0", "block 1 thread 0"},
        {ATOMICS_IN_TWO_BLOCKS, nullptr, "", ""},
        {WRITE_IN_ONE_BLOCK_READ_IN_ANOTHER, "global word 0x", "block 0 thread 0", "block 1 thread 0"},
        {READS_EVERYWHERE, nullptr, "", ""},
        {WRITE_BARRIER_READ, nullptr, "", ""},
        {WRITE_READ_NO_BARRIER, "global word 0x", "block 0 thread 0", "block 0 thread 1"},
        {SHARED_ATOMICS_THEN_READ, "shared word 0", "thread 0 ", "an atomic by"},
        {SHARED_ATOMICS_BARRIER_READ, nullptr, "", ""},
    };
    uint32_t* words;
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&words), 64), cudaSuccess);
    const void* kernel = reinterpret_cast<const void*>(watchKernel);
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.pattern));
        WatchArgs w{words, c.pattern};
        void* args[] = {&w};
        const unsigned blocks = c.pattern == WRITE_BARRIER_READ || c.pattern == WRITE_READ_NO_BARRIER ? 1 : 2;
        testing::internal::CaptureStderr();
        ASSERT_EQ(cudaLaunchKernel(kernel, dim3(blocks), dim3(32), args, 0, 0), cudaSuccess);
        EXPECT_EQ(cudaLaunchKernel(kernel, dim3(1), dim3(32), args, 0, 0), c.word ? cudaErrorLaunchFailure : cudaSuccess);
        EXPECT_EQ(cudaDeviceSynchronize(), c.word ? cudaErrorLaunchFailure : cudaSuccess);
        const std::string printed = testing::internal::GetCapturedStderr();
        const std::string race = hostRuntimeLastRace();
        if (!c.word) {
            EXPECT_EQ(race, "");
        } else {
            EXPECT_EQ(race.rfind(std::string("race in watched: ") + c.word, 0), 0u) << race;
            EXPECT_NE(race.find(c.one), std::string::npos) << race;
            EXPECT_NE(race.find(c.other), std::string::npos) << race;
            EXPECT_EQ(printed, race + "\n");
        }
        hostRuntimeReset();
    }
    cudaFree(words);
}

// Every kernel above ran with the stand-in watching for races and found none.
// A barrier left out, or a mark made with a plain |=, is a race that fails
// the launch naming the kernel, the word and two threads, whatever the order
// of the threads.
// The stand-in's shared arrays are thread-local, and every thread of the
// process gets their static part: a thread that a library starts with a
// small stack (the BOINC API's timer thread, 32 KB) must still start in a
// process that holds every sieve kernel and the tests' variants of them.
TEST(SharedMemoryStandIn, AThreadWithASmallStackStarts) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 32768), 0);
    pthread_t thread;
    const int created = pthread_create(&thread, &attributes, [](void*) -> void* { return nullptr; }, nullptr);
    EXPECT_EQ(created, 0) << strerror(created);
    if (created == 0) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

TEST_F(DeviceSieveTest, AMissingBarrierOrAPlainMarkIsCaught) {
    struct Variant {
        const char* what;
        int slot;  // the kernel's row in sieveKernelTable
        SieveKernelFunction function;
        const char* race;  // the start of the race's text
    } variants[] = {
        {"small primes, no barrier after loading the slice", sieveSlot("quilbrexSieveSmall"), smallWithoutBarrier1,
         "race in small primes, no barrier after loading the slice: shared word "},
        {"small primes, no barrier before counting", sieveSlot("quilbrexSieveSmall"), smallWithoutBarrier2,
         "race in small primes, no barrier before counting: shared word "},
        {"small primes, no barrier before storing the count", sieveSlot("quilbrexSieveSmall"), smallWithoutBarrier3,
         "race in small primes, no barrier before storing the count: shared word 0, an atomic by block "},
        {"small primes, plain marks", sieveSlot("quilbrexSieveSmall"), smallWithPlainMarks,
         "race in small primes, plain marks: shared word "},
        {"gather, no barrier after clearing the sums", sieveSlot("quilbrexSieveGather"), gatherWithoutBarrier1,
         "race in gather, no barrier after clearing the sums: shared word "},
        {"gather, no barrier before the prefix sum", sieveSlot("quilbrexSieveGather"), gatherWithoutBarrier2,
         "race in gather, no barrier before the prefix sum: shared word "},
        {"gather, no barrier within the prefix sum", sieveSlot("quilbrexSieveGather"), gatherWithoutBarrier3,
         "race in gather, no barrier within the prefix sum: shared word "},
        {"gather, no barrier after the prefix sum", sieveSlot("quilbrexSieveGather"), gatherWithoutBarrier4,
         "race in gather, no barrier after the prefix sum: shared word "},
        {"gather, no barrier before clearing the words", sieveSlot("quilbrexSieveGather"), gatherWithoutBarrier5,
         "race in gather, no barrier before clearing the words: global word 0x"},
        {"gather, no barrier after listing the words", sieveSlot("quilbrexSieveGather"), gatherWithoutBarrier6,
         "race in gather, no barrier after listing the words: shared word "},
    };
    static bool registered = false;
    if (!registered) {
        const size_t sizes[1] = {sizeof(DeviceSieveArgs)};
        for (const Variant& v : variants)
            hostRegisterBlockFunction(reinterpret_cast<const void*>(v.function), v.what, invokeBroken, 1, sizes);
        registered = true;
    }
    usePrimes(2000);
    useLimit(MAX_BATCH);
    const uint64_t a = 1000001;
    const uint32_t length = 5 * SIEVE_SLICE_BITS - 77, n = 100;
    const SieveOutcome host = onHost(a, length, n);
    const std::regex twoThreads(", (a plain write|a plain access|an atomic) by block \\d+ thread \\d+ and "
                                "(a read|a plain write|an atomic) by block \\d+ thread \\d+ in one barrier interval$");
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        const SieveKernelFunction intact = sieveKernelTable[v.slot].function;
        for (unsigned long long seed : {1ull, 2ull, 3ull}) {
            hostRuntimeSetScheduleSeed(seed);
            ASSERT_TRUE(onDevice(a, length, n) == host) << "intact kernels, seed " << seed;
            hostRuntimeSetScheduleSeed(seed);
            sieveKernelTable[v.slot].function = v.function;
            PrepareDeviceSieve(n);
            cudaError_t waited;
            testing::internal::CaptureStderr();
            nextOnDevice(a, length, &waited);
            const std::string printed = testing::internal::GetCapturedStderr();
            sieveKernelTable[v.slot].function = intact;
            EXPECT_EQ(waited, cudaErrorLaunchFailure) << "seed " << seed;
            const std::string race = hostRuntimeLastRace();
            EXPECT_EQ(race.rfind(v.race, 0), 0u) << race;
            EXPECT_TRUE(std::regex_search(race, twoThreads)) << race;
            EXPECT_EQ(printed, race + "\n");
        }
    }
}

namespace {

// Everything a search leaves behind: the batches as launched, the counts, the
// position, what it printed and the files it wrote.
struct SearchTrace {
    std::vector<std::vector<uint64_t>> batches;
    uint64_t tested = 0, position = 0;
    uint32_t factors = 0;
    bool finished = false;
    std::string out, checkpoint, factorFile;
};

class BatchLoopComparison : public SieveTest {
protected:
    struct Case {
        const char* what;
        uint64_t first, last;
        uint32_t n, threads, range;
        std::vector<size_t> hits;  // indices of survivors reported as factors (a past-the-end index: the last)
        size_t stopAt;             // a stop signal while this survivor is tested (SIZE_MAX: none)
        int clockStep;             // 100: a checkpoint after every batch
    };

    SearchTrace search(const Case& c, bool overlapped) {
        overlapSieveAndTest = overlapped;
        recorded.clear();
        fakeHits.clear();
        fakeProofs.clear();
        overflowAt = strayAt = strayProof = 0;
        const std::vector<uint64_t> survivors = expectedSurvivors(c.first, c.last, c.n);
        for (size_t i : c.hits) fakeHits.insert(survivors[std::min(i, survivors.size() - 1)]);
        stopWhileTesting = c.stopAt == SIZE_MAX ? 0 : survivors[std::min(c.stopAt, survivors.size() - 1)];
        stopSignal = 0;
        nCurrent = c.n;
        nStart = nEnd = c.n;
        kStart = c.first;
        kEnd = c.last;
        threadsPerGrid = c.threads;
        blocksPerGrid = (c.threads + 255) / 256;
        sieveRange = c.range;
        kTested = 0;
        foundFactors = 0;
        kCurrent = 0;
        seconds = 0;
        fakeNow = 1000000;
        fakeStep = c.clockStep;
        StartCheckpointClock();
        memset(d_candidateTable, 0x5A, 8 * MAX_BATCH);
        SearchTrace trace;
        TempDir dir;
        testing::internal::CaptureStdout();
        inDirectory(dir.path(), [&]() {
            startTime = static_cast<double>(fakeNow);
            trace.finished = Sieve(c.first, c.last);
        });
        trace.out = testing::internal::GetCapturedStdout();
        trace.batches = batches();
        trace.tested = kTested;
        trace.factors = foundFactors;
        trace.position = kCurrent;
        trace.checkpoint = readFile(dir.file("quilbrex.cpt"));
        trace.factorFile = readFile(dir.file("factors.txt"));
        return trace;
    }
};

TEST_P(BatchLoopComparison, SameBatchesCountsFactorsAndCheckpoints) {
    const uint64_t top = 18446744073709551615ull;
    const size_t none = SIZE_MAX, last = SIZE_MAX - 1;
    const Case cases[] = {
        {"factors in the first and the last batch", 3, 1001, 40, 8, 50, {0, last}, none, 0},
        {"a checkpoint after every batch", 3, 1001, 40, 8, 50, {20}, none, 100},
        {"short final segment", 3, 1001, 40, 256, 97, {5, last}, none, 100},
        {"segments shorter than a batch", 1001, 5001, 40, 16, 37, {}, none, 100},
        {"one batch", 4001, 5001, 54, 256, 2523140, {3}, none, 0},
        {"the last k is 2^64-1", top - 118, top, 60, 8, 7, {0, last}, none, 100},
        {"a single k at 2^64-1", top - 4, top, 60, 8, 50, {last}, none, 0},
        {"a stop in the middle", 3, 1001, 40, 8, 50, {2}, 20, 100},
        {"a stop in the first batch", 3, 1001, 40, 8, 50, {}, 3, 0},
        {"a stop in the last batch", 3, 1001, 40, 8, 50, {}, last, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SearchTrace serial = search(c, false), overlapped = search(c, true);
        ASSERT_FALSE(serial.batches.empty());
        EXPECT_EQ(overlapped.batches, serial.batches);
        EXPECT_EQ(overlapped.tested, serial.tested);
        EXPECT_EQ(overlapped.factors, serial.factors);
        EXPECT_EQ(overlapped.finished, serial.finished);
        EXPECT_EQ(overlapped.position, serial.position);
        EXPECT_EQ(overlapped.out, serial.out);
        EXPECT_EQ(overlapped.checkpoint, serial.checkpoint);
        EXPECT_EQ(overlapped.factorFile, serial.factorFile);
        // And what the serial loop leaves is what it must leave.
        const std::vector<uint64_t> survivors = expectedSurvivors(c.first, c.last, c.n);
        EXPECT_EQ(serial.factors, c.hits.size());
        EXPECT_EQ(serial.finished, c.stopAt == none);
        if (c.stopAt == none) EXPECT_EQ(serial.tested, survivors.size());
        else EXPECT_EQ(serial.tested, std::min(c.stopAt, survivors.size() - 1) / c.threads * c.threads);
    }
}

// A kernel that holds its launch until the test opens the gate, then writes
// its argument n into the table's first entry.
std::atomic<bool> gateOpen(false);
void gatedKernel(unsigned int*, unsigned long long* table, unsigned int n, unsigned int*, unsigned int) {
    while (!gateOpen.load()) std::this_thread::yield();
    if (blockIdx.x == 0 && threadIdx.x == 0) table[0] = n;
}
int hookCalls;

// The stand-in's streams and events keep CUDA's order: an event is complete
// exactly when the work issued before its record has finished; a copy on the
// stream sees what the launch before it wrote, and not before; waiting
// reports a failed launch or an injected failure once.
TEST_P(BatchLoopComparison, StandInStreamsAndEventsKeepCudaOrder) {
    static bool registered = false;
    if (!registered) {
        const size_t sizes[5] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int),
                                 sizeof(unsigned int*), sizeof(unsigned int)};
        hostRegisterFunction(reinterpret_cast<const void*>(gatedKernel), "gated", invokeRecording, 5, sizes);
        registered = true;
    }
    hookCalls = 0;
    hostRuntimeSetLaunchHook([](const void*, dim3, dim3, void**) { ++hookCalls; });
    cudaStream_t stream;
    cudaEvent_t done;
    ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&done, cudaEventBlockingSync | cudaEventDisableTiming), cudaSuccess);
    EXPECT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    EXPECT_EQ(cudaEventQuery(done), cudaSuccess);  // nothing issued before it

    gateOpen = false;
    unsigned int* factors = d_factors;
    unsigned long long* table = d_candidateTable;
    unsigned int n = 77;
    unsigned int* proofs = nullptr;
    unsigned int t = 0;
    void* args[] = {&factors, &table, &n, &proofs, &t};
    ASSERT_EQ(cudaLaunchKernel(reinterpret_cast<const void*>(gatedKernel), dim3(4), dim3(8), args, 0, stream),
              cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    EXPECT_EQ(cudaEventQuery(done), cudaErrorNotReady);
    EXPECT_EQ(hookCalls, 0);
    gateOpen = true;
    EXPECT_EQ(cudaEventSynchronize(done), cudaSuccess);
    EXPECT_EQ(hookCalls, 1);
    EXPECT_EQ(cudaEventQuery(done), cudaSuccess);

    // A copy issued after a launch sees what the launch wrote.
    gateOpen = false;
    n = 78;
    ASSERT_EQ(cudaLaunchKernel(reinterpret_cast<const void*>(gatedKernel), dim3(1), dim3(8), args, 0, stream),
              cudaSuccess);
    unsigned long long first = 0;
    std::thread opener([]() {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gateOpen = true;
    });
    EXPECT_EQ(cudaMemcpyAsync(&first, d_candidateTable, 8, cudaMemcpyDeviceToHost, stream), cudaSuccess);
    opener.join();
    EXPECT_EQ(first, 78u);

    // Into page-locked memory a copy lands only once the work before it has
    // finished (until then the host sees 0xA5 bytes), a memset runs in its
    // place in the order, and a copy from pageable memory takes its source
    // when it is issued.
    unsigned long long* pinned = nullptr;
    ASSERT_EQ(cudaHostAlloc(reinterpret_cast<void**>(&pinned), 16, cudaHostAllocDefault), cudaSuccess);
    d_candidateTable[1] = 9;
    gateOpen = false;
    n = 79;
    ASSERT_EQ(cudaLaunchKernel(reinterpret_cast<const void*>(gatedKernel), dim3(1), dim3(8), args, 0, stream),
              cudaSuccess);
    EXPECT_EQ(cudaMemsetAsync(d_candidateTable + 1, 0, 8, stream), cudaSuccess);
    EXPECT_EQ(cudaMemcpyAsync(pinned, d_candidateTable, 16, cudaMemcpyDeviceToHost, stream), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    unsigned long long source = 5;
    EXPECT_EQ(cudaMemcpyAsync(d_candidateTable + 2, &source, 8, cudaMemcpyHostToDevice, stream), cudaSuccess);
    source = 6;
    EXPECT_EQ(pinned[0], 0xA5A5A5A5A5A5A5A5ull);
    EXPECT_EQ(cudaEventQuery(done), cudaErrorNotReady);
    gateOpen = true;
    EXPECT_EQ(cudaEventSynchronize(done), cudaSuccess);
    EXPECT_EQ(pinned[0], 79u);
    EXPECT_EQ(pinned[1], 0u);
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    EXPECT_EQ(d_candidateTable[2], 5u);

    // A held stream's work waits until something needs it: another stream
    // that does not wait for it runs first, one that waits sees its work; its
    // launches keep the arguments of their call; a synchronous copy follows
    // it.
    hostRuntimeHoldStream(1);
    cudaStream_t other;
    cudaEvent_t otherDone;
    ASSERT_EQ(cudaStreamCreate(&other), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&otherDone, 0), cudaSuccess);
    gateOpen = true;
    const auto launchHeld = [&](unsigned int value) {
        n = value;
        ASSERT_EQ(cudaLaunchKernel(reinterpret_cast<const void*>(gatedKernel), dim3(1), dim3(8), args, 0, stream),
                  cudaSuccess);
        n = 0;
    };
    const auto copyOnOther = [&](bool waiting) {
        if (waiting) { EXPECT_EQ(cudaStreamWaitEvent(other, done, 0), cudaSuccess); }
        EXPECT_EQ(cudaMemcpyAsync(pinned, d_candidateTable, 8, cudaMemcpyDeviceToHost, other), cudaSuccess);
        EXPECT_EQ(cudaEventRecord(otherDone, other), cudaSuccess);
        EXPECT_EQ(cudaEventSynchronize(otherDone), cudaSuccess);
        return pinned[0];
    };
    launchHeld(80);
    ASSERT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    EXPECT_EQ(copyOnOther(false), 79u);
    EXPECT_EQ(copyOnOther(true), 80u);
    // A wait is for the work before the event's last record.
    launchHeld(84);
    ASSERT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    launchHeld(85);
    ASSERT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    EXPECT_EQ(copyOnOther(true), 85u);
    launchHeld(81);
    ASSERT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(done), cudaSuccess);
    EXPECT_EQ(d_candidateTable[0], 81u);
    launchHeld(82);
    unsigned long long copied = 0;
    EXPECT_EQ(cudaMemcpy(&copied, d_candidateTable, 8, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(copied, 82u);
    EXPECT_EQ(cudaEventDestroy(otherDone), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(other), cudaSuccess);
    hostRuntimeHoldStream(0);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);

    // A launch that fails, and an injected failure, are each reported once.
    EXPECT_EQ(cudaLaunchKernel(reinterpret_cast<const void*>(gatedKernel), dim3(1, 2), dim3(8), args, 0, stream),
              cudaErrorInvalidConfiguration);
    ASSERT_EQ(cudaEventRecord(done, stream), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(done), cudaErrorInvalidConfiguration);
    EXPECT_EQ(cudaEventSynchronize(done), cudaSuccess);
    hostRuntimeFailCall(hostOpEventSynchronize, 1, cudaErrorLaunchFailure);
    EXPECT_EQ(cudaEventSynchronize(done), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaEventSynchronize(done), cudaSuccess);
    EXPECT_EQ(cudaEventCreateWithFlags(&done, 0x80), cudaErrorInvalidValue);
    EXPECT_EQ(cudaEventDestroy(done), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

// Each case runs both loops itself; the fixture's parameter only sets the
// loop its set-up starts with.
INSTANTIATE_TEST_SUITE_P(BothLoops, BatchLoopComparison, testing::Values(int(HOST_SERIAL)),
                         [](const testing::TestParamInfo<int>&) { return "SerialAgainstOverlapped"; });

}  // namespace
