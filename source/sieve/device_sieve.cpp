// The device-sieve search of one exponent: prime start data prepared once,
// then per batch the sieve kernels, the test kernel, one wait and a few words
// read back; batches, checkpoints and stops as in the host-sieve loop.
#include "sieve/device_sieve.h"

#include <algorithm>
#include <cstdio>

#include "gpu/cuda_guard.h"
#include "kernels/kernel_registry.h"
#include "kernels/sieve_kernels.h"
#include "quilbrex.h"
#include "sieve/batch_steps.h"
#include "sieve/factor_report.h"

#ifdef QUILBREX_DEVICE_SIEVE
bool sieveOnDevice = true;
#else
bool sieveOnDevice = false;
#endif

namespace {

// Indexed by width - 3. A prime costs the device one move of its start per
// batch (some 50 SASS per prime and batch on sm_89, about 3 per odd k per
// million primes) besides its marks; a candidate it removes saves the whole
// squaring chain, which grows with the width squared times n. While every
// batch computed its starts afresh (380 SASS per prime), width 3 broke even
// near a million primes and widths 4 and 5 near two million; with the starts
// moved on, four million is ahead at every width (by about 1 % at width 3 and
// 3 % at widths 4 and 5, in the model). Deeper would still pay; four million
// is the cap, for the host's table build (a byte sieve of 34 MB once per
// line) and the device's tables (48 MB).
const uint32_t deviceSievePrimeCounts[18] = {4000000, 4000000, 4000000, 4000000, 4000000, 4000000,
                                             4000000, 4000000, 4000000, 4000000, 4000000, 4000000,
                                             4000000, 4000000, 4000000, 4000000, 4000000, 4000000};

// Device buffers, grown on demand and kept for the run.
uint32_t* d_primes;
uint32_t* d_inverses;
uint32_t* d_offsets;
uint32_t* d_bits;
uint32_t* d_sliceCounts;
uint32_t* d_control;
uint32_t primeRoom, sliceRoom;
DeviceSieveArgs sieveArgs;
// The a the offsets on the device count from, once a batch of this exponent
// has set them: a batch that follows starts by moving them on.
bool offsetsSet;
uint64_t offsetsA;

void launchSieveKernels(SieveKernelWhen when) {
    for (const SieveKernelEntry& entry : sieveKernelTable) {
        if (entry.when != when) continue;
        const uint32_t blocks = entry.grid == SIEVE_GRID_SLICES
                                    ? sieveArgs.slices
                                    : (sieveArgs.primeCount + SIEVE_BLOCK_THREADS - 1) / SIEVE_BLOCK_THREADS;
        if (blocks == 0) continue;
        void* args[] = {&sieveArgs};
        cudaLaunchKernel(reinterpret_cast<const void*>(entry.function), dim3(blocks), dim3(SIEVE_BLOCK_THREADS),
                         args, 0, 0);
    }
}

}  // namespace

uint32_t DeviceSievePrimeCount(uint32_t width) { return deviceSievePrimeCounts[width - 3]; }

void PrepareDeviceSieve(uint32_t n) {
    if (primeCount > primeRoom) {
        for (uint32_t** buffer : {&d_primes, &d_inverses, &d_offsets}) {
            if (*buffer) CUDA_GUARD(cudaFree(*buffer));
            *buffer = nullptr;
            CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(buffer), 4 * static_cast<size_t>(primeCount)));
        }
        primeRoom = primeCount;
    }
    if (!d_control) CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_control), 4 * SIEVE_CONTROL_WORDS));
    if (primeCount) CUDA_GUARD(cudaMemcpy(d_primes, primeTable, 4 * static_cast<size_t>(primeCount), cudaMemcpyHostToDevice));
    sieveArgs.primes = d_primes;
    sieveArgs.inverses = d_inverses;
    sieveArgs.offsets = d_offsets;
    sieveArgs.control = d_control;
    sieveArgs.candidates = d_candidateTable;
    sieveArgs.n = n;
    sieveArgs.primeCount = primeCount;
    sieveArgs.smallCount =
        static_cast<uint32_t>(std::lower_bound(primeTable, primeTable + primeCount, SIEVE_SLICE_BITS) - primeTable);
    // The bit words start zero and every batch leaves them so; an earlier
    // search cut short by a stop may not have.
    if (d_bits) CUDA_GUARD(cudaMemset(d_bits, 0, 4 * static_cast<size_t>(sliceRoom) * SIEVE_SLICE_WORDS));
    offsetsSet = false;
    launchSieveKernels(SIEVE_PER_EXPONENT);
}

