// The host build against GMP, side by side in one run on the same candidates:
// for widths 3 to 20 the path in use, each forced path (the 32-bit reference
// among them) through the program's launch, and GMP's mpz_powm on all
// hardware threads, in candidates per second and as ratios to GMP; then the
// whole search (sieve and test, as the program runs it) at one exponent per
// width, n = 54, 207 and 600 among them, in k-range per second against GMP
// testing every odd k, with the share of the wall time spent sieving. Contenders take turns, best of two rounds,
// so a noisy shared machine affects all alike.
#include <gmp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/run_config.h"
#include "gpu/host_runtime_control.h"
#include "kernels/host_paths.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_sieve.h"
#include "workfiles/checkpoint.h"

namespace {

FILE* report = stdout;  // the program's own messages go to /dev/null

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Repeats work (which handles `items` candidates) for at least minSeconds;
// returns items per second.
double rate(const std::function<void()>& work, double items, double minSeconds = 0.4) {
    const double start = now();
    int rounds = 0;
    do {
        work();
        ++rounds;
    } while (now() - start < minSeconds);
    return items * rounds / (now() - start);
}

unsigned hardwareThreads() {
    const unsigned count = std::thread::hardware_concurrency();
    return count ? count : 1;
}

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

// The program's launch of a member over the table, as Sieve makes it.
void launchTest(const KernelEntry* entry, unsigned long long* d_table, unsigned int* d_buffer, uint32_t count,
                uint32_t n) {
    launchKernel(entry, count / 256, d_buffer, d_table, n);
    if (cudaDeviceSynchronize() != cudaSuccess) std::fprintf(report, "launch failed\n");
    std::memset(d_buffer, 0, 64);
}

struct WidthCase {
    uint32_t width, n;
};

void candidateTable() {
    const WidthCase cases[] = {{3, 54}, {5, 100}, {8, 207}, {11, 300}, {14, 400}, {17, 500}, {20, 600}};
    std::vector<HostTestPath> paths;
    for (int path = hostPathCount - 1; path >= 0; --path)
        if (hostPathAvailable(static_cast<HostTestPath>(path))) paths.push_back(static_cast<HostTestPath>(path));

    std::fprintf(report, "\nCandidates per second, %u hardware threads, path in use: %s\n", hardwareThreads(),
                 hostPathName(hostPathBest()));
    std::fprintf(report, "%-5s %-4s %-8s", "width", "n", "count");
    for (HostTestPath path : paths) std::fprintf(report, " %22s", hostPathName(path));
    std::fprintf(report, " %12s\n", "GMP mpz_powm");

    unsigned long long* d_table = nullptr;
    unsigned int* d_buffer = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&d_table), 8ull * MAX_BATCH);
    cudaMalloc(reinterpret_cast<void**>(&d_buffer), FACTOR_BUFFER_BYTES);
    std::memset(d_buffer, 0, 64);
    for (const WidthCase& c : cases) {
        const KernelEntry* entry = kernelFor(c.n, c.width);
        // Odd k of bitlen 32W - n - 1 upward: p two bits short of the full width.
        const unsigned long long kFirst = (1ull << (32 * c.width - c.n - 2)) | 1;
        // Work proportional to W^2 n per candidate: about equal time per width.
        const uint32_t count = std::max<uint32_t>(2048, (uint32_t)((1u << 18) * 486.0 / (c.width * c.width * c.n))) / 256 * 256;
        std::vector<unsigned long long> ks(count);
        for (uint32_t i = 0; i < count; ++i) ks[i] = kFirst + 2ull * i;
        cudaMemcpy(d_table, ks.data(), 8ull * count, cudaMemcpyHostToDevice);

        std::vector<double> best(paths.size() + 1, 0);
        for (int round = 0; round < 2; ++round) {
            for (size_t i = 0; i < paths.size(); ++i) {
                hostForcePath(paths[i]);
                best[i] = std::max(best[i], rate([&] { launchTest(entry, d_table, d_buffer, count, c.n); }, count));
            }
            best[paths.size()] = std::max(best[paths.size()], rate([&] { gmpTest(ks, c.n); }, count));
        }
        hostForcePath(hostPathBest());
        const double gmp = best[paths.size()];
        std::fprintf(report, "%-5u %-4u %-8u", c.width, c.n, count);
        for (size_t i = 0; i < paths.size(); ++i) std::fprintf(report, " %12.0f (%6.2fx)", best[i], best[i] / gmp);
        std::fprintf(report, " %12.0f\n", gmp);
        std::fflush(report);
    }
    cudaFree(d_table);
    cudaFree(d_buffer);
}

// --- the whole search ------------------------------------------------------------

