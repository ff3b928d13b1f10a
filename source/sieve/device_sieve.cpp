// The device-sieve search of one exponent, queued: the device carries the
// next a and the primes' starts from batch to batch, the host keeps a few
// batches queued ahead and books batch i (report checked, factors recorded,
// checkpoint offered) from the copies that come back behind it, while the
// device runs the batches after it. Batches are booked strictly in order, and
// an audited batch only once the host's audit of it has passed, so a
// checkpoint never passes a batch that was not booked.
#include "sieve/device_sieve.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "fatal_exit.h"
#include "gpu/cuda_guard.h"
#include "kernels/kernel_registry.h"
#include "kernels/sieve_kernels.h"
#include "quilbrex.h"
#include "sieve/batch_steps.h"
#include "sieve/factor_report.h"
#include "sieve/sieve_audit.h"

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
DeviceSieveCarry* d_carry;
uint32_t primeRoom, sliceRoom;
DeviceSieveArgs sieveArgs;
// The a the offsets on the device count from, once a batch of this exponent
// has set them: a batch that follows starts by moving them on.
bool offsetsSet;
uint64_t offsetsA;

cudaError_t launchSieveKernels(SieveKernelWhen when, cudaStream_t stream) {
    cudaError_t refused = cudaSuccess;
    for (const SieveKernelEntry& entry : sieveKernelTable) {
        if (entry.when != when) continue;
        const uint32_t threads = entry.grid == SIEVE_GRID_PRIMES ? sieveArgs.primeCount
                                 : entry.grid == SIEVE_GRID_NEAR ? (sieveArgs.farFrom + SIEVE_LARGE_PRIMES - 1) /
                                                                       SIEVE_LARGE_PRIMES
                                                                 : (sieveArgs.primeCount - sieveArgs.farFrom +
                                                                    SIEVE_FAR_PRIMES - 1) / SIEVE_FAR_PRIMES;
        const uint32_t blocks = entry.grid == SIEVE_GRID_ONE      ? 1
                                : entry.grid == SIEVE_GRID_SLICES ? sieveArgs.slices
                                                                  : (threads + SIEVE_BLOCK_THREADS - 1) /
                                                                        SIEVE_BLOCK_THREADS;
        if (blocks == 0) continue;
        void* args[] = {&sieveArgs};
        const cudaError_t launched =
            cudaLaunchKernel(reinterpret_cast<const void*>(entry.function), dim3(blocks),
                             dim3(entry.grid == SIEVE_GRID_ONE ? 1 : SIEVE_BLOCK_THREADS), args, 0, stream);
        if (refused == cudaSuccess) refused = launched;
    }
    return refused;
}

void makeSliceRoom(uint32_t slices) {
    if (slices <= sliceRoom) return;
    if (d_bits) CUDA_GUARD(cudaFree(d_bits));
    if (d_sliceCounts) CUDA_GUARD(cudaFree(d_sliceCounts));
    const size_t words = static_cast<size_t>(slices) * SIEVE_SLICE_WORDS;
    CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_bits), 4 * words));
    CUDA_GUARD(cudaMemset(d_bits, 0, 4 * words));
    CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_sliceCounts), 4 * static_cast<size_t>(slices)));
    sliceRoom = slices;
}

uint32_t primesBelow(uint64_t bound) {
    return static_cast<uint32_t>(std::lower_bound(primeTable, primeTable + primeCount, bound) - primeTable);
}

// The first of the Far kernel's primes for segments of `length` odd k: none
// below it or below a slice, on a boundary of its vector loads.
uint32_t farFrom(uint32_t length) {
    const uint32_t from = std::max(primesBelow(length), primesBelow(SIEVE_SLICE_BITS));
    return std::min(primeCount, (from + SIEVE_FAR_PRIMES - 1) / SIEVE_FAR_PRIMES * SIEVE_FAR_PRIMES);
}

uint32_t gridEntries() { return std::min<uint32_t>(blocksPerGrid * 256, MAX_BATCH); }

// --- the queue ----------------------------------------------------------------

