// The host build against GMP, side by side in one run on the same candidates,
// in CPU time so that other work on a shared machine costs all contenders
// alike: every contender is measured once in every round (interleaved), each
// figure is a ratio to GMP's mpz_powm in the same round, and a table gives
// the median with min and max over the rounds.
//   candidates  widths 3 to 20: each path through the program's launch, per
//               core, as ratios to GMP; the IFMA path also as a share of the
//               processor's IFMA limit (multiply-adds per second of a loop
//               kept in registers; one instruction serves eight candidates).
//   search      the whole search (sieve and test, as a run does) at one
//               exponent per width, n = 54 and 207 among them, on each path
//               at the depth the host device uses with it:
//               k-range per CPU second against GMP testing every odd k, and
//               the sieve's share.
//   depth       the whole search at one exponent per width for a ladder of
//               prime counts on each path, as ratios to GMP: the measurement
//               behind the host device's prime counts.
// Arguments: [part] [rounds] [widths] [paths]; no part runs candidates and
// search; widths (say 3,8; 0 for all) keeps every table to those rows; paths
// (say ifma,word64) keeps the search and depth tables to those paths. A share of
// the limit above 100 % is a fault of the measurement: it is flagged and the
// bench ends with status 1.
#include <gmp.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/run_config.h"
#include "gpu/host_runtime_control.h"
#include "hostpaths/host_paths.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_marking.h"
#include "sieve/segment_sieve.h"
#include "workfiles/checkpoint.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

FILE* report = stdout;  // the program's own messages go to /dev/null
int rounds = 5;
std::vector<uint32_t> onlyWidths;  // empty: every row
std::string onlyPaths;             // empty: every path

bool widthWanted(uint32_t width) {
    return onlyWidths.empty() || std::find(onlyWidths.begin(), onlyWidths.end(), width) != onlyWidths.end();
}

// CPU seconds of all the process's threads.
double cpuNow() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

// Repeats work (which handles `items` items) for at least minSeconds of CPU
// time; returns items per CPU second, that is per core.
double cpuRate(const std::function<void()>& work, double items, double minSeconds = 0.15) {
    const double start = cpuNow();
    int repeats = 0;
    double spent;
    do {
        work();
        ++repeats;
        spent = cpuNow() - start;
    } while (spent < minSeconds);
    return items * repeats / spent;
}

struct Spread {
    double median, min, max;
};

Spread spreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

// "12.34x [11.90-12.80]": the median ratio and its range over the rounds.
std::string ratioText(const std::vector<double>& ratios) {
    const Spread s = spreadOf(ratios);
    char text[64];
    std::snprintf(text, sizeof text, "%6.2fx [%.2f-%.2f]", s.median, s.min, s.max);
    return text;
}

unsigned hardwareThreads() {
    const unsigned count = std::thread::hardware_concurrency();
    return count ? count : 1;
}

// "GenuineIntel family 6 model 207, Intel(R) Xeon(R) Processor": the name
// alone can hide the generation on a virtual machine.
std::string processorName() {
    std::ifstream info("/proc/cpuinfo");
    std::string line, vendor, family, model, name;
    auto value = [&] { return line.substr(line.find(':') + 2); };
    while (std::getline(info, line) && name.empty()) {
        if (line.rfind("vendor_id", 0) == 0) vendor = value();
        if (line.rfind("cpu family", 0) == 0) family = value();
        if (line.rfind("model\t", 0) == 0) model = value();
        if (line.rfind("model name", 0) == 0) name = value();
    }
    return vendor + " family " + family + " model " + model + ", " + name;
}

// The paths a run may use on this processor, fastest first (the reference
// and the emulation are for tests).
std::vector<HostTestPath> realPaths() {
    std::vector<HostTestPath> paths;
    for (int path = hostPathCount - 1; path >= 0; --path)
        if (hostPathAvailable(static_cast<HostTestPath>(path)) && path != hostPathIfmaEmulated &&
            path != hostPathReference)
            paths.push_back(static_cast<HostTestPath>(path));
    return paths;
}

bool faultSeen = false;

