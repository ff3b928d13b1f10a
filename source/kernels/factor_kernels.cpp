// The 35 factor-test kernels: thread i tests candidate table entry i with its
// member's width and band and appends k to the factor report buffer on a hit.
// The host build also registers them with the host runtime before main runs,
// each with a batch test that a launch runs over ranges of the grid.
#include "kernels/factor_kernels.h"

#include "kernels/factor_arithmetic.h"
#include "kernels/portable.h"
#include "quilbrex.h"

// Records beyond the buffer's capacity are counted but not written (the
// buffer has a record per thread of the largest grid, so this only guards
// against a grid larger than the program ever launches).
__device__ __forceinline__ void appendFactorRecord(unsigned int* factors, unsigned long long k) {
    const unsigned int r = atomicAdd(&factors[0], 1u);
    if (r < FACTOR_RECORD_CAPACITY) {
        factors[1 + 3 * r] = (unsigned int)k;
        factors[2 + 3 * r] = (unsigned int)(k >> 32);
    }
}

// One thread's work.
template <int W, int J>
__device__ __forceinline__ void testCandidate(unsigned int* factors, unsigned long long* candidates, unsigned int n) {
    const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
    const unsigned long long k = candidates[i];
    if (factorTest<W, J>(k, n)) appendFactorRecord(factors, k);
}

#define QUILBREX_DEFINE_KERNEL(WIDTH, BAND, LENGTH, NAME)                                      \
    __global__ void NAME(unsigned int* factors, unsigned long long* candidates, unsigned int n) { \
        testCandidate<WIDTH, BAND>(factors, candidates, n);                                     \
    }

QUILBREX_KERNEL_FAMILY(QUILBREX_DEFINE_KERNEL)

#undef QUILBREX_DEFINE_KERNEL

#ifndef __CUDACC__

#include <cstdlib>

#include "kernels/host_paths.h"

// The device arithmetic itself, candidate by candidate: the reference twin
// of the host's fast paths.
template <int W, int J>
void referenceBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint8_t* hit) {
    for (uint32_t i = 0; i < count; ++i) hit[i] = factorTest<W, J>(k[i], n);
}

#define QUILBREX_INSTANTIATE_REFERENCE(WIDTH, BAND, LENGTH, NAME) \
    template void referenceBatch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint8_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_REFERENCE)
#undef QUILBREX_INSTANTIATE_REFERENCE

// Here, beside the reference it names, so that the path choice never calls
// back into the kernels.
HostBatchTest hostBatchFor(HostTestPath path, uint32_t width, uint32_t band) {
#define QUILBREX_BATCH_OF_MEMBER(WIDTH, BAND, LENGTH, NAME)                               \
    if (width == WIDTH && band == BAND)                                                   \
        return path == hostPathIfma     ? &ifmaBatch<WIDTH, BAND>                         \
               : path == hostPathWord64 ? &word64Batch<WIDTH, BAND>                       \
                                        : &referenceBatch<WIDTH, BAND>;
    QUILBREX_KERNEL_FAMILY(QUILBREX_BATCH_OF_MEMBER)
#undef QUILBREX_BATCH_OF_MEMBER
    return nullptr;
}

namespace {

// The host launch of a member: a range of the grid's threads tests its table
// entries as one batch on the host path in use.
template <int W, int J>
void invokeFactorBatch(const void*, void** args, unsigned first, unsigned count) {
    unsigned int* factors = *static_cast<unsigned int**>(args[0]);
    const unsigned long long* candidates = *static_cast<unsigned long long**>(args[1]) + first;
    const unsigned int n = *static_cast<unsigned int*>(args[2]);
    constexpr unsigned CHUNK = 256;
    uint8_t hit[CHUNK];
    for (unsigned done = 0; done < count; done += CHUNK) {
        const unsigned size = count - done < CHUNK ? count - done : CHUNK;
        hostBatch<W, J>(candidates + done, size, n, hit);
        for (unsigned i = 0; i < size; ++i)
            if (hit[i]) appendFactorRecord(factors, candidates[done + i]);
    }
}

void unregisterFactorKernels() { hostUnregisterFunctions(); }

// What the CUDA toolchain's module registration does for the device build:
// bind each host-side entry to its device name, unbind at exit. A launch
// runs the member's batch test over ranges of the grid, never the per-thread
// entry.
bool registerFactorKernels() {
    static const size_t argSizes[3] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int)};
#define QUILBREX_REGISTER_KERNEL(WIDTH, BAND, LENGTH, NAME)                                                  \
    hostRegisterFunction(reinterpret_cast<const void*>(&NAME), "_Z" #LENGTH #NAME "PjPyj", nullptr,            \
                         3, argSizes, invokeFactorBatch<WIDTH, BAND>);
    QUILBREX_KERNEL_FAMILY(QUILBREX_REGISTER_KERNEL)
#undef QUILBREX_REGISTER_KERNEL
    std::atexit(unregisterFactorKernels);
    hostSetDeviceNote(hostPathName(hostPathBest()));
    return true;
}

const bool factorKernelsRegistered = registerFactorKernels();

}  // namespace

#endif  // !__CUDACC__
