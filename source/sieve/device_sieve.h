// Searching one exponent with the sieve on the device: per exponent the
// primes and their start data go to the device once; the device then carries
// each batch's first k and the primes' starts to the next batch itself, so
// the host queues batches without reading anything between them and books
// each one from the report that comes back behind it.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"

// Which sieve the search uses: the device's (true) or the host's, its
// reference. Chosen here once, by the build's QUILBREX_DEVICE_SIEVE; tests
// force either.
extern bool sieveOnDevice;

// The device sieve's prime count for candidates of `width` words (3 to 20).
uint32_t DeviceSievePrimeCount(uint32_t width);

// Sieve() with the device sieve: the same contract, batches, checkpoints,
// stops and reports; any report of the device that does not add up, a launch
// the device refuses and a batch the host's audit finds different end the
// process with status 255, the checkpoint and the line before that batch.
bool DeviceSieve(uint64_t firstK, uint64_t lastK);

// The steps of DeviceSieve, for tests and the self-test. Per exponent:
// primeTable (primeCount) to the device and 2^(-n) mod q computed there.
// Returns the first launch the device refused.
cudaError_t PrepareDeviceSieve(uint32_t n);
// Queues one batch's sieve of `length` odd k from the odd a into
// d_candidateTable: at most threadsPerGrid survivors in ascending order, zero
// from their count to the end of blocksPerGrid*256 entries.
void LaunchDeviceSieveBatch(uint64_t a, uint32_t length);
// After the device has finished the batch: the candidates gathered and the
// odd k of the segment it consumed (the whole length unless survivors are
// left after the batch).
void ReadDeviceSieveControl(uint32_t& count, uint32_t& examined);

// The queued batches. The range of `left` odd k from the odd a, waiting for
// the work queued before it; then each QueueDeviceSieveBatch sieves the next
// segment of the range (sieveRange odd k, fewer at its end, none past it)
// into `table` (null: d_candidateTable) on stream, writes its report in the
// control words `control` (null: DeviceSieveControlWords()) and moves the
// carry on. The control words must be cleared before each batch. Returns the
// first launch the device refused.
cudaError_t StartDeviceSieveRange(uint64_t a, uint64_t left);
cudaError_t QueueDeviceSieveBatch(cudaStream_t stream, uint32_t* control = nullptr,
                                  unsigned long long* table = nullptr);
// The device's control words (SIEVE_CONTROL_WORDS), for copies on a stream.
uint32_t* DeviceSieveControlWords();
// Whether a report agrees with itself and with the batch the host expects
// there: its first k a, remaining odd k from a to the range's end (a batch
// takes at most range of them), at most limit candidates. A batch that filled
// has survivors left after it; one that did not consumed its whole segment.
bool DeviceReportAgrees(const uint32_t* report, uint64_t a, uint64_t remaining, uint32_t range, uint32_t limit);

// Frees the device sieve's buffers (at the end of the run).
void ReleaseDeviceSieve();