// 2^(2^(n-1)) mod k*2^n+1 for every k, split over all hardware threads.
void gmpTest(const std::vector<unsigned long long>& ks, uint32_t n) {
    std::vector<std::thread> workers;
    const unsigned threads = hardwareThreads();
    for (unsigned w = 0; w < threads; ++w) {
        workers.emplace_back([&, w] {
            mpz_t p, exponent, two, residue;
            mpz_inits(p, exponent, two, residue, nullptr);
            mpz_set_ui(two, 2);
            mpz_setbit(exponent, n - 1);
            unsigned hits = 0;
            for (size_t i = w; i < ks.size(); i += threads) {
                mpz_import(p, 1, -1, sizeof ks[i], 0, 0, &ks[i]);
                mpz_mul_2exp(p, p, n);
                mpz_add_ui(p, p, 1);
                mpz_powm(residue, two, exponent, p);
                hits += mpz_cmp_ui(residue, 1) == 0;
            }
            if (hits == 0xFFFFFFFF) std::fprintf(report, "?");  // keeps the work observable
            mpz_clears(p, exponent, two, residue, nullptr);
        });
    }
    for (std::thread& worker : workers) worker.join();
}

// The paths the search and depth tables measure.
std::vector<HostTestPath> searchedPaths() {
    std::vector<HostTestPath> paths;
    for (HostTestPath path : realPaths()) {
        const char* shortName = path == hostPathIfma ? "ifma" : path == hostPathAvx2 ? "avx2" : "word64";
        if (onlyPaths.empty() || ("," + onlyPaths + ",").find(std::string(",") + shortName + ",") != std::string::npos)
            paths.push_back(path);
    }
    return paths;
}

// --- the IFMA limit -------------------------------------------------------------

