// The self-test's cases: batches built around known factors and range edges,
// launched like a run's batches, and short ranges through Sieve itself.
#include "selftest/self_test_cases.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "driver/run_config.h"
#include "gpu/cuda_guard.h"
#include "quilbrex.h"
#include "kernels/sieve_kernels.h"
#include "sieve/device_sieve.h"
#include "sieve/factor_report.h"
#include "sieve/segment_marking.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_sieve.h"
#include "verify/hit_check.h"
#include "workfiles/checkpoint.h"
#include "verify/rejected_hits.h"

namespace {

uint32_t widthOf(uint64_t k, uint32_t n) {
    uint32_t bits = 0;
    for (uint64_t rest = k; rest != 0; rest >>= 1) ++bits;
    return (n + bits + 31) / 32;
}

// The smallest and largest k for which k*2^n+1 has exactly `width` words.
uint64_t smallestK(uint32_t width, uint32_t n) {
    const int bits = 32 * static_cast<int>(width - 1) - static_cast<int>(n);
    return bits <= 0 ? 1 : 1ull << bits;
}
uint64_t largestK(uint32_t width, uint32_t n) {
    const uint32_t bits = 32 * width - n;
    return bits >= 64 ? ~0ull : (1ull << bits) - 1;
}

struct Launched {
    cudaError_t synchronisation;
    uint32_t count;                 // as the device wrote it
    std::vector<uint64_t> reported; // the records, at most one per thread
    uint32_t proofCount;            // the proof table's count, as the device wrote it
    std::vector<uint64_t> proofs;   // its records, sorted
};

// One launch of member at n over table (whole blocks of 256) at proof bits t,
// shipped and read back the way Sieve does it.
Launched launchBatch(const KernelEntry& member, uint32_t n, const std::vector<uint64_t>& table, uint32_t t = 64) {
    std::copy(table.begin(), table.end(), h_candidateTable);
    ClearFactorReports();
    h_proofs[0] = 0;
    CUDA_GUARD(cudaMemcpy(d_proofs, h_proofs, 4, cudaMemcpyHostToDevice));
    cudaMemcpyAsync(d_candidateTable, h_candidateTable, 8 * table.size(), cudaMemcpyHostToDevice, 0);
    launchKernel(&member, static_cast<uint32_t>(table.size() / 256), d_factors, d_candidateTable, n, d_proofs, t);
    Launched result;
    result.synchronisation = cudaDeviceSynchronize();
    CUDA_GUARD(cudaMemcpy(h_proofs, d_proofs, PROOF_TABLE_BYTES, cudaMemcpyDeviceToHost));
    result.proofCount = h_proofs[0];
    for (uint32_t r = 0; r < std::min(result.proofCount, PROOF_RECORD_CAPACITY); ++r)
        result.proofs.push_back(h_proofs[1 + 2 * r] | static_cast<uint64_t>(h_proofs[2 + 2 * r]) << 32);
    std::sort(result.proofs.begin(), result.proofs.end());
    CUDA_GUARD(cudaMemcpy(h_factors, d_factors, 4, cudaMemcpyDeviceToHost));
    result.count = h_factors[0];
    const uint32_t records = std::min<uint64_t>(result.count, table.size());
    if (records != 0)
        CUDA_GUARD(cudaMemcpy(h_factors, d_factors, 4 * (1 + 3 * static_cast<size_t>(records)),
                              cudaMemcpyDeviceToHost));
    for (uint32_t r = 0; r < records; ++r)
        result.reported.push_back(h_factors[1 + 3 * r] | static_cast<uint64_t>(h_factors[2 + 3 * r]) << 32);
    ClearFactorReports();
    return result;
}

std::string candidateText(uint64_t k, uint32_t n) {
    return std::to_string(k) + "*2^" + std::to_string(n) + "+1";
}

std::string reportText(const Launched& launched) {
    if (launched.synchronisation != cudaSuccess)
        return std::string("the launch failed: ") + cudaGetErrorString(launched.synchronisation);
    std::string text = "reported " + std::to_string(launched.count) + " hit(s)";
    for (size_t i = 0; i < launched.reported.size() && i < 4; ++i) text += " " + std::to_string(launched.reported[i]);
    if (launched.reported.size() > 4) text += " ...";
    return text;
}

void record(CaseTally& tally, bool passed, const std::string& failure) {
    ++tally.cases;
    if (passed)
        ++tally.passed;
    else
        tally.failures.push_back(failure);
}

// Multipliers near k, of k's width at n, for which 7 divides c*2^n+1. None
// can be a hit: 2 has order 3 modulo 7, so 2^(2^(n-1)) is 2 or 4 modulo 7,
// never 1. That makes a full batch of non-factors cheap to prove. They are
// the c = -2^(-n) (mod 7), every seventh, taken alternately above and below k.
std::vector<uint64_t> nonFactorsNear(uint64_t k, uint32_t n, size_t count) {
    const uint32_t width = widthOf(k, n);
    const uint64_t low = smallestK(width, n), high = largestK(width, n);
    const uint64_t inversePower = (n % 3 == 0) ? 1 : (n % 3 == 1) ? 4 : 2;  // 2^(-n) mod 7
    const uint64_t residue = (7 - inversePower) % 7;
    // The nearest such c above and below k, as long as the width holds.
    uint64_t up = k + 1 + (residue + 7 - (k + 1) % 7) % 7;
    uint64_t down = k - 1 - ((k - 1) % 7 + 7 - residue) % 7;
    bool upward = k < high && up > k && up <= high;
    bool downward = k > low && down < k && down >= low;
    std::vector<uint64_t> found;
    while (found.size() < count && (upward || downward)) {
        if (upward) {
            found.push_back(up);
            upward = high - up >= 7;
            up += 7;
        }
        if (downward && found.size() < count) {
            found.push_back(down);
            downward = down - low >= 7;
            down -= 7;
        }
    }
    return found;
}

}  // namespace

