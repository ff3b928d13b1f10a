// The search of one exponent: sieve a segment of odd k, ship its survivors as
// one batch, test them on the device, report factors, checkpoint, repeat.
#include "sieve/segment_sieve.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "boinc/boinc_adapter.h"
#include "driver/kernel_registry.h"
#include "fatal_exit.h"
#include "gpu/cuda_guard.h"
#include "quilbrex.h"
#include "sieve/factor_report.h"
#include "sieve/segment_marking.h"
#include "workfiles/checkpoint.h"

// Montgomery reductions with R = 2^64, each one a multiplication by 2^(-64)
// mod q without a division: a search at a million primes starts with one
// power per prime, which by divisions cost as much as sieving many segments.
uint32_t InverseTwoPower(uint32_t q, uint32_t n) {
    uint64_t inverse = q;  // q^-1 mod 2^64 by Newton's steps: 3, 6, 12, 24, 48, 96 correct bits
    for (int step = 0; step < 5; ++step) inverse *= 2 - q * inverse;
    // x * 2^(-64) mod q for x = r * 2^s with r < q and s < 64: m is a
    // multiple of 2^s below 2^64, so (x + m*q) / 2^64 < (r + (2^(64-s)-1) q) / 2^(64-s) < q.
    auto reduce = [&](unsigned __int128 x) {
        const uint64_t m = 0 - static_cast<uint64_t>(x) * inverse;
        return static_cast<uint64_t>((x + static_cast<unsigned __int128>(m) * q) >> 64);
    };
    uint64_t result = 1 % q;
    uint32_t left = n;
    for (; left >= 64; left -= 64) result = reduce(result);
    if (left != 0) result = reduce(static_cast<unsigned __int128>(result) << (64 - left));
    return static_cast<uint32_t>(result);
}

uint32_t FirstSievedByte(uint32_t q, uint32_t e, uint64_t a) {
    // a + 2j == -e (mod q)  <=>  j == (-e - a) * (q+1)/2  (mod q)
    uint64_t target = (2 * static_cast<uint64_t>(q) - e % q - a % q) % q;
    return static_cast<uint32_t>(target * ((q + 1) / 2) % q);
}

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
