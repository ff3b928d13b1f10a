// The search of one exponent: sieve a segment of odd k, ship its survivors as
// one batch, test them on the device, report factors, checkpoint, repeat;
// serially here, or overlapped (sieve/overlapped_sieve.cpp), chosen here.
#include "sieve/segment_sieve.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/batch_steps.h"
#include "sieve/factor_report.h"
#include "sieve/overlapped_sieve.h"
#include "sieve/segment_marking.h"

uint32_t InverseTwoPower(uint32_t q, uint32_t n) {
    uint64_t base = (q + 1) / 2, result = 1 % q;
    for (uint32_t bits = n; bits != 0; bits >>= 1) {
        if (bits & 1) result = result * base % q;
        base = base * base % q;
    }
    return static_cast<uint32_t>(result);
}

uint32_t FirstSievedByte(uint32_t q, uint32_t e, uint64_t a) {
    // a + 2j == -e (mod q)  <=>  j == (-e - a) * (q+1)/2  (mod q)
    uint64_t target = (2 * static_cast<uint64_t>(q) - e % q - a % q) % q;
    return static_cast<uint32_t>(target * ((q + 1) / 2) % q);
}

#ifdef QUILBREX_CUDA
bool overlapSieveAndTest = true;
#else
bool overlapSieveAndTest = false;
#endif

namespace {

// One segment at a time: sieve, ship, launch, wait, book.
bool sieveSerially(uint64_t firstK, uint64_t lastK, const uint32_t* inversePowers) {
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
        sieveSegment(segment, length, a, primeTable, inversePowers, primeCount);

        uint32_t j;
        uint32_t count = CollectSurvivors(segment, length, a, h_candidateTable, threadsPerGrid, j);

        ShipBatch(h_candidateTable, count, deviceFilled, 0);
        launchKernel(kernel, blocksPerGrid, d_factors, d_candidateTable, nCurrent);
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
    ClearFactorReports();
    // 2^(-n) mod q does not depend on the segment: one exponentiation per prime.
    std::vector<uint32_t> inversePowers(primeCount);
    for (uint32_t i = 0; i < primeCount; ++i) inversePowers[i] = InverseTwoPower(primeTable[i], nCurrent);
    if (overlapSieveAndTest) return SieveOverlapped(firstK, lastK, inversePowers.data());
    return sieveSerially(firstK, lastK, inversePowers.data());
}