const KernelEntry* MemberFor(uint64_t k, uint32_t n) { return k == 0 ? nullptr : kernelFor(n, widthOf(k, n)); }

uint32_t SelfTestBatchSize(const KernelEntry& member) {
    // On the host processor a full batch of the widest members takes most of
    // a minute; there a batch is four blocks of 256, the fewest that put the
    // start, the middle and the end of a batch in blocks of their own. A
    // graphics device gets the batch a run would ship.
    if (deviceProp.major == 0) return 4 * 256;
    num_digits = member.width;  // the batch size depends on the width it reads from here
    return getThreadsPerGrid(deviceProp.major, deviceProp.multiProcessorCount);
}

void CheckKnownFactor(const KernelEntry& member, const KnownFactor& factor, uint32_t batch, CaseTally& tally) {
    const std::vector<uint64_t> neighbours = nonFactorsNear(factor.k, factor.n, batch - 1);
    const struct {
        const char* name;
        uint32_t position;
    } places[] = {{"start", 0}, {"middle", batch / 2}, {"end", batch - 1}};
    for (const auto& place : places) {
        const std::string what = "known factor " + candidateText(factor.k, factor.n) + " at the " + place.name +
                                 " of a batch of " + std::to_string(batch) + ": ";
        if (neighbours.size() != batch - 1) {
            record(tally, false, what + "too few neighbours to fill the batch");
            continue;
        }
        std::vector<uint64_t> table = neighbours;
        table.insert(table.begin() + place.position, factor.k);
        // Proof bits that leave some 16 proof k in the batch.
        uint32_t t = 0;
        while ((batch >> (t + 1)) >= 16) ++t;
        const Launched launched = launchBatch(member, factor.n, table, t);
        const bool passed = launched.synchronisation == cudaSuccess && launched.count == 1 &&
                            launched.reported == std::vector<uint64_t>{factor.k};
        record(tally, passed, what + reportText(launched));
        if (place.position != 0) continue;

        // The batch's proof k against GMP's: every one reported is one, and
        // none of the first 1024 candidates is missing (GMP over a whole
        // batch of a graphics device would take minutes).
        std::vector<uint64_t> expected;
        for (size_t i = 0; i < table.size() && i < 1024; ++i)
            if (HostConfirmsProof(table[i], factor.n, t)) expected.push_back(table[i]);
        std::sort(expected.begin(), expected.end());
        const bool allProofs = std::all_of(launched.proofs.begin(), launched.proofs.end(),
                                           [&](uint64_t k) { return HostConfirmsProof(k, factor.n, t); });
        const bool noneMissing = std::includes(launched.proofs.begin(), launched.proofs.end(), expected.begin(),
                                               expected.end());
        const bool proofsPassed = launched.synchronisation == cudaSuccess &&
                                  launched.proofCount == launched.proofs.size() && allProofs && noneMissing &&
                                  launched.proofCount > 0;
        record(tally, proofsPassed,
               "proof k at t=" + std::to_string(t) + " of the batch of " + candidateText(factor.k, factor.n) +
                   ": reported " + std::to_string(launched.proofCount) + ", GMP finds " +
                   std::to_string(expected.size()) + " among the first " +
                   std::to_string(std::min<size_t>(table.size(), 1024)) + (allProofs ? "" : ", one that is none") +
                   (noneMissing ? "" : ", some missing"));
    }
}

