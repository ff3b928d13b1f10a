// Searching one exponent with the sieve on the device: per exponent the
// primes and their start data go to the device once; per batch the device
// sieves a segment, gathers its survivors into the candidate table and tests
// them, and the host copies only a few words each way.
#pragma once

#include <cstdint>

// Which sieve the search uses: the device's (true) or the host's, its
// reference. Chosen here once, by the build's QUILBREX_DEVICE_SIEVE; tests
// force either.
extern bool sieveOnDevice;

// The device sieve's prime count for candidates of `width` words (3 to 20).
uint32_t DeviceSievePrimeCount(uint32_t width);

// Sieve() with the device sieve: the same contract, batches, checkpoints,
// stops and reports.
bool DeviceSieve(uint64_t firstK, uint64_t lastK);

// The steps of DeviceSieve, for tests and the self-test. Per exponent:
// primeTable (primeCount) to the device and 2^(-n) mod q computed there.
void PrepareDeviceSieve(uint32_t n);
// Queues one batch's sieve of `length` odd k from the odd a into
// d_candidateTable: at most threadsPerGrid survivors in ascending order, zero
// from their count to the end of blocksPerGrid*256 entries.
void LaunchDeviceSieveBatch(uint64_t a, uint32_t length);
// After the device has finished the batch: the candidates gathered and the
// odd k of the segment it consumed (the whole length unless the batch filled).
void ReadDeviceSieveControl(uint32_t& count, uint32_t& examined);
// Frees the device sieve's buffers (at the end of the run).
void ReleaseDeviceSieve();