// Three batches queued: while the host books one, the device has the next
// and the one after it, so it never waits for the host.
constexpr int QUEUE_DEPTH = 3;
// The count and three records: all that almost every batch has to send back.
constexpr uint32_t SHORT_REPORT_WORDS = 10;
// A batch's report on the device, in one allocation, so that one clear and
// one copy serve it whole: the control words, the proof table and the factor
// report buffer, of which the copy takes the count and first records.
constexpr uint32_t REPORT_PROOFS = SIEVE_CONTROL_WORDS;
constexpr uint32_t REPORT_FACTORS = REPORT_PROOFS + PROOF_TABLE_WORDS;
constexpr uint32_t REPORT_SHORT_WORDS = REPORT_FACTORS + SHORT_REPORT_WORDS;

struct QueueSlot {
    uint32_t* report;        // page-locked: the first REPORT_SHORT_WORDS of deviceReport
    uint32_t* deviceReport;  // the batch's own report on the device
    cudaEvent_t sieved;      // recorded on the sieve stream once its candidates are in their table
    cudaEvent_t tested;      // recorded on the test stream after its test
    cudaEvent_t done;        // recorded on the copy stream after the copy back
    bool audited;
};
QueueSlot slots[QUEUE_DEPTH];
// The sieve of the next batch runs beside the test of the one before it, and
// the copies back on a stream of their own: the gaps between one stream's
// kernels are filled with the other's work, and one test follows the next
// without waiting for a copy. Two candidate tables take turns; a batch's
// sieve waits until the test two batches back (and its audit copy) has read
// the table it will fill.
cudaStream_t sieveStream, testStream, copyStream;
unsigned long long* d_secondTable;
cudaEvent_t tableRead[2];
bool tableInUse[2];
// Page-locked: the candidate table of the batch under audit.
unsigned long long* auditTable;

void prepareQueue() {
    if (sieveStream) return;
    CUDA_GUARD(cudaStreamCreate(&sieveStream));
    CUDA_GUARD(cudaStreamCreate(&testStream));
    CUDA_GUARD(cudaStreamCreate(&copyStream));
    const unsigned int eventFlags = cudaEventBlockingSync | cudaEventDisableTiming;
    for (QueueSlot& slot : slots) {
        CUDA_GUARD(cudaHostAlloc(reinterpret_cast<void**>(&slot.report), 4 * REPORT_SHORT_WORDS, cudaHostAllocDefault));
        CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&slot.deviceReport),
                              4 * static_cast<size_t>(REPORT_FACTORS) + FACTOR_BUFFER_BYTES));
        CUDA_GUARD(cudaEventCreateWithFlags(&slot.sieved, eventFlags));
        CUDA_GUARD(cudaEventCreateWithFlags(&slot.tested, eventFlags));
        CUDA_GUARD(cudaEventCreateWithFlags(&slot.done, eventFlags));
    }
    CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_secondTable), 8 * static_cast<size_t>(MAX_BATCH)));
    for (cudaEvent_t& event : tableRead) CUDA_GUARD(cudaEventCreateWithFlags(&event, eventFlags));
    CUDA_GUARD(cudaHostAlloc(reinterpret_cast<void**>(&auditTable), 8 * static_cast<size_t>(MAX_BATCH),
                             cudaHostAllocDefault));
}

// A batch the device has finished and whose report agreed, waiting to be
// booked.
struct FinishedBatch {
    uint64_t a;
    uint32_t length, count, examined;
    bool audited;
    std::vector<uint32_t> factorWords;
    std::vector<uint32_t> proofWords;
};

[[noreturn]] void reportDisagrees(const uint32_t* r, uint64_t a, uint32_t length) {
    const uint64_t reportedA = r[SIEVE_A_LO] | static_cast<uint64_t>(r[SIEVE_A_HI]) << 32;
    const uint64_t next = r[SIEVE_NEXT_K_LO] | static_cast<uint64_t>(r[SIEVE_NEXT_K_HI]) << 32;
    fprintf(stderr,
            "\nThe device's report of the batch at n=%u, k=%llu (%u odd k) does not add up: it took %u odd k from "
            "k=%llu, examined %u, gathered %u of %u survivors and gave the next k as %llu. Stopping; the checkpoint "
            "and the assignment line stay before this batch.\n",
            nCurrent, static_cast<unsigned long long>(a), length, r[SIEVE_LENGTH],
            static_cast<unsigned long long>(reportedA), r[SIEVE_EXAMINED], r[SIEVE_COUNT], r[SIEVE_SURVIVORS],
            static_cast<unsigned long long>(next));
    FatalExit(255);
}

