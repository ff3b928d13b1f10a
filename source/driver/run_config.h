// The run configuration of one assignment line: word count, batch size,
// device class, prime count, sieve segment length and kernel.
#pragma once

#include <cstdint>

// Batch size for the device; reads num_digits, which must be set.
uint32_t getThreadsPerGrid(int major, int multiProcessorCount);
// Device class 0, 1 or 2, which picks the prime-count table.
uint32_t getClassGPU(int major, int multiProcessorCount);

// The sieve segment length for a prime count, for batches of
// 1048576 / divisor candidates.
uint32_t SieveRangeFor(uint32_t count, uint32_t divisor);

// Derives the configuration from nCurrent, kCurrent and deviceProp, prints the
// Runtime options block and builds the prime table. Ends the process with
// status 1 when no kernel serves the line.
void ConfigureRun();
