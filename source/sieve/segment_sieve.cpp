// The search of one exponent: sieve a segment of odd k, ship its survivors as
// one batch, test them on the device, report factors, checkpoint, repeat.
#include "sieve/segment_sieve.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fatal_exit.h"
#include "gpu/cuda_guard.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "kernels/sieve_kernels.h"
#include "sieve/device_sieve.h"
#include "sieve/factor_report.h"
#include "sieve/segment_marking.h"
#include "workfiles/checkpoint.h"
#include "workunit/boinc_workunit.h"

namespace {

// Copies a batch of count candidates to the device. Entries beyond the batch,
// up to the end of the grid, must be zero there: the kernel tests every entry
// of the grid, and a zero ends at once without a hit, while a leftover
// candidate would be tested, and reported, a second time. Only the first
// deviceFilled entries can hold one (all of the grid while that is not known),
// so only those are zeroed and copied, not the whole grid at every short batch.
void shipBatch(uint32_t count, size_t& deviceFilled) {
    sizeTable = count * 8;
    size_t gridEntries = static_cast<size_t>(blocksPerGrid) * 256;
    if (gridEntries > MAX_BATCH) gridEntries = MAX_BATCH;
    size_t entries = count;
    if (count < gridEntries) {
        entries = std::max<size_t>(count, std::min(deviceFilled, gridEntries));
        memset(h_candidateTable + count, 0, 8 * (entries - count));
    }
    CUDA_GUARD(cudaMemcpyAsync(d_candidateTable, h_candidateTable, 8 * entries, cudaMemcpyHostToDevice, 0));
    deviceFilled = count;
}

}  // namespace

bool Sieve(uint64_t firstK, uint64_t lastK) {
    if (sieveOnDevice) return DeviceSieve(firstK, lastK);
    ClearFactorReports();
    uint8_t* segment = static_cast<uint8_t*>(malloc(sieveRange));
    if (!segment) {
        perror("\nThere is not enough memory to allocate a table for the sieve");
        FatalExit(1);
    }
    // 2^(-n) mod q does not depend on the segment: one exponentiation per prime.
    std::vector<uint32_t> inversePowers(primeCount);
    for (uint32_t i = 0; i < primeCount; ++i) inversePowers[i] = InverseTwoPower(primeTable[i], nCurrent);
    SegmentMarker marker;
    BeginMarking(marker, primeTable, inversePowers.data(), primeCount);

    // Counting the odd k still to examine, instead of comparing a with lastK,
    // keeps every step clear of the wrap-around at 2^64.
    uint64_t a = firstK;
    uint64_t remaining = firstK <= lastK ? (lastK - firstK) / 2 + 1 : 0;
    bool finished = true;
    // The device table holds whatever came before this search (another
    // exponent's batches, the self-test's): all of the grid is cleared first.
    size_t deviceFilled = MAX_BATCH;
    while (remaining > 0) {
        if (stopSignal) {
            CheckpointIfDue(a, CHECKPOINT_STOP);
            kCurrent = a;
            finished = false;
            break;
        }
        uint32_t length = remaining < sieveRange ? static_cast<uint32_t>(remaining) : sieveRange;
        MarkSegment(marker, segment, length, a);

        uint32_t j;
        uint32_t count = CollectSurvivors(segment, length, a, h_candidateTable, threadsPerGrid, j);

        shipBatch(count, deviceFilled);
        launchKernel(kernel, blocksPerGrid, d_factors, d_candidateTable, nCurrent);
        cudaError_t synchronised = cudaDeviceSynchronize();
        if (synchronised != cudaSuccess) {
            // A batch the device did not finish is not tested: stop with the
            // checkpoint and the line before it.
            printf("cudaThreadSynchronize failed!\n");
            checkCudaErrors(synchronised, __FILE__, __LINE__);
        }
        // A stop may have cut the launch short: the batch then counts as not
        // tested, and the checkpoint (written at the top) stays at its first k.
        if (stopSignal) continue;

        kTested += count;
        remaining -= j;
        if (remaining > 0) a += 2 * static_cast<uint64_t>(j);

        // Factors are on disk before any checkpoint moves past them, so a
        // stop in between can never lose one.
        uint32_t found = ReadFactorReports();
        foundFactors += found;
        BoincReportProgress(remaining);
        if (remaining > 0) CheckpointIfDue(a, found != 0 ? CHECKPOINT_FACTOR_FOUND : CHECKPOINT_BATCH_DONE);
    }
    free(segment);
    return finished;
}