#if defined(__x86_64__) && defined(__GNUC__)
// vpmadd52luq per CPU second on one core: 16 independent accumulators in
// zmm0..zmm15, written in assembly so that nothing but the multiply-adds and
// the loop's counter runs (16 chains exceed latency times throughput on any
// processor with the instruction).
__attribute__((target("avx512f,avx512ifma"), noinline)) double ifmaPerSecond() {
    constexpr long STEPS = 1 << 22;
    long left = STEPS;
    const double start = cpuNow();
    __asm__ volatile(
        "vpternlogq $0xff, %%zmm16, %%zmm16, %%zmm16\n\t"
        "vpsrlq $13, %%zmm16, %%zmm17\n\t"
        "1:\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm0\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm1\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm2\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm3\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm4\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm5\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm6\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm7\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm8\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm9\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm10\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm11\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm12\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm13\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm14\n\t"
        "vpmadd52luq %%zmm16, %%zmm17, %%zmm15\n\t"
        "dec %0\n\t"
        "jnz 1b\n\t"
        : "+r"(left)
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
          "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "cc");
    return 16.0 * STEPS / (cpuNow() - start);
}
#else
double ifmaPerSecond() { return 0; }
#endif

// --- candidates per second ---------------------------------------------------------

// The program's launch of a member over the table, as Sieve makes it.
// With a proof table at t = 8, so that a table's worth of proof k are
// written as well, as in a search.
void launchTest(const KernelEntry* entry, unsigned long long* d_table, unsigned int* d_buffer, uint32_t count,
                uint32_t n) {
    static unsigned int* d_proofTable = nullptr;
    if (!d_proofTable) cudaMalloc(reinterpret_cast<void**>(&d_proofTable), PROOF_TABLE_BYTES);
    d_proofTable[0] = 0;
    launchKernel(entry, count / 256, d_buffer, d_table, n, d_proofTable, 8);
    if (cudaDeviceSynchronize() != cudaSuccess) std::fprintf(report, "launch failed\n");
    if (d_proofTable[0] > PROOF_RECORD_CAPACITY) std::fprintf(report, "proof table full\n");
    std::memset(d_buffer, 0, 64);
}

struct WidthCase {
    uint32_t width, n;
};

void candidateTable() {
    const WidthCase cases[] = {{3, 54}, {5, 100}, {8, 207}, {11, 300}, {14, 400}, {17, 500}, {20, 600}};
    const std::vector<HostTestPath> paths = realPaths();

    double ifmaLimit = 0;
    std::vector<double> limits;
    if (ifmaSupported()) {
        for (int round = 0; round < rounds; ++round) limits.push_back(ifmaPerSecond());
        ifmaLimit = spreadOf(limits).median;
    }
    std::fprintf(report, "\nCandidates per CPU second (per core), %u hardware threads, path in use: %s; %d rounds\n",
                 hardwareThreads(), hostPathName(hostPathBest()), rounds);
    if (ifmaLimit > 0)
        std::fprintf(report,
                     "IFMA limit: %.3g vpmadd52luq per second per core in registers (min %.3g, max %.3g); "
                     "each serves 8 candidates\n",
                     ifmaLimit, spreadOf(limits).min, spreadOf(limits).max);
    else
        std::fprintf(report, "IFMA limit: not measured, this processor has no AVX-512 IFMA\n");
    std::fprintf(report, "each path: candidates/s, median ratio to GMP [min-max]\n");
    std::fprintf(report, "%-5s %-4s %-7s", "width", "n", "count");
    for (HostTestPath path : paths) std::fprintf(report, " %34s", hostPathName(path));
    std::fprintf(report, " %12s %s\n", "GMP mpz_powm",
                 ifmaLimit > 0 ? "  IFMA madds/cand  IFMA % of limit [min-max]" : "");

    unsigned long long* d_table = nullptr;
    unsigned int* d_buffer = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&d_table), 8ull * MAX_BATCH);
    cudaMalloc(reinterpret_cast<void**>(&d_buffer), FACTOR_BUFFER_BYTES);
    std::memset(d_buffer, 0, 64);
    for (const WidthCase& c : cases) {
        if (!widthWanted(c.width)) continue;
        const KernelEntry* entry = kernelFor(c.n, c.width);
        // Odd k of bitlen 32W - n - 1 upward: p two bits short of the full width.
        const unsigned long long kFirst = (1ull << (32 * c.width - c.n - 2)) | 1;
        // Work proportional to W^2 n per candidate: about equal time per width.
        const uint32_t count =
            std::max<uint32_t>(2048, (uint32_t)((1u << 18) * 486.0 / (c.width * c.width * c.n))) / 256 * 256;
        std::vector<unsigned long long> ks(count);
        for (uint32_t i = 0; i < count; ++i) ks[i] = kFirst + 2ull * i;
        cudaMemcpy(d_table, ks.data(), 8ull * count, cudaMemcpyHostToDevice);

        std::vector<std::vector<double>> rates(paths.size() + 1), ratios(paths.size());
        for (int round = 0; round < rounds; ++round) {
            std::vector<double> got(paths.size() + 1);
            for (size_t i = 0; i < paths.size(); ++i) {
                hostForcePath(paths[i]);
                got[i] = cpuRate([&] { launchTest(entry, d_table, d_buffer, count, c.n); }, count);
            }
            got[paths.size()] = cpuRate([&] { gmpTest(ks, c.n); }, count);
            for (size_t i = 0; i <= paths.size(); ++i) rates[i].push_back(got[i]);
            for (size_t i = 0; i < paths.size(); ++i) ratios[i].push_back(got[i] / got[paths.size()]);
        }
        hostForcePath(hostPathBest());
        std::fprintf(report, "%-5u %-4u %-7u", c.width, c.n, count);
        for (size_t i = 0; i < paths.size(); ++i)
            std::fprintf(report, " %11.0f %s", spreadOf(rates[i]).median, ratioText(ratios[i]).c_str());
        std::fprintf(report, " %12.0f", spreadOf(rates[paths.size()]).median);
        for (size_t i = 0; i < paths.size() && ifmaLimit > 0; ++i) {
            if (paths[i] != hostPathIfma) continue;
            // One multiply-add instruction serves the eight candidates of its lanes.
            const double perCandidate = ifmaMultiplyAdds(c.width, c.n / 32, c.n) / 8.0;
            const Spread s = spreadOf(rates[i]);
            const double share = 100.0 * perCandidate / ifmaLimit;
            std::fprintf(report, "  %14.1f  %5.1f%% [%.1f-%.1f]", perCandidate, share * s.median, share * s.min,
                         share * s.max);
            if (share * s.max > 100) {
                std::fprintf(report, "  ABOVE THE LIMIT: a fault of the measurement");
                faultSeen = true;
            }
        }
        std::fprintf(report, "\n");
        std::fflush(report);
    }
    cudaFree(d_table);
    cudaFree(d_buffer);
}

