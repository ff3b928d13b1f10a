// The 35 factor-test kernels: thread i tests candidate table entry i with its
// member's width and band and appends k to the factor report buffer on a hit.
// The host build also registers them with the host runtime before main runs.
#include "kernels/factor_kernels.h"

#include "kernels/factor_arithmetic.h"
#include "kernels/portable.h"
#include "quilbrex.h"

// One thread's work; records beyond the buffer's capacity are counted but not
// written (the buffer has a record per thread of the largest grid, so this
// only guards against a grid larger than the program ever launches).
template <int W, int J>
__device__ __forceinline__ void testCandidate(unsigned int* factors, unsigned long long* candidates, unsigned int n) {
    const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned long long k = candidates[i];
    if (factorTest<W, J>(k, n)) {
        const unsigned int r = atomicAdd(&factors[0], 1u);
        if (r < FACTOR_RECORD_CAPACITY) {
            factors[1 + 3 * r] = (unsigned int)k;
            factors[2 + 3 * r] = (unsigned int)(k >> 32);
        }
    }
}

#define QUILBREX_DEFINE_KERNEL(WIDTH, BAND, LENGTH, NAME)                                      \
    __global__ void NAME(unsigned int* factors, unsigned long long* candidates, unsigned int n) { \
        testCandidate<WIDTH, BAND>(factors, candidates, n);                                     \
    }

QUILBREX_KERNEL_FAMILY(QUILBREX_DEFINE_KERNEL)

#undef QUILBREX_DEFINE_KERNEL

#ifndef __CUDACC__

#include <cstdlib>

namespace {

typedef void (*FactorKernel)(unsigned int*, unsigned long long*, unsigned int);

// Calls a kernel with the argument copies the host runtime made at launch.
void invokeFactorKernel(const void* func, void** args) {
    reinterpret_cast<FactorKernel>(const_cast<void*>(func))(
        *static_cast<unsigned int**>(args[0]), *static_cast<unsigned long long**>(args[1]),
        *static_cast<unsigned int*>(args[2]));
}

void unregisterFactorKernels() { hostUnregisterFunctions(); }

// What the CUDA toolchain's module registration does for the device build:
// bind each host-side entry to its device name, unbind at exit.
bool registerFactorKernels() {
    static const size_t argSizes[3] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int)};
#define QUILBREX_REGISTER_KERNEL(WIDTH, BAND, LENGTH, NAME)                                                  \
    hostRegisterFunction(reinterpret_cast<const void*>(&NAME), "_Z" #LENGTH #NAME "PjPyj", invokeFactorKernel, \
                         3, argSizes);
    QUILBREX_KERNEL_FAMILY(QUILBREX_REGISTER_KERNEL)
#undef QUILBREX_REGISTER_KERNEL
    std::atexit(unregisterFactorKernels);
    return true;
}

const bool factorKernelsRegistered = registerFactorKernels();

}  // namespace

#endif  // !__CUDACC__