// Tests nothing, and takes whole ranges of the grid, so that the runtime's
// dispatch of a kernel that does nothing is not counted as sieving.
void nullKernel(unsigned int*, unsigned long long*, unsigned int) {}
void invokeNull(const void*, void**) {}
void invokeNullRange(const void*, void**, unsigned, unsigned) {}
const KernelEntry nullEntry = {"null", "null", 0, 0, nullKernel};

// Seconds for Sieve over the range with the configured kernel, or with a
// kernel that tests nothing (sieving, compaction and copies only).
double searchSeconds(uint64_t first, uint64_t last, bool testing) {
    const KernelEntry* real = kernel;
    if (!testing) kernel = &nullEntry;
    StartCheckpointClock();  // no checkpoints while timing: every run is far shorter than the interval
    kTested = 0;
    const double start = now();
    Sieve(first, last);
    const double seconds = now() - start;
    kernel = real;
    return seconds;
}

void wholeSearch() {
    struct SearchCase {
        uint32_t n;
        uint64_t first;
        uint32_t segments;
    };
    // One exponent per width of the candidate table; k as large as the width allows.
    const SearchCase cases[] = {{54, (1ull << 30) + 1, 4},  {100, (1ull << 40) + 1, 2}, {207, (1ull << 40) + 1, 2},
                                {300, (1ull << 40) + 1, 1}, {400, (1ull << 40) + 1, 1}, {500, (1ull << 40) + 1, 1},
                                {600, (1ull << 30) + 1, 1}};
    const size_t sizes[3] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int)};
    hostRegisterFunction(reinterpret_cast<const void*>(nullKernel), "null", invokeNull, 3, sizes, invokeNullRange);
    deviceProp = hostRuntimeHostProperties();
    cudaHostAlloc(reinterpret_cast<void**>(&h_candidateTable), 8 * MAX_BATCH, 0);
    cudaMalloc(reinterpret_cast<void**>(&d_candidateTable), 8 * MAX_BATCH);
    cudaHostAlloc(reinterpret_cast<void**>(&h_factors), FACTOR_BUFFER_BYTES, 0);
    cudaMalloc(reinterpret_cast<void**>(&d_factors), FACTOR_BUFFER_BYTES);
    std::memset(d_factors, 0, FACTOR_BUFFER_BYTES);

    std::fprintf(report, "\nWhole search (sieve and test) against GMP testing every odd k\n");
    std::fprintf(report, "%-4s %-6s %-8s %-10s %-9s %9s %9s %12s %14s %8s %12s\n", "n", "width", "primes",
                 "k-range", "tested", "seconds", "sieving", "k-range/s", "GMP k-range/s", "ratio", "sieve share");
    for (const SearchCase& c : cases) {
        nCurrent = c.n;
        kCurrent = c.first;
        ConfigureRun();
        const uint64_t last = c.first + 2ull * sieveRange * c.segments - 1;
        // GMP on a sample of the range's odd k, without any sieve.
        std::vector<unsigned long long> sample(std::max<uint32_t>(256, 4000000 / (num_digits * num_digits * c.n)));
        for (size_t i = 0; i < sample.size(); ++i) sample[i] = c.first + 2 * i;
        double total = 1e30, sieving = 1e30, gmp = 0;
        for (int round = 0; round < 2; ++round) {
            sieving = std::min(sieving, searchSeconds(c.first, last, false));
            total = std::min(total, searchSeconds(c.first, last, true));
            gmp = std::max(gmp, 2 * rate([&] { gmpTest(sample, c.n); }, (double)sample.size()));
        }
        const uint64_t tested = kTested;
        const double kRange = (double)(last - c.first + 1);
        std::fprintf(report, "%-4u %-6u %-8u %-10.0f %-9llu %9.3f %9.3f %12.0f %14.0f %7.1fx %11.1f%%\n", c.n,
                     num_digits, primeCount, kRange, (unsigned long long)tested, total, sieving, kRange / total, gmp,
                     kRange / total / gmp, 100 * sieving / total);
        std::fflush(report);
        ReleasePrimeTable();
    }
}

}  // namespace

// With an argument, "candidates" or "search" runs that part alone.
int main(int argc, char** argv) {
    const std::string part = argc > 1 ? argv[1] : "";
    // Factor announcements, checkpoints and logs of the search land in a
    // scratch folder and on /dev/null, not in the caller's.
    report = fdopen(dup(1), "w");
    if (!report || !freopen("/dev/null", "w", stdout)) return 1;
    char folder[] = "/tmp/quilbrex-bench-XXXXXX";
    if (!mkdtemp(folder) || chdir(folder) != 0) return 1;
    hostRuntimeReset();
    cudaDeviceProp prop;
    cudaGetDeviceProperties(&prop, 0);
    std::fprintf(report, "device: %s\n", prop.name);
    if (part != "search") candidateTable();
    if (part != "candidates") wholeSearch();
    std::fclose(report);
    std::filesystem::remove_all(folder);
    return 0;
}