// --- the whole search ------------------------------------------------------------

// Tests nothing, and takes whole ranges of the grid, so that the runtime's
// dispatch of a kernel that does nothing is not counted as sieving.
void nullKernel(unsigned int*, unsigned long long*, unsigned int, unsigned int*, unsigned int) {}
void invokeNull(const void*, void**) {}
void invokeNullRange(const void*, void**, unsigned, unsigned) {}
const KernelEntry nullEntry = {"null", "null", 0, 0, nullKernel};

// CPU seconds for Sieve over the range with the configured kernel, or with a
// kernel that tests nothing (sieving, compaction and copies only).
double searchSeconds(uint64_t first, uint64_t last, bool testing) {
    const KernelEntry* real = kernel;
    if (!testing) kernel = &nullEntry;
    StartCheckpointClock();  // no checkpoints while timing: every run is far shorter than the interval
    kTested = 0;
    const double start = cpuNow();
    Sieve(first, last);
    const double seconds = cpuNow() - start;
    kernel = real;
    return seconds;
}

void prepareSearch() {
    const size_t sizes[5] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int),
                             sizeof(unsigned int*), sizeof(unsigned int)};
    hostRegisterFunction(reinterpret_cast<const void*>(nullKernel), "null", invokeNull, 5, sizes, invokeNullRange);
    deviceProp = hostRuntimeHostProperties();
    cudaHostAlloc(reinterpret_cast<void**>(&h_candidateTable), 8 * MAX_BATCH, 0);
    cudaMalloc(reinterpret_cast<void**>(&d_candidateTable), 8 * MAX_BATCH);
    cudaHostAlloc(reinterpret_cast<void**>(&h_factors), FACTOR_BUFFER_BYTES, 0);
    cudaMalloc(reinterpret_cast<void**>(&d_factors), FACTOR_BUFFER_BYTES);
    std::memset(d_factors, 0, FACTOR_BUFFER_BYTES);
    cudaHostAlloc(reinterpret_cast<void**>(&h_proofs), PROOF_TABLE_BYTES, 0);
    cudaMalloc(reinterpret_cast<void**>(&d_proofs), PROOF_TABLE_BYTES);
    std::memset(d_proofs, 0, PROOF_TABLE_BYTES);
}

struct SearchCase {
    uint32_t n;
    uint64_t first;
    uint32_t segments;
};
// One exponent per width of the candidate table; k as large as the width allows.
// Three segments: the later ones carry the sieve's offsets as in a run.
const SearchCase searchCases[] = {{54, (1ull << 30) + 1, 3},  {100, (1ull << 40) + 1, 3}, {207, (1ull << 40) + 1, 3},
                                  {300, (1ull << 40) + 1, 3}, {400, (1ull << 40) + 1, 3}, {500, (1ull << 40) + 1, 3},
                                  {600, (1ull << 30) + 1, 3}};

// GMP's k-range per CPU second testing every odd k of the range's start.
double gmpKRangeRate(const SearchCase& c) {
    std::vector<unsigned long long> sample(std::max<uint32_t>(256, 4000000 / (num_digits * num_digits * c.n)));
    for (size_t i = 0; i < sample.size(); ++i) sample[i] = c.first + 2 * i;
    return 2 * cpuRate([&] { gmpTest(sample, c.n); }, (double)sample.size());
}

// Sets the configuration's depth to count primes with the segment length
// the run configuration gives that count.
void useDepth(uint32_t count) {
    ReleasePrimeTable();
    primeCount = count;
    sieveRange = SieveRangeFor(count, 1048576 / threadsPerGrid);
    BuildPrimeTable();
}

// Survivors of the sieve from the range's start, as a run collects them:
// enough for about 0.3 s of testing at the configured width, in whole blocks.
std::vector<unsigned long long> survivorSample(uint64_t first) {
    const uint32_t want = std::max<uint32_t>(256, (uint32_t)(4e8 / (num_digits * num_digits * nCurrent)) / 256 * 256);
    std::vector<uint32_t> inversePowers(primeCount);
    for (uint32_t i = 0; i < primeCount; ++i) inversePowers[i] = InverseTwoPower(primeTable[i], nCurrent);
    std::vector<uint8_t> segment(sieveRange);
    sieveSegment(segment.data(), sieveRange, first, primeTable, inversePowers.data(), primeCount);
    std::vector<unsigned long long> sample(want);
    uint32_t examined;
    sample.resize(CollectSurvivors(segment.data(), sieveRange, first, sample.data(), want, examined) / 256 * 256);
    return sample;
}

