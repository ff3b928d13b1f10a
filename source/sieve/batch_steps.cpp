// The steps that the serial and the overlapped batch loops share, so that
// both count, record and checkpoint a batch in exactly the same way.
#include "sieve/batch_steps.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal_exit.h"
#include "gpu/cuda_guard.h"
#include "quilbrex.h"
#include "sieve/factor_report.h"
#include "sieve/proof_report.h"
#include "workfiles/checkpoint.h"
#include "workunit/boinc_workunit.h"

uint8_t* NewSieveSegment() {
    uint8_t* segment = static_cast<uint8_t*>(malloc(sieveRange));
    if (!segment) {
        perror("\nThere is not enough memory to allocate a table for the sieve");
        FatalExit(1);
    }
    return segment;
}

// Entries beyond the batch, up to the end of the grid, must be zero on the
// device: the kernel tests every entry of the grid, and a zero ends at once
// without a hit, while a leftover candidate would be tested, and reported, a
// second time. Only the first deviceFilled entries can hold one, so only
// those are zeroed and copied, not the whole grid at every short batch.
void ShipBatch(unsigned long long* hostTable, uint32_t count, size_t& deviceFilled, cudaStream_t stream) {
    sizeTable = count * 8;
    size_t gridEntries = static_cast<size_t>(blocksPerGrid) * 256;
    if (gridEntries > MAX_BATCH) gridEntries = MAX_BATCH;
    size_t entries = count;
    if (count < gridEntries) {
        entries = std::max<size_t>(count, std::min(deviceFilled, gridEntries));
        memset(hostTable + count, 0, 8 * (entries - count));
    }
    CUDA_GUARD(cudaMemcpyAsync(d_candidateTable, hostTable, 8 * entries, cudaMemcpyHostToDevice, stream));
    deviceFilled = count;
}

void BatchWaitFailed(cudaError_t error) {
    printf("cudaThreadSynchronize failed!\n");
    checkCudaErrors(error, __FILE__, __LINE__);
}

namespace {

void bookBatch(uint32_t count, uint32_t examined, uint64_t& a, uint64_t& remaining, const uint32_t* factorWords,
               const uint32_t* proofWords) {
    // Queued here, written before any checkpoint moves past the batch.
    if (proofWords)
        RecordProofReports(proofWords, a, examined);
    else
        ReadProofReports(a, examined);
    kTested += count;
    remaining -= examined;
    // Counting what remains, instead of comparing a with the last k, keeps
    // every step clear of the wrap-around at 2^64.
    if (remaining > 0) a += 2 * static_cast<uint64_t>(examined);

    // Factors are on disk before any checkpoint moves past them, so a stop in
    // between can never lose one.
    uint32_t found = factorWords ? RecordFactorReports(factorWords) : ReadFactorReports();
    foundFactors += found;
    BoincReportProgress(remaining);
    if (remaining > 0) CheckpointIfDue(a, found != 0 ? CHECKPOINT_FACTOR_FOUND : CHECKPOINT_BATCH_DONE);
}

}  // namespace

void BookBatch(uint32_t count, uint32_t examined, uint64_t& a, uint64_t& remaining) {
    bookBatch(count, examined, a, remaining, nullptr, nullptr);
}

void BookReportedBatch(uint32_t count, uint32_t examined, uint64_t& a, uint64_t& remaining,
                       const uint32_t* factorWords, const uint32_t* proofWords) {
    bookBatch(count, examined, a, remaining, factorWords, proofWords);
}

void StopBeforeBatch(uint64_t a) {
    CheckpointIfDue(a, CHECKPOINT_STOP);
    kCurrent = a;
}