void CheckRangeEdges(const KernelEntry& member, CaseTally& tally) {
    // A three-word K needs a shift of at least one: the wider member of a band
    // serves nothing at its first exponent.
    const uint32_t lowest = member.width == member.band + 3 ? 32 * member.band + 1 : 32 * member.band;
    for (uint32_t n : {lowest, 32 * member.band + 31}) {
        const uint64_t ks[2] = {smallestK(member.width, n), largestK(member.width, n)};
        std::vector<uint64_t> table(256, 0);
        table.front() = ks[0];
        table.back() = ks[1];
        const Launched launched = launchBatch(member, n, table);
        const bool onlyTheseReported =
            launched.synchronisation == cudaSuccess && launched.count == launched.reported.size() &&
            std::all_of(launched.reported.begin(), launched.reported.end(),
                        [&](uint64_t k) { return k == ks[0] || k == ks[1]; });
        for (uint64_t k : ks) {
            const bool hit = HostConfirmsHit(k, n);
            const bool passed = MemberFor(k, n) == &member && onlyTheseReported &&
                                std::count(launched.reported.begin(), launched.reported.end(), k) == (hit ? 1 : 0);
            record(tally, passed,
                    "edge " + candidateText(k, n) + (hit ? " (a hit)" : " (not a hit)") + ": " + reportText(launched));
        }
    }
}

void CheckSievedRange(const KnownFactor& factor, CaseTally& tally) {
    const uint32_t n = factor.n, width = widthOf(factor.k, n);
    // 1001 odd k around the factor, inside its width, so one member serves all.
    const uint64_t low = smallestK(width, n) | 1, high = largestK(width, n);
    const uint64_t first = factor.k >= low + 1000 ? factor.k - 1000 : low;
    const uint64_t last = high - factor.k >= 1000 ? factor.k + 1000 : high;
    const std::string what = "sieved range n=" + std::to_string(n) + " k=" + std::to_string(first) + "-" +
                             std::to_string(last) + ": ";

    std::string expected;
    uint32_t expectedCount = 0;
    for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i) {
        const KnownFactor& f = knownFactors[i];
        if (f.n == n && f.k % 2 == 1 && f.k >= first && f.k <= last) {
            expected += "!!! Found factor " + candidateText(f.k, n) + " !!!\n";
            ++expectedCount;
        }
    }

    // The run's files and messages go to a folder of their own.
    std::string folder = (std::filesystem::temp_directory_path() / "quilbrex-selftest-XXXXXX").string();
    if (!mkdtemp(&folder[0])) {
        record(tally, false, what + "no temporary folder");
        return;
    }
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    fflush(stdout);
    const int savedOutput = dup(STDOUT_FILENO);
    const int output = open("output.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(output, STDOUT_FILENO);
    close(output);

    nStart = nEnd = nCurrent = n;
    kStart = kCurrent = first;
    kEnd = last;
    rangeK = kEnd + 1 - kStart;
    kTested = 0;
    seconds = 0;
    foundFactors = 0;
    rejectedHits = rejectedHitsInLine = 0;
    StartCheckpointClock();
    ConfigureRun();
    StartSearchTime();
    Sieve(kCurrent, kEnd);
    ReleasePrimeTable();

    fflush(stdout);
    dup2(savedOutput, STDOUT_FILENO);
    close(savedOutput);
    std::string recorded;
    std::ifstream factorsFile("factors.txt");
    for (std::string line; std::getline(factorsFile, line);)
        if (line.compare(0, 3, "!!!") == 0) recorded += line + "\n";
    std::filesystem::current_path(here);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    const bool passed = recorded == expected && foundFactors == expectedCount && kTested > 0;
    record(tally, passed,
            what + "expected " + std::to_string(expectedCount) + " factor(s), recorded " +
                std::to_string(foundFactors) + (recorded.empty() ? "" : ": " + recorded.substr(0, recorded.size() - 1)));
}