// CPU seconds per candidate of the configured kernel, launched on the sample
// as Sieve launches it on a batch.
double testSecondsPerCandidate(const std::vector<unsigned long long>& sample) {
    cudaMemcpy(d_candidateTable, sample.data(), 8ull * sample.size(), cudaMemcpyHostToDevice);
    return 1 / cpuRate(
                   [&] {
                       launchKernel(kernel, (uint32_t)sample.size() / 256, d_factors, d_candidateTable, nCurrent);
                       cudaDeviceSynchronize();
                   },
                   (double)sample.size(), 0.3);
}

// One round of the whole search of a range: the sieve as a run does it
// (marking, collecting, shipping, launching a kernel that tests nothing)
// measured whole, the testing of its survivors by the real kernel on each
// path measured on a sample of them (the paths interleaved). Wide candidates
// cost too much to test whole segments of them in every round; the sum is
// the CPU time a run on that path spends.
struct SearchRound {
    double sieving;
    std::vector<double> testing;  // per path of realPaths()
    uint64_t tested;
};
SearchRound searchRound(uint64_t first, uint64_t last, const std::vector<unsigned long long>& sample,
                        const std::vector<HostTestPath>& paths) {
    SearchRound round;
    round.sieving = searchSeconds(first, last, false);
    round.tested = kTested;
    for (HostTestPath path : paths) {
        hostForcePath(path);
        round.testing.push_back(round.tested * testSecondsPerCandidate(sample));
    }
    hostForcePath(hostPathBest());
    return round;
}

void wholeSearch() {
    const std::vector<HostTestPath> paths = searchedPaths();
    std::fprintf(report, "\nWhole search (sieve and test) against GMP testing every odd k, per CPU second, each path at "
                         "its own depth; %d rounds\n",
                 rounds);
    std::fprintf(report, "%-4s %-6s %-8s %-10s %-9s %-14s %12s %14s %22s %s\n", "n", "width", "primes", "k-range",
                 "tested", "path", "k-range/s", "GMP k-range/s", "ratio [min-max]", "sieve share [min-max]");
    for (const SearchCase& c : searchCases) {
        nCurrent = c.n;
        kCurrent = c.first;
        ConfigureRun();
        if (!widthWanted(num_digits)) continue;
        const size_t count = paths.size();
        std::vector<uint32_t> depths(count);
        std::vector<uint64_t> lasts(count), tested(count);
        std::vector<std::vector<unsigned long long>> samples(count);
        for (size_t i = 0; i < count; ++i) {
            depths[i] = hostPrimeCount(paths[i], num_digits);
            useDepth(depths[i]);
            lasts[i] = c.first + 2ull * sieveRange * c.segments - 1;
            samples[i] = survivorSample(c.first);
        }
        std::vector<std::vector<double>> rates(count), ratios(count), shares(count);
        std::vector<double> gmps;
        for (int round = 0; round < rounds; ++round) {
            const double gmp = gmpKRangeRate(c);
            gmps.push_back(gmp);
            for (size_t i = 0; i < count; ++i) {
                useDepth(depths[i]);
                const SearchRound r = searchRound(c.first, lasts[i], samples[i], {paths[i]});
                tested[i] = r.tested;
                const double kRange = (double)(lasts[i] - c.first + 1), total = r.sieving + r.testing[0];
                rates[i].push_back(kRange / total);
                ratios[i].push_back(kRange / total / gmp);
                shares[i].push_back(100 * r.sieving / total);
            }
        }
        for (size_t i = 0; i < count; ++i) {
            const Spread share = spreadOf(shares[i]);
            std::fprintf(report, "%-4u %-6u %-8u %-10.0f %-9llu %-14s %12.0f %14.0f %22s %5.1f%% [%.1f-%.1f]\n", c.n,
                         num_digits, depths[i], (double)(lasts[i] - c.first + 1), (unsigned long long)tested[i],
                         hostPathName(paths[i]), spreadOf(rates[i]).median, spreadOf(gmps).median,
                         ratioText(ratios[i]).c_str(), share.median, share.min, share.max);
        }
        std::fflush(report);
        ReleasePrimeTable();
    }
}

