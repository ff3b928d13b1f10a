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

HostTestPath hostPathInUse = hostPathBest();

namespace {

// Indexed by width - 3. Each count is the smallest of the ladder 100, 1,000,
// 10,000, 30,000, 100,000, 300,000, 1,000,000, 3,000,000 whose whole search
// (sieve and test on the host's own cores, `host_vs_gmp_bench depth`) came
// within 3 % of the most k-range per CPU second on that path, measured at
// widths 3, 5, 8, 11, 14, 17 and 20 (where runs disagreed, their median per
// count decides); the widths between take the deeper neighbour's count.
const uint32_t primeCountIfma[18] = {10000,   100000,  100000,  300000,  300000,  300000,
                                     1000000, 1000000, 1000000, 1000000, 1000000, 1000000,
                                     3000000, 3000000, 3000000, 3000000, 3000000, 3000000};
const uint32_t primeCountAvx2[18] = {300000,  300000,  300000,  3000000, 3000000, 3000000,
                                     3000000, 3000000, 1000000, 3000000, 3000000, 3000000,
                                     3000000, 3000000, 3000000, 3000000, 3000000, 3000000};
// Width 4 lies between the flat optimum of 3 and the deepest of 5.
const uint32_t primeCountWord64[18] = {300000,  1000000, 3000000, 3000000, 3000000, 3000000,
                                       3000000, 3000000, 3000000, 3000000, 3000000, 3000000,
                                       3000000, 3000000, 3000000, 3000000, 3000000, 1000000};

uint32_t primeCountInUse(uint32_t width) { return hostPrimeCount(hostPathInUse, width); }

// The run configuration asks for the host device's depth through this.
[[maybe_unused]] const bool primeCountsOffered = (hostDevicePrimeCount = primeCountInUse, true);

}  // namespace

uint32_t hostPrimeCount(HostTestPath path, uint32_t width) {
    if (width < 3 || width > 20) return 0;
    switch (path) {
        // The emulation runs the IFMA path's arithmetic: it sieves as that path does.
        case hostPathIfma:
        case hostPathIfmaEmulated: return primeCountIfma[width - 3];
        case hostPathAvx2: return primeCountAvx2[width - 3];
        default: return primeCountWord64[width - 3];
    }
}

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

