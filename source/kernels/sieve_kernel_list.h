// The device sieve's kernels in the order a batch runs them, one row each:
// X(length of the name, name, grid: one thread per prime, SIEVE_LARGE_PRIMES
// of those below farFrom or SIEVE_FAR_PRIMES of those from it on per thread,
// or one block per slice, when: once per exponent, at a segment that does not follow the last
// one, or every batch, whether its threads meet at barriers). Every kernel takes one DeviceSieveArgs by value; everything per
// kernel is generated from here.
#pragma once

#define QUILBREX_SIEVE_KERNELS(X)                                               \
    X(21, quilbrexSieveInverses, SIEVE_GRID_PRIMES, SIEVE_PER_EXPONENT, false) \
    X(19, quilbrexSieveStarts, SIEVE_GRID_PRIMES, SIEVE_PER_START, false)      \
    X(18, quilbrexSieveLarge, SIEVE_GRID_NEAR, SIEVE_PER_BATCH, false)         \
    X(16, quilbrexSieveFar, SIEVE_GRID_FAR, SIEVE_PER_BATCH, false)            \
    X(18, quilbrexSieveSmall, SIEVE_GRID_SLICES, SIEVE_PER_BATCH, true)        \
    X(19, quilbrexSieveGather, SIEVE_GRID_SLICES, SIEVE_PER_BATCH, true)       \
    X(17, quilbrexSieveNext, SIEVE_GRID_ONE, SIEVE_AFTER_QUEUED_BATCH, false)

enum SieveKernelGrid { SIEVE_GRID_PRIMES, SIEVE_GRID_NEAR, SIEVE_GRID_FAR, SIEVE_GRID_SLICES, SIEVE_GRID_ONE };
// SIEVE_AFTER_QUEUED_BATCH: after each batch of the queued loop, which takes
// a and length from the carry.
enum SieveKernelWhen { SIEVE_PER_EXPONENT, SIEVE_PER_START, SIEVE_PER_BATCH, SIEVE_AFTER_QUEUED_BATCH };

struct DeviceSieveArgs;

#ifdef __CUDACC__
#define QUILBREX_DECLARE_SIEVE_KERNEL(LENGTH, NAME, GRID, WHEN, BARRIERS) __global__ void NAME(DeviceSieveArgs args);
#else
#define QUILBREX_DECLARE_SIEVE_KERNEL(LENGTH, NAME, GRID, WHEN, BARRIERS) void NAME(DeviceSieveArgs args);
#endif
QUILBREX_SIEVE_KERNELS(QUILBREX_DECLARE_SIEVE_KERNEL)
#undef QUILBREX_DECLARE_SIEVE_KERNEL

typedef void (*SieveKernelFunction)(DeviceSieveArgs);

struct SieveKernelEntry {
    const char* name;
    const char* mangledName;  // e.g. "_Z18quilbrexSieveLarge15DeviceSieveArgs"
    SieveKernelGrid grid;
    SieveKernelWhen when;
    bool barriers;            // its threads meet at __syncthreads
    SieveKernelFunction function;
};

constexpr int SIEVE_KERNEL_COUNT = 7;
// In list order. Not const: a test may put a variant in a kernel's place.
extern SieveKernelEntry sieveKernelTable[SIEVE_KERNEL_COUNT];