void LaunchDeviceSieveBatch(uint64_t a, uint32_t length) {
    const uint32_t slices = (length + SIEVE_SLICE_BITS - 1) / SIEVE_SLICE_BITS;
    if (slices > sliceRoom) {
        if (d_bits) CUDA_GUARD(cudaFree(d_bits));
        if (d_sliceCounts) CUDA_GUARD(cudaFree(d_sliceCounts));
        const size_t words = static_cast<size_t>(slices) * SIEVE_SLICE_WORDS;
        CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_bits), 4 * words));
        CUDA_GUARD(cudaMemset(d_bits, 0, 4 * words));
        CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_sliceCounts), 4 * static_cast<size_t>(slices)));
        sliceRoom = slices;
    }
    sieveArgs.bits = d_bits;
    sieveArgs.sliceCounts = d_sliceCounts;
    sieveArgs.a = a;
    sieveArgs.length = length;
    sieveArgs.slices = slices;
    sieveArgs.limit = threadsPerGrid;
    sieveArgs.gridEntries = std::min<uint32_t>(blocksPerGrid * 256, MAX_BATCH);
    // Batches follow one another from a start, each at most 2^32 odd k on.
    if (offsetsSet && a >= offsetsA && (a - offsetsA) / 2 <= UINT32_MAX) {
        sieveArgs.advance = static_cast<uint32_t>((a - offsetsA) / 2);
    } else {
        sieveArgs.advance = 0;
        launchSieveKernels(SIEVE_PER_START);
    }
    offsetsSet = true;
    offsetsA = a;
    launchSieveKernels(SIEVE_PER_BATCH);
}

void ReadDeviceSieveControl(uint32_t& count, uint32_t& examined) {
    uint32_t control[SIEVE_CONTROL_WORDS];
    CUDA_GUARD(cudaMemcpy(control, d_control, sizeof control, cudaMemcpyDeviceToHost));
    count = control[SIEVE_COUNT];
    examined = control[SIEVE_EXAMINED];
}

void ReleaseDeviceSieve() {
    for (uint32_t** buffer : {&d_primes, &d_inverses, &d_offsets, &d_bits, &d_sliceCounts, &d_control}) {
        if (*buffer) CUDA_GUARD(cudaFree(*buffer));
        *buffer = nullptr;
    }
    primeRoom = sliceRoom = 0;
    offsetsSet = false;
}

bool DeviceSieve(uint64_t firstK, uint64_t lastK) {
    ClearFactorReports();
    uint64_t a = firstK;
    uint64_t remaining = firstK <= lastK ? (lastK - firstK) / 2 + 1 : 0;
    bool finished = true, prepared = false;
    while (remaining > 0) {
        if (stopSignal) {
            StopBeforeBatch(a);
            finished = false;
            break;
        }
        if (!prepared) PrepareDeviceSieve(nCurrent);
        prepared = true;
        const uint32_t length = remaining < sieveRange ? static_cast<uint32_t>(remaining) : sieveRange;
        LaunchDeviceSieveBatch(a, length);
        launchKernel(kernel, blocksPerGrid, d_factors, d_candidateTable, nCurrent);
        cudaError_t synchronised = cudaDeviceSynchronize();
        // A batch the device did not finish is not tested: stop with the
        // checkpoint and the line before it.
        if (synchronised != cudaSuccess) BatchWaitFailed(synchronised);
        // A stop may have cut the launches short: the batch counts as not
        // tested, and the checkpoint (written at the top) stays at its first k.
        if (stopSignal) continue;

        uint32_t count, examined;
        ReadDeviceSieveControl(count, examined);
        // The device's word decides how far the search moves: a value that
        // could skip untested k, or none at all, is a device fault.
        if (examined == 0 || examined > length || count > threadsPerGrid) {
            printf("\nThe device sieve reported %u candidates over %u of %u odd k: stopping\n", count, examined,
                   length);
            checkCudaErrors(cudaErrorLaunchFailure, __FILE__, __LINE__);
        }
        sizeTable = count * 8;
        BookBatch(count, examined, a, remaining);
    }
    return finished;
}
