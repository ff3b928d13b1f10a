// The search of one exponent: sieve a segment of odd k, ship its survivors as
// one batch, test them on the device, report factors, checkpoint, repeat;
// serially here, or overlapped (sieve/overlapped_sieve.cpp), chosen here.
#include "sieve/segment_sieve.h"

#include <cstdlib>
#include <vector>

#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/batch_steps.h"
#include "sieve/device_sieve.h"
#include "sieve/factor_report.h"
#include "sieve/overlapped_sieve.h"
#include "sieve/proof_report.h"
#include "sieve/segment_marking.h"

#ifdef QUILBREX_CUDA
bool overlapSieveAndTest = true;
#else
bool overlapSieveAndTest = false;
#endif

namespace {

// One segment at a time: sieve, ship, launch, wait, book.
bool sieveSerially(uint64_t firstK, uint64_t lastK, SegmentMarker& marker) {
    uint8_t* segment = NewSieveSegment();
    uint64_t a = firstK;
    uint64_t remaining = firstK <= lastK ? (lastK - firstK) / 2 + 1 : 0;
    bool finished = true;
    // The device table holds whatever came before this search (another
    // exponent's batches, the self-test's): all of the grid is cleared first.
    size_t deviceFilled = MAX_BATCH;
    while (remaining > 0) {
        if (stopSignal) {
            StopBeforeBatch(a);
            finished = false;
            break;
        }
        uint32_t length = remaining < sieveRange ? static_cast<uint32_t>(remaining) : sieveRange;
        MarkSegment(marker, segment, length, a);

        uint32_t j;
        uint32_t count = CollectSurvivors(segment, length, a, h_candidateTable, threadsPerGrid, j);

        ShipBatch(h_candidateTable, count, deviceFilled, 0);
        launchKernel(kernel, blocksPerGrid, d_factors, d_candidateTable, nCurrent, d_proofs, proofBits);
        cudaError_t synchronised = cudaDeviceSynchronize();
        // A batch the device did not finish is not tested: stop with the
        // checkpoint and the line before it.
        if (synchronised != cudaSuccess) BatchWaitFailed(synchronised);
        // A stop may have cut the launch short: the batch then counts as not
        // tested, and the checkpoint (written at the top) stays at its first k.
        if (stopSignal) continue;
        BookBatch(count, j, a, remaining);
    }
    free(segment);
    return finished;
}

}  // namespace

bool Sieve(uint64_t firstK, uint64_t lastK) {
    if (sieveOnDevice) return DeviceSieve(firstK, lastK);
    ClearFactorReports();
    ClearProofReports();
    // 2^(-n) mod q does not depend on the segment: one exponentiation per prime.
    std::vector<uint32_t> inversePowers(primeCount);
    for (uint32_t i = 0; i < primeCount; ++i) inversePowers[i] = InverseTwoPower(primeTable[i], nCurrent);
    SegmentMarker marker;
    BeginMarking(marker, primeTable, inversePowers.data(), primeCount);
    if (overlapSieveAndTest) return SieveOverlapped(firstK, lastK, marker);
    return sieveSerially(firstK, lastK, marker);
}