[[noreturn]] void launchRefused(cudaError_t error, uint64_t a) {
    fprintf(stderr,
            "\nThe device refused a launch of the batches from n=%u, k=%llu: CUDA error %d: %s. Stopping; the "
            "checkpoint and the assignment line stay before them.\n",
            nCurrent, static_cast<unsigned long long>(a), static_cast<int>(error), cudaGetErrorString(error));
    FatalExit(255);
}

[[noreturn]] void auditDisagrees(const FinishedBatch& batch, const std::string& difference) {
    fprintf(stderr,
            "\nThe host's audit of the device sieve's batch at n=%u, k=%llu (%u odd k) disagrees: %s. Stopping; the "
            "checkpoint and the assignment line stay before this batch.\n",
            nCurrent, static_cast<unsigned long long>(batch.a), batch.length, difference.c_str());
    FatalExit(255);
}

// Queues batch `number` of the range (counted from 0) in `slot`: on the
// sieve stream, its report cleared and its sieve into its candidate table; on
// the test stream, once the sieve is done, its test on the report's own
// factor buffer and proof table; on the copy stream, once the test is done,
// the copies back of its report and, when audited, of its candidate table.
void queueBatch(QueueSlot& slot, uint64_t number, bool audited, uint64_t firstUnbooked) {
    const int turn = static_cast<int>(number % 2);
    unsigned long long* table = turn == 0 ? d_candidateTable : d_secondTable;
    if (tableInUse[turn]) CUDA_GUARD(cudaStreamWaitEvent(sieveStream, tableRead[turn], 0));
    CUDA_GUARD(cudaMemsetAsync(slot.deviceReport, 0, 4 * REPORT_SHORT_WORDS, sieveStream));
    cudaError_t refused = QueueDeviceSieveBatch(sieveStream, slot.deviceReport, table);
    CUDA_GUARD(cudaEventRecord(slot.sieved, sieveStream));

    CUDA_GUARD(cudaStreamWaitEvent(testStream, slot.sieved, 0));
    unsigned int* factors = slot.deviceReport + REPORT_FACTORS;
    unsigned int* proofs = slot.deviceReport + REPORT_PROOFS;
    const cudaError_t tested =
        launchKernel(kernel, blocksPerGrid, factors, table, nCurrent, proofs, proofBits, testStream);
    if (refused == cudaSuccess) refused = tested;
    if (refused != cudaSuccess) launchRefused(refused, firstUnbooked);
    CUDA_GUARD(cudaEventRecord(slot.tested, testStream));

    CUDA_GUARD(cudaStreamWaitEvent(copyStream, slot.tested, 0));
    slot.audited = audited;
    if (audited)
        CUDA_GUARD(cudaMemcpyAsync(auditTable, table, 8 * static_cast<size_t>(gridEntries()), cudaMemcpyDeviceToHost,
                                   copyStream));
    CUDA_GUARD(cudaEventRecord(tableRead[turn], audited ? copyStream : testStream));
    tableInUse[turn] = true;
    CUDA_GUARD(cudaMemcpyAsync(slot.report, slot.deviceReport, 4 * REPORT_SHORT_WORDS, cudaMemcpyDeviceToHost,
                               copyStream));
    CUDA_GUARD(cudaEventRecord(slot.done, copyStream));
}

// The queued work is left to finish (a stop cut it short, or it ran past the
// range) and counts for nothing.
void dropQueued(std::deque<int>& inFlight) {
    for (int s : inFlight)
        if (slots[s].audited) DropChosenAudit();
    inFlight.clear();
    cudaStreamSynchronize(sieveStream);
    cudaStreamSynchronize(testStream);
    cudaStreamSynchronize(copyStream);
    tableInUse[0] = tableInUse[1] = false;
}

}  // namespace

uint32_t DeviceSievePrimeCount(uint32_t width) { return deviceSievePrimeCounts[width - 3]; }

