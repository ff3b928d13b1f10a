// The one place where the host build chooses how batches are tested: the
// fastest path the processor offers, decided once at start-up; tests and
// benchmarks may force another available path.
#include "hostpaths/host_paths.h"

#include "quilbrex.h"

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

// Each count is the smallest of a ladder (up to 3,000,000) within 3 % of the
// most k-range per CPU second of the whole search (sieve and test on the
// host's own cores), measured with the path by `host_vs_gmp_bench depth` at
// word counts 3, 5, 8, 11, 14, 17 and 20; the word counts between take the
// deeper neighbour's count. The 64-bit words' (on a Zen 3) keep 4 between the
// flat optimum of 3 and the deepest of 5. The IFMA path tests a candidate
// about ten times faster, so sieving pays less: shallower at narrow widths.
const uint32_t primeCountsWord64[18] = {300000,  1000000, 3000000, 3000000, 3000000, 3000000,
                                        3000000, 3000000, 3000000, 3000000, 3000000, 3000000,
                                        3000000, 3000000, 3000000, 3000000, 3000000, 1000000};
const uint32_t primeCountsIfma[18] = {10000,   300000,  300000,  1000000, 1000000, 1000000,
                                      1000000, 1000000, 1000000, 1000000, 1000000, 1000000,
                                      3000000, 3000000, 3000000, 3000000, 3000000, 3000000};

const uint32_t* hostPathPrimeCounts(HostTestPath path) {
    // A path without a measured table of its own (the reference, the
    // emulation, and AVX2 until its depths are measured) sieves as the 64-bit
    // words do.
    return path == hostPathIfma ? primeCountsIfma : primeCountsWord64;
}

HostTestPath hostPathInUse = hostPathBest();
// Before main: the run configuration reads the counts of the path in use.
[[maybe_unused]] static const bool countsChosen = (hostPrimeCounts = hostPathPrimeCounts(hostPathInUse), true);

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
    hostPrimeCounts = hostPathPrimeCounts(path);
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

