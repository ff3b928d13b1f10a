// The device sieve's kernels, for nvcc (sieve_kernels.cu) and for the host
// stand-in, which runs each block's threads as CUDA would: shared memory per
// block, barriers, and a seeded order of the threads between barriers.
#include "kernels/sieve_kernels.h"
#include "kernels/sieve_kernel_bodies.h"

__global__ void quilbrexSieveInverses(DeviceSieveArgs args) { sieveInverses(args); }
__global__ void quilbrexSieveStarts(DeviceSieveArgs args) { sieveStarts(args); }
__global__ void quilbrexSieveLarge(DeviceSieveArgs args) { sieveLarge(carriedArgs(args)); }
__global__ void quilbrexSieveFar(DeviceSieveArgs args) { sieveFar(carriedArgs(args)); }
__global__ void quilbrexSieveSmall(DeviceSieveArgs args) { sieveSmall<0>(carriedArgs(args)); }
__global__ void quilbrexSieveGather(DeviceSieveArgs args) { sieveGather<0>(carriedArgs(args)); }
__global__ void quilbrexSieveNext(DeviceSieveArgs args) { sieveNext(args); }

#define QUILBREX_SIEVE_ENTRY(LENGTH, NAME, GRID, WHEN, BARRIERS) \
    {#NAME, "_Z" #LENGTH #NAME "15DeviceSieveArgs", GRID, WHEN, BARRIERS, NAME},
SieveKernelEntry sieveKernelTable[SIEVE_KERNEL_COUNT] = {QUILBREX_SIEVE_KERNELS(QUILBREX_SIEVE_ENTRY)};
#undef QUILBREX_SIEVE_ENTRY

#ifndef __CUDACC__

namespace {

void invokeSieveKernel(const void* func, void** args) {
    reinterpret_cast<SieveKernelFunction>(const_cast<void*>(func))(*static_cast<DeviceSieveArgs*>(args[0]));
}

bool registerSieveKernels() {
    static const size_t argSizes[1] = {sizeof(DeviceSieveArgs)};
    // Kernels without barriers run thread after thread; the others as
    // blocks of fibers.
    for (const SieveKernelEntry& entry : sieveKernelTable) {
        const void* function = reinterpret_cast<const void*>(entry.function);
        if (entry.barriers)
            hostRegisterBlockFunction(function, entry.mangledName, invokeSieveKernel, 1, argSizes);
        else
            hostRegisterFunction(function, entry.mangledName, invokeSieveKernel, 1, argSizes);
    }
    return true;
}

const bool sieveKernelsRegistered = registerSieveKernels();

}  // namespace

#endif  // !__CUDACC__