cudaError_t PrepareDeviceSieve(uint32_t n) {
    if (primeCount > primeRoom) {
        for (uint32_t** buffer : {&d_primes, &d_inverses, &d_offsets}) {
            if (*buffer) CUDA_GUARD(cudaFree(*buffer));
            *buffer = nullptr;
            // Room for the Far kernel's last group past the table's end.
            const size_t room = (primeCount + SIEVE_FAR_PRIMES - 1) / SIEVE_FAR_PRIMES * SIEVE_FAR_PRIMES;
            CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(buffer), 4 * room));
            CUDA_GUARD(cudaMemset(*buffer, 0, 4 * room));
        }
        primeRoom = primeCount;
    }
    if (!d_control) CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_control), 4 * SIEVE_CONTROL_WORDS));
    if (!d_carry) CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_carry), sizeof(DeviceSieveCarry)));
    if (primeCount) CUDA_GUARD(cudaMemcpy(d_primes, primeTable, 4 * static_cast<size_t>(primeCount), cudaMemcpyHostToDevice));
    sieveArgs.primes = d_primes;
    sieveArgs.inverses = d_inverses;
    sieveArgs.offsets = d_offsets;
    sieveArgs.control = d_control;
    sieveArgs.candidates = d_candidateTable;
    sieveArgs.n = n;
    sieveArgs.primeCount = primeCount;
    sieveArgs.smallCount = primesBelow(SIEVE_SMALL_PRIMES_BELOW);
    sieveArgs.maskedCount = primesBelow(SIEVE_MASK_PRIMES_BELOW);
    sieveArgs.sharedCount = primesBelow(SIEVE_SHARED_PRIMES_BELOW);
    // The bit words start zero and every batch leaves them so; an earlier
    // search cut short by a stop may not have.
    if (d_bits) CUDA_GUARD(cudaMemset(d_bits, 0, 4 * static_cast<size_t>(sliceRoom) * SIEVE_SLICE_WORDS));
    offsetsSet = false;
    return launchSieveKernels(SIEVE_PER_EXPONENT, 0);
}

void LaunchDeviceSieveBatch(uint64_t a, uint32_t length) {
    const uint32_t slices = (length + SIEVE_SLICE_BITS - 1) / SIEVE_SLICE_BITS;
    makeSliceRoom(slices);
    sieveArgs.control = d_control;
    sieveArgs.candidates = d_candidateTable;
    sieveArgs.bits = d_bits;
    sieveArgs.sliceCounts = d_sliceCounts;
    sieveArgs.carry = nullptr;
    sieveArgs.a = a;
    sieveArgs.length = length;
    sieveArgs.slices = slices;
    sieveArgs.limit = threadsPerGrid;
    sieveArgs.gridEntries = gridEntries();
    sieveArgs.range = length;
    // Batches follow one another from a start, each less than 2^32 odd k on,
    // while the Far kernel's primes (whose starts mean something of their
    // own) stay at least a segment long.
    const bool farStays = offsetsSet && farFrom(length) <= sieveArgs.farFrom;
    if (!farStays) sieveArgs.farFrom = farFrom(length);
    if (farStays && a >= offsetsA && (a - offsetsA) / 2 <= UINT32_MAX) {
        sieveArgs.advance = static_cast<uint32_t>((a - offsetsA) / 2);
    } else {
        sieveArgs.advance = 0;
        launchSieveKernels(SIEVE_PER_START, 0);
    }
    offsetsSet = true;
    offsetsA = a;
    launchSieveKernels(SIEVE_PER_BATCH, 0);
}

void ReadDeviceSieveControl(uint32_t& count, uint32_t& examined) {
    uint32_t control[SIEVE_CONTROL_WORDS];
    CUDA_GUARD(cudaMemcpy(control, d_control, sizeof control, cudaMemcpyDeviceToHost));
    count = control[SIEVE_COUNT];
    examined = control[SIEVE_EXAMINED];
}

cudaError_t StartDeviceSieveRange(uint64_t a, uint64_t left) {
    DeviceSieveCarry carry;
    carry.a = a;
    carry.left = left;
    carry.length = left < sieveRange ? static_cast<uint32_t>(left) : sieveRange;
    carry.advance = 0;
    CUDA_GUARD(cudaMemcpy(d_carry, &carry, sizeof carry, cudaMemcpyHostToDevice));
    // Every batch of the range has the grid of a full segment; the slices
    // past a shorter one find nothing.
    const uint32_t slices = (sieveRange + SIEVE_SLICE_BITS - 1) / SIEVE_SLICE_BITS;
    makeSliceRoom(slices);
    sieveArgs.bits = d_bits;
    sieveArgs.sliceCounts = d_sliceCounts;
    sieveArgs.a = a;
    sieveArgs.length = carry.length;
    sieveArgs.advance = 0;
    sieveArgs.slices = slices;
    sieveArgs.limit = threadsPerGrid;
    sieveArgs.gridEntries = gridEntries();
    sieveArgs.range = sieveRange;
    sieveArgs.farFrom = farFrom(sieveRange);
    sieveArgs.carry = nullptr;
    const cudaError_t refused = launchSieveKernels(SIEVE_PER_START, 0);
    sieveArgs.carry = d_carry;
    // The explicit batches count from nowhere now.
    offsetsSet = false;
    return refused;
}