namespace {

// The host's reference batch of length odd k from a: its count, examined and
// the table as the test kernel would read it (zeros after the count).
struct SieveBatch {
    uint32_t count = 0, examined = 0;
    std::vector<unsigned long long> table;
};

SieveBatch hostBatch(uint64_t a, uint32_t length, const std::vector<uint32_t>& inverses, uint32_t limit) {
    std::vector<uint8_t> marks(length);
    sieveSegment(marks.data(), length, a, primeTable, inverses.data(), primeCount);
    SieveBatch batch;
    batch.table.assign(static_cast<size_t>(limit) + 1, 0);
    batch.count = CollectSurvivors(marks.data(), length, a, batch.table.data(), limit, batch.examined);
    std::fill(batch.table.begin() + batch.count, batch.table.end(), 0);
    batch.table.pop_back();
    return batch;
}

// The device's batch just finished: its report and table.
SieveBatch deviceBatch(uint32_t limit, cudaError_t& synchronised, uint32_t* report) {
    SieveBatch batch;
    batch.table.assign(limit, 0);
    synchronised = cudaDeviceSynchronize();
    if (synchronised != cudaSuccess) return batch;
    CUDA_GUARD(cudaMemcpy(report, DeviceSieveControlWords(), 4 * SIEVE_CONTROL_WORDS, cudaMemcpyDeviceToHost));
    batch.count = report[SIEVE_COUNT];
    batch.examined = report[SIEVE_EXAMINED];
    CUDA_GUARD(cudaMemcpy(batch.table.data(), d_candidateTable, 8 * static_cast<size_t>(limit), cudaMemcpyDeviceToHost));
    return batch;
}

}  // namespace

