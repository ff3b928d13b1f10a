// The host build's launch of the factor-test kernels: each member registered
// with the host runtime before main runs, a launch testing its grid's table
// entries in batches on the path in use, and the reference path (the device
// arithmetic itself) that the fast paths are held to.
#include <cstdlib>

#include "hostpaths/host_paths.h"
#include "kernels/factor_arithmetic.h"
#include "kernels/factor_kernels.h"
#include "kernels/factor_record.h"

template <int W, int J>
void referenceBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    for (uint32_t i = 0; i < count; ++i) hit[i] = (uint8_t)factorVerdict<W, J>(k[i], n, t);
}

#define QUILBREX_INSTANTIATE_REFERENCE(WIDTH, BAND, LENGTH, NAME) \
    template void referenceBatch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint32_t, uint8_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_REFERENCE)
#undef QUILBREX_INSTANTIATE_REFERENCE

// Here, beside the reference it names, so that the path choice never calls
// into the launch.
HostBatchTest hostBatchFor(HostTestPath path, uint32_t width, uint32_t band) {
#define QUILBREX_BATCH_OF_MEMBER(WIDTH, BAND, LENGTH, NAME)                               \
    if (width == WIDTH && band == BAND)                                                   \
        return path == hostPathIfma           ? &ifmaBatch<WIDTH, BAND>                   \
               : path == hostPathIfmaEmulated ? &ifmaEmulatedBatch<WIDTH, BAND>           \
               : path == hostPathAvx2         ? &avx2Batch<WIDTH, BAND>                   \
               : path == hostPathWord64       ? &word64Batch<WIDTH, BAND>                 \
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
    unsigned int* proofs = *static_cast<unsigned int**>(args[3]);
    const unsigned int t = *static_cast<unsigned int*>(args[4]);
    constexpr unsigned CHUNK = 256;
    uint8_t hit[CHUNK];
    for (unsigned done = 0; done < count; done += CHUNK) {
        const unsigned size = count - done < CHUNK ? count - done : CHUNK;
        hostBatch<W, J>(candidates + done, size, n, t, hit);
        for (unsigned i = 0; i < size; ++i) {
            if (hit[i] & VERDICT_FACTOR) appendFactorRecord(factors, candidates[done + i]);
            if ((hit[i] & VERDICT_PROOF) && proofs) appendProofRecord(proofs, candidates[done + i]);
        }
    }
}

void unregisterFactorKernels() { hostUnregisterFunctions(); }

// What the CUDA toolchain's module registration does for the device build:
// bind each host-side entry to its device name, unbind at exit. A launch
// runs the member's batch test over ranges of the grid, never the per-thread
// entry.
bool registerFactorKernels() {
    static const size_t argSizes[5] = {sizeof(unsigned int*), sizeof(unsigned long long*), sizeof(unsigned int),
                                       sizeof(unsigned int*), sizeof(unsigned int)};
#define QUILBREX_REGISTER_KERNEL(WIDTH, BAND, LENGTH, NAME)                                                  \
    hostRegisterFunction(reinterpret_cast<const void*>(&NAME), "_Z" #LENGTH #NAME QUILBREX_KERNEL_PARAMETERS_MANGLED, \
                         nullptr, 5, argSizes, invokeFactorBatch<WIDTH, BAND>);
    QUILBREX_KERNEL_FAMILY(QUILBREX_REGISTER_KERNEL)
#undef QUILBREX_REGISTER_KERNEL
    std::atexit(unregisterFactorKernels);
    hostSetDeviceNote(hostPathName(hostPathBest()));
    return true;
}

}  // namespace

// Nothing calls into this file, so the library asks every program that links
// it to take this symbol, and with it the registration (see CMakeLists.txt).
extern "C" const bool quilbrexFactorKernelsRegistered = registerFactorKernels();
