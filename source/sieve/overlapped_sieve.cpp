// The overlapped batch loop. The device tests batch i from the one device
// table while the host sieves segment i+1 into the other of two page-locked
// tables; once an event says batch i is done, it is booked exactly as the
// serial loop books it (factors read back and recorded, then the checkpoint),
// and batch i+1 is copied and launched on the loop's stream. A batch's table
// is only written again after its copy has finished: that copy precedes the
// batch's launch on the stream, whose end the host has waited for.
#include "sieve/overlapped_sieve.h"

#include <cstdlib>

#include "kernels/kernel_registry.h"
#include "gpu/cuda_guard.h"
#include "quilbrex.h"
#include "sieve/batch_steps.h"
#include "sieve/segment_marking.h"

namespace {

// Made on first use and kept for the run, like the candidate table itself:
// page-locked memory and events are costly to make once per exponent.
unsigned long long* secondTable = nullptr;
cudaStream_t batchStream;
cudaEvent_t batchDone;

void prepareOverlap() {
    if (secondTable) return;
    CUDA_GUARD(cudaStreamCreate(&batchStream));
    // Blocking: the host sleeps while it waits, as it does for the device.
    CUDA_GUARD(cudaEventCreateWithFlags(&batchDone, cudaEventBlockingSync | cudaEventDisableTiming));
    void* table = nullptr;
    CUDA_GUARD(cudaHostAlloc(&table, 8 * static_cast<size_t>(MAX_BATCH), cudaHostAllocDefault));
    secondTable = static_cast<unsigned long long*>(table);
}

// Sieves the segment of odd k from a (left of them still to search) and
// collects its survivors into table; examined: the odd k the batch takes.
uint32_t sieveInto(uint8_t* segment, uint64_t a, uint64_t left, SegmentMarker& marker, unsigned long long* table,
                   uint32_t& examined) {
    const uint32_t length = left < sieveRange ? static_cast<uint32_t>(left) : sieveRange;
    MarkSegment(marker, segment, length, a);
    return CollectSurvivors(segment, length, a, table, threadsPerGrid, examined);
}

}  // namespace

bool SieveOverlapped(uint64_t firstK, uint64_t lastK, SegmentMarker& marker) {
    uint64_t a = firstK;
    uint64_t remaining = firstK <= lastK ? (lastK - firstK) / 2 + 1 : 0;
    if (remaining == 0) return true;
    if (stopSignal) {
        StopBeforeBatch(a);
        return false;
    }
    prepareOverlap();
    uint8_t* segment = NewSieveSegment();
    unsigned long long* tables[2] = {h_candidateTable, secondTable};
    int current = 0;
    // The device table holds whatever came before this search: all of the
    // grid is cleared with the first batch.
    size_t deviceFilled = MAX_BATCH;
    uint32_t examined;
    uint32_t count = sieveInto(segment, a, remaining, marker, tables[current], examined);
    bool finished = true;
    for (;;) {
        ShipBatch(tables[current], count, deviceFilled, batchStream);
        launchKernel(kernel, blocksPerGrid, d_factors, d_candidateTable, nCurrent, d_proofs, proofBits, batchStream);
        CUDA_GUARD(cudaEventRecord(batchDone, batchStream));

        // The next segment, while the device tests this one. It starts where
        // this batch ends whatever the device finds.
        const uint64_t left = remaining - examined;
        uint32_t nextExamined = 0, nextCount = 0;
        if (left > 0)
            nextCount = sieveInto(segment, a + 2 * static_cast<uint64_t>(examined), left, marker,
                                  tables[current ^ 1], nextExamined);

        cudaError_t waited = cudaEventSynchronize(batchDone);
        if (waited != cudaSuccess) BatchWaitFailed(waited);
        // A stop may have cut the launch short: the batch counts as not
        // tested, and the segment sieved ahead is dropped.
        if (stopSignal) {
            StopBeforeBatch(a);
            finished = false;
            break;
        }
        BookBatch(count, examined, a, remaining);
        if (remaining == 0) break;
        if (stopSignal) {
            StopBeforeBatch(a);
            finished = false;
            break;
        }
        current ^= 1;
        count = nextCount;
        examined = nextExamined;
    }
    free(segment);
    return finished;
}