// The whole search of the case's segments at each depth of a ladder (each with the
// segment length the run configuration gives it), the depths interleaved in
// every round, on each path (the sieve measured once per depth and round,
// the test on each path): median ratio to GMP and the sieve's share.
void depthTable() {
    const uint32_t ladder[] = {100, 1000, 10000, 30000, 100000, 300000, 1000000, 3000000};
    constexpr size_t depths = sizeof ladder / sizeof ladder[0];
    const std::vector<HostTestPath> paths = searchedPaths();
    std::fprintf(report, "\nWhole search by prime count: median ratio to GMP testing every odd k [min-max] and sieve share, %d rounds\n",
                 rounds);
    std::fprintf(report, "%-4s %-6s %-14s", "n", "width", "path");
    for (uint32_t count : ladder) std::fprintf(report, " %27u", count);
    std::fprintf(report, "\n");
    for (const SearchCase& c : searchCases) {
        nCurrent = c.n;
        kCurrent = c.first;
        ConfigureRun();
        if (!widthWanted(num_digits)) continue;
        std::vector<std::vector<std::vector<double>>> ratios(paths.size(), std::vector<std::vector<double>>(depths)),
            shares = ratios;
        std::vector<std::vector<unsigned long long>> samples(depths);
        for (size_t d = 0; d < depths; ++d) {
            useDepth(ladder[d]);
            samples[d] = survivorSample(c.first);
        }
        for (int round = 0; round < rounds; ++round) {
            const double gmp = gmpKRangeRate(c);
            for (size_t d = 0; d < depths; ++d) {
                useDepth(ladder[d]);
                const uint64_t last = c.first + 2ull * sieveRange * c.segments - 1;
                const SearchRound r = searchRound(c.first, last, samples[d], paths);
                for (size_t i = 0; i < paths.size(); ++i) {
                    ratios[i][d].push_back((double)(last - c.first + 1) / (r.sieving + r.testing[i]) / gmp);
                    shares[i][d].push_back(100 * r.sieving / (r.sieving + r.testing[i]));
                }
            }
        }
        for (size_t i = 0; i < paths.size(); ++i) {
            std::fprintf(report, "%-4u %-6u %-14s", c.n, num_digits, hostPathName(paths[i]));
            for (size_t d = 0; d < depths; ++d)
                std::fprintf(report, " %20s %5.1f%%", ratioText(ratios[i][d]).c_str(), spreadOf(shares[i][d]).median);
            std::fprintf(report, "\n");
        }
        std::fflush(report);
        ReleasePrimeTable();
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string part = argc > 1 ? argv[1] : "";
    if (argc > 2) rounds = std::max(1, std::atoi(argv[2]));
    for (const char* w = argc > 3 ? argv[3] : ""; *w;) {
        char* end;
        onlyWidths.push_back((uint32_t)std::strtoul(w, &end, 10));
        if (end == w || (*end && *end != ',')) return 2;
        w = *end ? end + 1 : end;
    }
    if (onlyWidths.size() == 1 && onlyWidths[0] == 0) onlyWidths.clear();
    if (argc > 4) onlyPaths = argv[4];
    // Factor announcements, checkpoints and logs of the search land in a
    // scratch folder and on /dev/null, not in the caller's.
    report = fdopen(dup(1), "w");
    if (!report || !freopen("/dev/null", "w", stdout)) return 1;
    char folder[] = "/tmp/quilbrex-bench-XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) return 1;
    hostRuntimeReset();
    cudaDeviceProp prop;
    cudaGetDeviceProperties(&prop, 0);
    std::fprintf(report, "processor: %s\ndevice: %s\n", processorName().c_str(), prop.name);
    if (part == "" || part == "candidates") candidateTable();
    if (part != "candidates") prepareSearch();
    if (part == "" || part == "search") wholeSearch();
    if (part == "depth") depthTable();
    std::fclose(report);
    std::filesystem::remove_all(folder);
    return faultSeen ? 1 : 0;
}
