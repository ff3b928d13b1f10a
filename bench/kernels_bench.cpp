// Candidates per second of the factor-test kernels in the host build, through
// the same launch path as the program: copy the batch, launch, synchronise.
#include <benchmark/benchmark.h>

#include <vector>

#include "driver/kernel_registry.h"
#include "quilbrex.h"

namespace {

// One batch of odd k from kFirst upward for member `name` at exponent n;
// batch sizes keep one launch near a second on a small host.
void benchLaunch(benchmark::State& state, const char* name, uint32_t n, uint64_t kFirst, uint32_t batch) {
    const KernelEntry* entry = findKernel(name);
    if (!entry) {
        state.SkipWithError("no such kernel");
        return;
    }
    std::vector<unsigned long long> table(batch);
    for (uint32_t i = 0; i < batch; ++i) table[i] = kFirst + 2ull * i;
    void* d_table = nullptr;
    void* d_buffer = nullptr;
    cudaMalloc(&d_table, 8ull * batch);
    cudaMalloc(&d_buffer, FACTOR_BUFFER_BYTES);
    const std::vector<unsigned int> clear(FACTOR_BUFFER_WORDS, 0);
    cudaMemcpy(d_buffer, clear.data(), FACTOR_BUFFER_BYTES, cudaMemcpyHostToDevice);
    for (auto _ : state) {
        cudaMemcpyAsync(d_table, table.data(), 8ull * batch, cudaMemcpyHostToDevice);
        launchKernel(entry, batch / 256, static_cast<unsigned int*>(d_buffer),
                     static_cast<unsigned long long*>(d_table), n);
        if (cudaDeviceSynchronize() != cudaSuccess) state.SkipWithError("launch failed");
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)batch);
    cudaFree(d_table);
    cudaFree(d_buffer);
}

BENCHMARK_CAPTURE(benchLaunch, width3_n54, "quilbrex96bit_n32_63", 54, (1ull << 20) + 1, 1048576)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);
BENCHMARK_CAPTURE(benchLaunch, width8_n207, "quilbrex256bit_n192_223", 207, (1ull << 30) + 1, 65536)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);
BENCHMARK_CAPTURE(benchLaunch, width20_n600, "quilbrex640bit_n576_607", 600, (1ull << 30) + 1, 4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