cudaError_t QueueDeviceSieveBatch(cudaStream_t stream, uint32_t* control, unsigned long long* table) {
    sieveArgs.control = control ? control : d_control;
    sieveArgs.candidates = table ? table : d_candidateTable;
    cudaError_t refused = launchSieveKernels(SIEVE_PER_BATCH, stream);
    const cudaError_t moved = launchSieveKernels(SIEVE_AFTER_QUEUED_BATCH, stream);
    return refused != cudaSuccess ? refused : moved;
}

uint32_t* DeviceSieveControlWords() { return d_control; }

bool DeviceReportAgrees(const uint32_t* r, uint64_t a, uint64_t remaining, uint32_t range, uint32_t limit) {
    const uint64_t length = std::min<uint64_t>(remaining, range);
    const uint64_t reportedA = r[SIEVE_A_LO] | static_cast<uint64_t>(r[SIEVE_A_HI]) << 32;
    const uint64_t next = r[SIEVE_NEXT_K_LO] | static_cast<uint64_t>(r[SIEVE_NEXT_K_HI]) << 32;
    const uint32_t count = r[SIEVE_COUNT], examined = r[SIEVE_EXAMINED], survivors = r[SIEVE_SURVIVORS];
    if (reportedA != a || r[SIEVE_LENGTH] != length) return false;
    if (examined == 0 || examined > length || count > examined) return false;
    if (next != a + 2 * static_cast<uint64_t>(examined)) return false;  // both wrap alike past 2^64-1
    if (count != std::min(survivors, limit)) return false;
    // A batch that filled has survivors left after it; one that did not
    // consumed its whole segment.
    return (survivors > limit) == (examined < length);
}

void ReleaseDeviceSieve() {
    for (uint32_t** buffer : {&d_primes, &d_inverses, &d_offsets, &d_bits, &d_sliceCounts, &d_control}) {
        if (*buffer) CUDA_GUARD(cudaFree(*buffer));
        *buffer = nullptr;
    }
    if (d_carry) CUDA_GUARD(cudaFree(d_carry));
    d_carry = nullptr;
    if (sieveStream) {
        for (QueueSlot& slot : slots) {
            CUDA_GUARD(cudaFreeHost(slot.report));
            CUDA_GUARD(cudaFree(slot.deviceReport));
            CUDA_GUARD(cudaEventDestroy(slot.sieved));
            CUDA_GUARD(cudaEventDestroy(slot.tested));
            CUDA_GUARD(cudaEventDestroy(slot.done));
            slot = QueueSlot{};
        }
        CUDA_GUARD(cudaFree(d_secondTable));
        d_secondTable = nullptr;
        for (cudaEvent_t& event : tableRead) {
            CUDA_GUARD(cudaEventDestroy(event));
            event = nullptr;
        }
        tableInUse[0] = tableInUse[1] = false;
        CUDA_GUARD(cudaFreeHost(auditTable));
        auditTable = nullptr;
        CUDA_GUARD(cudaStreamDestroy(sieveStream));
        CUDA_GUARD(cudaStreamDestroy(testStream));
        CUDA_GUARD(cudaStreamDestroy(copyStream));
        sieveStream = testStream = copyStream = nullptr;
    }
    primeRoom = sliceRoom = 0;
    offsetsSet = false;
}

