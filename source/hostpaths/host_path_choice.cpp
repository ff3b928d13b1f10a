// The one place where the host build chooses how batches are tested: the
// fastest path the processor offers, decided once at start-up; tests and
// benchmarks may force another available path.
#include "hostpaths/host_paths.h"

HostProcessor hostProcessor() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    static const HostProcessor processor = {avx2Supported(), ifmaSupported()};
#else
    static const HostProcessor processor = {false, false};
#endif
    return processor;
}

HostTestPath hostPathFor(HostProcessor processor) {
    if (processor.avx512ifma) return hostPathIfma;
    // Processors with AVX2 and without AVX-512 IFMA (Haswell to Zen 3, most
    // of Intel's client cores): four candidates at once in 29-bit limbs.
    if (processor.avx2) return hostPathAvx2;
    return hostPathWord64;
}

// Asked of the processor on first use, which may come from another file's
// static initialisation (the kernels' registration names the path).
HostTestPath hostPathBest() {
    static const HostTestPath best = hostPathFor(hostProcessor());
    return best;
}

HostTestPath hostPathInUse = hostPathBest();

bool hostPathAvailable(HostTestPath path) {
    switch (path) {
        case hostPathReference:
        case hostPathWord64:
        case hostPathIfmaEmulated: return true;
        case hostPathIfma: return hostProcessor().avx512ifma;
        case hostPathAvx2: return hostProcessor().avx2;
        default: return false;
    }
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
        case hostPathIfmaEmulated: return "AVX-512 IFMA, emulated";
        case hostPathAvx2: return "AVX2";
        default: return "unknown";
    }
}

HostResidue hostResidueFor(HostTestPath path, uint32_t width, uint32_t band) {
#define QUILBREX_RESIDUE_OF_MEMBER(WIDTH, BAND, LENGTH, NAME)                                 \
    if (width == WIDTH && band == BAND) {                                                     \
        switch (path) {                                                                       \
            case hostPathIfma: return &ifmaResidue<WIDTH, BAND>;                              \
            case hostPathIfmaEmulated: return &ifmaEmulatedResidue<WIDTH, BAND>;              \
            case hostPathAvx2: return &avx2Residue<WIDTH, BAND>;                              \
            case hostPathWord64: return &word64Residue<WIDTH, BAND>;                          \
            default: return nullptr;                                                          \
        }                                                                                     \
    }
    QUILBREX_KERNEL_FAMILY(QUILBREX_RESIDUE_OF_MEMBER)
#undef QUILBREX_RESIDUE_OF_MEMBER
    return nullptr;
}

