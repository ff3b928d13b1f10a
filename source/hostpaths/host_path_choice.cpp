// The one place where the host build chooses how batches are tested: the
// fastest path the processor offers, decided once at start-up; tests and
// benchmarks may force another available path.
#include "hostpaths/host_paths.h"

// Asked of the processor on first use, which may come from another file's
// static initialisation (the kernels' registration names the path).
HostTestPath hostPathBest() {
    static const HostTestPath best = ifmaSupported()   ? hostPathIfma
                                     : avx2Supported() ? hostPathAvx2
                                                       : hostPathWord64;
    return best;
}

HostTestPath hostPathInUse = hostPathBest();

bool hostPathAvailable(HostTestPath path) {
    return path == hostPathReference || path == hostPathWord64 || (path == hostPathIfma && ifmaSupported()) ||
           (path == hostPathAvx2 && avx2Supported());
}

bool hostForcePath(HostTestPath path) {
    if (!hostPathAvailable(path)) return false;
    hostPathInUse = path;
    return true;
}

const char* hostPathName(HostTestPath path) {
    switch (path) {
        case hostPathReference: return "32-bit reference";
        case hostPathWord64: return "64-bit words";
        case hostPathIfma: return "AVX-512 IFMA";
        case hostPathAvx2: return "AVX2";
        default: return "unknown";
    }
}

HostResidue hostResidueFor(HostTestPath path, uint32_t width, uint32_t band) {
#define QUILBREX_RESIDUE_OF_MEMBER(WIDTH, BAND, LENGTH, NAME)                                           \
    if (width == WIDTH && band == BAND)                                                                 \
        return path == hostPathIfma     ? &ifmaResidue<WIDTH, BAND>                                     \
               : path == hostPathAvx2   ? &avx2Residue<WIDTH, BAND>                                     \
               : path == hostPathWord64 ? &word64Residue<WIDTH, BAND>                                   \
                                        : nullptr;
    QUILBREX_KERNEL_FAMILY(QUILBREX_RESIDUE_OF_MEMBER)
#undef QUILBREX_RESIDUE_OF_MEMBER
    return nullptr;
}

bool hostResidueIsInverse(HostTestPath path) { return path == hostPathAvx2 && avx2Supported(); }