bool DeviceSieve(uint64_t firstK, uint64_t lastK) {
    ClearFactorReports();
    // a and remaining: the first k not booked and the odd k from it on.
    uint64_t a = firstK;
    uint64_t remaining = firstK <= lastK ? (lastK - firstK) / 2 + 1 : 0;
    if (remaining == 0) return true;
    if (stopSignal) {
        StopBeforeBatch(a);
        return false;
    }
    cudaError_t refused = PrepareDeviceSieve(nCurrent);
    prepareQueue();
    if (refused == cudaSuccess) refused = StartDeviceSieveRange(a, remaining);
    if (refused != cudaSuccess) launchRefused(refused, a);

    // Where the next finished batch must start, after those whose reports
    // agreed: ahead of a by the batches waiting to be booked.
    uint64_t checkedA = a, checkedLeft = remaining;
    std::deque<int> inFlight;  // queue slots, oldest first
    std::deque<FinishedBatch> finished;
    int nextSlot = 0;
    uint64_t queued = 0;
    bool first = true;
    for (;;) {
        if (stopSignal) {
            // Whatever is queued or waits for its audit is dropped; the next
            // start resumes at the first k not booked.
            dropQueued(inFlight);
            if (!AuditIdle()) AuditOutcome();
            StopBeforeBatch(a);
            return false;
        }
        // Never more batches than could still be needed: none runs past the
        // range unless one before it filled.
        while (inFlight.size() < QUEUE_DEPTH && inFlight.size() * static_cast<uint64_t>(sieveRange) < checkedLeft &&
               (!auditEveryBatch || AuditIdle())) {
            queueBatch(slots[nextSlot], queued++, ChooseAudit(first), a);
            first = false;
            inFlight.push_back(nextSlot);
            nextSlot = (nextSlot + 1) % QUEUE_DEPTH;
        }

        if (!inFlight.empty()) {
            QueueSlot& slot = slots[inFlight.front()];
            const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(checkedLeft, sieveRange));
            const cudaError_t waited = cudaEventSynchronize(slot.done);
            if (waited != cudaSuccess) {
                fprintf(stderr,
                        "\nThe device failed on the batch at n=%u, k=%llu (%u odd k). Stopping; the checkpoint and "
                        "the assignment line stay before this batch.\n",
                        nCurrent, static_cast<unsigned long long>(checkedA), length);
                BatchWaitFailed(waited);
            }
            // A stop may have cut the batch short: it counts as not tested.
            if (stopSignal) continue;
            if (!DeviceReportAgrees(slot.report, checkedA, checkedLeft, sieveRange, threadsPerGrid))
                reportDisagrees(slot.report, checkedA, length);
            const uint32_t* proofs = slot.report + REPORT_PROOFS;
            const uint32_t* factors = slot.report + REPORT_FACTORS;
            const uint32_t proofRecords = std::min(proofs[0], PROOF_RECORD_CAPACITY);
            FinishedBatch batch{checkedA,
                                length,
                                slot.report[SIEVE_COUNT],
                                slot.report[SIEVE_EXAMINED],
                                slot.audited,
                                std::vector<uint32_t>(factors, factors + SHORT_REPORT_WORDS),
                                std::vector<uint32_t>(proofs, proofs + 1 + 2 * proofRecords)};
            const uint32_t hits = std::min(batch.factorWords[0], FACTOR_RECORD_CAPACITY);
            if (hits > 3) {
                // Rare: the records past the third, from the batch's own
                // buffer, which no batch queued after it writes.
                batch.factorWords.resize(1 + 3 * static_cast<size_t>(hits));
                CUDA_GUARD(cudaMemcpy(batch.factorWords.data(), slot.deviceReport + REPORT_FACTORS,
                                      4 * batch.factorWords.size(), cudaMemcpyDeviceToHost));
            }
            if (batch.audited)
                BeginAudit(auditTable, gridEntries(), batch.a, batch.length, nCurrent, batch.count, batch.examined,
                           threadsPerGrid);
            checkedLeft -= batch.examined;
            checkedA += 2 * static_cast<uint64_t>(batch.examined);
            finished.push_back(std::move(batch));
            inFlight.pop_front();
        } else if (!finished.empty()) {
            AuditOutcome();  // nothing else to do: the oldest batch waits for its audit
        }

        // Booked in order, an audited batch once its audit has passed; a stop
        // leaves the rest to the next start.
        while (!finished.empty() && !stopSignal) {
            FinishedBatch& batch = finished.front();
            if (batch.audited) {
                if (!AuditFinished()) break;
                const std::string difference = AuditOutcome();
                if (!difference.empty()) auditDisagrees(batch, difference);
            }
            BookReportedBatch(batch.count, batch.examined, a, remaining, batch.factorWords.data(),
                              batch.proofWords.data());
            finished.pop_front();
        }
        if (remaining == 0) break;
    }
    dropQueued(inFlight);
    return true;
}
