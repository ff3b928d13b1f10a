// Where the host build's search time goes: each benchmark pair searches the
// same range of one exponent, once with a kernel that tests nothing (sieving,
// compaction and copies only) and once with the real kernel, so the ratio of
// the two shows sieving against testing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "driver/kernel_registry.h"
#include "driver/run_config.h"
#include "gpu/host_runtime_control.h"
#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_sieve.h"
#include "workfiles/checkpoint.h"

namespace {

void nullKernel(unsigned int*, unsigned long long*, unsigned int) {}

void invokeNull(const void*, void**) {}

void setUpDevice() {
    static bool ready = false;
    if (ready) return;
    const size_t sizes[3] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int)};
    hostRegisterFunction(reinterpret_cast<const void*>(nullKernel), "null", invokeNull, 3, sizes);
    deviceProp = hostRuntimeHostProperties();
    cudaHostAlloc(reinterpret_cast<void**>(&h_candidateTable), 8 * MAX_BATCH, 0);
    cudaMalloc(reinterpret_cast<void**>(&d_candidateTable), 8 * MAX_BATCH);
    cudaHostAlloc(reinterpret_cast<void**>(&h_factors), FACTOR_BUFFER_BYTES, 0);
    cudaMalloc(reinterpret_cast<void**>(&d_factors), FACTOR_BUFFER_BYTES);
    memset(d_factors, 0, FACTOR_BUFFER_BYTES);
    ready = true;
}

// Searches n over `count` odd k from first; with testing false the kernel
// does nothing, so only the host's share of the work is timed.
void search(benchmark::State& state, uint32_t n, uint64_t first, uint64_t count, bool testing) {
    setUpDevice();
    nCurrent = n;
    kCurrent = first;
    // The configuration block goes to standard output; keep the report clean.
    int saved = dup(1);
    if (!freopen("/dev/null", "w", stdout)) return;
    ConfigureRun();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    static const KernelEntry nullEntry = {"null", "null", 0, 0, nullKernel};
    const KernelEntry* real = kernel;
    if (!testing) kernel = &nullEntry;
    StartCheckpointClock();  // no checkpoints while timing: runs are far shorter than the interval
    for (auto _ : state) {
        kTested = 0;
        Sieve(first, first + 2 * (count - 1));
        benchmark::DoNotOptimize(kTested);
    }
    state.counters["candidates/s"] = benchmark::Counter(static_cast<double>(kTested) * state.iterations(),
                                                       benchmark::Counter::kIsRate);
    state.counters["k/s"] = benchmark::Counter(static_cast<double>(count) * 2 * state.iterations(),
                                              benchmark::Counter::kIsRate);
    kernel = real;
    ReleasePrimeTable();
}

// Width 3: the typical run's kernel. Width 8: band 6. Width 20: band 18.
void BM_Width3_SieveOnly(benchmark::State& s) { search(s, 54, 1000001, 3000000, false); }
void BM_Width3_SieveAndTest(benchmark::State& s) { search(s, 54, 1000001, 3000000, true); }
void BM_Width8_SieveOnly(benchmark::State& s) { search(s, 200, 1073741825, 2000000, false); }
void BM_Width8_SieveAndTest(benchmark::State& s) { search(s, 200, 1073741825, 2000000, true); }
void BM_Width20_SieveOnly(benchmark::State& s) { search(s, 600, 1000001, 200000, false); }
void BM_Width20_SieveAndTest(benchmark::State& s) { search(s, 600, 1000001, 200000, true); }

BENCHMARK(BM_Width3_SieveOnly)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(BM_Width3_SieveAndTest)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(BM_Width8_SieveOnly)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(BM_Width8_SieveAndTest)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(BM_Width20_SieveOnly)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(BM_Width20_SieveAndTest)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