void CheckDeviceSieve(const KernelEntry& member, CaseTally& tally) {
    const uint32_t width = member.width;
    // The device sieve's own depth on a GPU; the host stand-in, which runs
    // every logical thread itself, takes a shallower table that still has
    // primes on both sides of the slice length.
#ifdef QUILBREX_CUDA
    primeCount = DeviceSievePrimeCount(width);
#else
    primeCount = 200000;
#endif
    BuildPrimeTable();
    const uint32_t savedThreads = threadsPerGrid, savedBlocks = blocksPerGrid, savedRange = sieveRange;
    const uint32_t n = 32 * member.band + (width == member.band + 3 ? 31 : 0);
    const uint64_t low = smallestK(width, n) | 1, high = largestK(width, n) | 1;
    std::vector<uint32_t> inverses(primeCount);
    for (uint32_t i = 0; i < primeCount; ++i) inverses[i] = InverseTwoPower(primeTable[i], n);
    const auto compare = [&](const std::string& what, uint64_t a, uint32_t length, const SieveBatch& device,
                             cudaError_t synchronised, const SieveBatch& host, bool reportAgrees) {
        const bool passed = synchronised == cudaSuccess && reportAgrees && device.count == host.count &&
                            device.examined == host.examined && device.table == host.table;
        record(tally, passed,
               "device sieve n=" + std::to_string(n) + " k=" + std::to_string(a) + " (" + std::to_string(length) +
                   " odd k, " + std::to_string(primeCount) + " primes" + what + "): " + std::to_string(device.count) +
                   " candidates over " + std::to_string(device.examined) + " odd k, the host sieve " +
                   std::to_string(host.count) + " over " + std::to_string(host.examined) +
                   (synchronised == cudaSuccess ? "" : std::string(", ") + cudaGetErrorString(synchronised)) +
                   (reportAgrees ? "" : ", a report that does not add up"));
    };
    const auto useLimit = [](uint32_t limit) {
        threadsPerGrid = limit;
        blocksPerGrid = limit / 256;
    };
    uint32_t report[SIEVE_CONTROL_WORDS];

    // Single batches, each from a start of its own: the width's first k, a
    // batch that fills part way, the width's last k, one filled exactly by
    // the segment's last survivor, and two that follow the one before at
    // 2^32-1 odd k (the farthest a start moves on) and at 2^32 (computed
    // afresh).
    struct Segment {
        const char* what;
        uint64_t a;
        uint32_t length, limit;
        bool fresh;
    };
    std::vector<Segment> segments = {
        {"", low, 3 * SIEVE_SLICE_BITS + 1001, MAX_BATCH, true},
        {", filling", low + 2 * ((high - low) / 4), 2 * SIEVE_SLICE_BITS, 4096, true},
        {"", high - 2ull * (SIEVE_SLICE_BITS + 99), SIEVE_SLICE_BITS + 100, MAX_BATCH, true},
    };
    {
        // The 4096th survivor from the middle of the range ends the segment.
        const uint64_t a = low + 2 * ((high - low) / 3);
        const SieveBatch probe = hostBatch(a, 2 * SIEVE_SLICE_BITS, inverses, 4096);
        segments.push_back({", filled exactly", a, static_cast<uint32_t>((probe.table[4095] - a) / 2 + 1), 4096, true});
        segments.push_back({", 2^32-1 odd k on", a + 2 * 0xFFFFFFFFull, SIEVE_SLICE_BITS + 7, 4096, false});
        segments.push_back({", 2^32 odd k on", a + 2 * 0xFFFFFFFFull + 2 * 0x100000000ull, SIEVE_SLICE_BITS + 7,
                            4096, false});
    }
    for (const Segment& s : segments) {
        useLimit(s.limit);
        if (s.fresh) PrepareDeviceSieve(n);
        LaunchDeviceSieveBatch(s.a, s.length);
        cudaError_t synchronised;
        const SieveBatch device = deviceBatch(s.limit, synchronised, report);
        const SieveBatch host = hostBatch(s.a, s.length, inverses, s.limit);
        compare(s.what, s.a, s.length, device, synchronised, host, true);
    }

    // Consecutive batches queued as a run queues them, the device carrying
    // each one's start to the next: some fill, the last is short.
    useLimit(4096);
    sieveRange = SIEVE_SLICE_BITS + 4321;
    const uint64_t first = low + 2 * ((high - low) / 5);
    uint64_t a = first, left = 5ull * sieveRange + 77;
    PrepareDeviceSieve(n);
    StartDeviceSieveRange(a, left);
    for (int batch = 0; batch < 8 && left > 0; ++batch) {
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(left, sieveRange));
        CUDA_GUARD(cudaMemset(DeviceSieveControlWords(), 0, 4 * SIEVE_CONTROL_WORDS));
        const cudaError_t refused = QueueDeviceSieveBatch(0);
        cudaError_t synchronised;
        const SieveBatch device = deviceBatch(4096, synchronised, report);
        const SieveBatch host = hostBatch(a, length, inverses, 4096);
        compare(", queued batch " + std::to_string(batch + 1), a, length, device,
                refused != cudaSuccess ? refused : synchronised, host,
                DeviceReportAgrees(report, a, left, sieveRange, 4096));
        left -= host.examined;
        a += 2 * static_cast<uint64_t>(host.examined);
    }
    threadsPerGrid = savedThreads;
    blocksPerGrid = savedBlocks;
    sieveRange = savedRange;
    ReleasePrimeTable();
}
