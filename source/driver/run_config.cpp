// Derives one assignment line's run configuration from its first candidate and the device, prints it, builds the primes.
#include "driver/run_config.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal_exit.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/device_sieve.h"
#include "sieve/prime_sieve.h"
#include "workfiles/range_split.h"

namespace {

constexpr uint32_t NEVER = UINT32_MAX;

// Devices with few multiprocessors get smaller batches at large widths, so that one
// launch stays short. Each column is the largest word count that still gets that size.
struct BatchRow {
    int major;
    int multiProcessorCount;
    uint32_t upTo1048576, upTo524288, upTo262144;
};

const BatchRow batchRows[] = {
    {3, 1, 10, 13, 17},       {3, 2, 13, 17, NEVER}, {3, 3, 16, 19, NEVER}, {3, 4, 19, NEVER, NEVER},
    {5, 2, 11, 13, 17},       {5, 3, 11, 13, 17},    {5, 4, 13, 17, NEVER},  {5, 5, 16, 19, NEVER},
    {5, 6, 19, NEVER, NEVER}, {6, 3, 16, NEVER, NEVER}, {6, 5, 19, NEVER, NEVER},
};

// Indexed by num_digits - 3. A weaker device has the host sieve with more primes.
const uint32_t primeCountLow[18] = {100,    5000,   50000,   50000,   200000,  200000,
                                    200000, 500000, 500000,  500000,  1000000, 1000000,
                                    1000000, 1000000, 1000000, 1000000, 1000000, 1000000};
const uint32_t primeCountMedium[18] = {20,     100,    500,    20000,  20000,  100000,
                                       200000, 200000, 200000, 500000, 500000, 500000,
                                       500000, 500000, 500000, 500000, 500000, 500000};
const uint32_t primeCountHigh[18] = {4,      4,      50,     100,    1000,   5000,
                                     20000,  50000,  200000, 200000, 200000, 200000,
                                     200000, 500000, 500000, 500000, 500000, 500000};

// Compute capability 0.0: the host build's device, the host processor itself.
bool isHostDevice() { return deviceProp.major == 0 && deviceProp.minor == 0; }

uint32_t highestSetBit(uint64_t k) {
    uint32_t b = 0;
    while (k > 1) {
        k >>= 1;
        ++b;
    }
    return b;
}

// The line would stay first in worktodo.txt and be refused at every start:
// say which k no kernel serves and what the user can do about it.
void explainUnservedLine(uint32_t n, bool tooLong) {
    if (tooLong)
        fprintf(stderr,
                "\nThe line %s cannot be searched: at n=%u no kernel serves k from %llu to %llu (p too long for the "
                "band's kernel from k=%llu on). Edit its k range in worktodo.txt or remove the line.\n",
                assignmentLineText, n, static_cast<unsigned long long>(kStart),
                static_cast<unsigned long long>(kEnd), static_cast<unsigned long long>(UpperWordThreshold(n)));
    else
        fprintf(stderr,
                "\nThe line %s cannot be searched: at n=%u no kernel serves k from %llu to %llu (p too short for the "
                "band's kernels below k=%llu). Edit its k range in worktodo.txt or remove the line.\n",
                assignmentLineText, n, static_cast<unsigned long long>(kStart),
                static_cast<unsigned long long>(kEnd), static_cast<unsigned long long>(LowerWordThreshold(n)));
}

// Refuses lines that no kernel serves; the messages deliberately lack the usual leading newline.
const KernelEntry* chooseKernel(uint32_t n, uint32_t digits) {
    if (n < 32) {
        printf("No kernel for n < 32\n");
        FatalExit(1);
    }
    if (n > 607) {
        printf("No kernel for that Fermat number\n");
        FatalExit(1);
    }
    uint32_t band = n / 32;
    bool served = band == 18 ? digits == 20 : (digits == band + 2 || digits == band + 3);
    const KernelEntry* entry = served ? kernelFor(n, digits) : nullptr;
    if (!entry) {
        printf("No kernel for that bit level\n");
        explainUnservedLine(n, digits > band + 2);
        FatalExit(1);
    }
    return entry;
}

}  // namespace

uint32_t SieveRangeFor(uint32_t count, uint32_t divisor) {
    if (count <= 9) return 2523140 / divisor;
    double L = std::log10(static_cast<double>(count));
    // Kept in exactly this order and precision: the segment lengths are defined by this evaluation.
    double S = (L * 259.09 + (-2.5389 * L) * L) + 88.483;
    uint32_t segment = static_cast<uint32_t>(S);
    return (segment * 10000) / divisor;
}

uint32_t getThreadsPerGrid(int major, int multiProcessorCount) {
    for (const BatchRow& row : batchRows) {
        if (row.major != major || row.multiProcessorCount != multiProcessorCount) continue;
        if (num_digits <= row.upTo1048576) return 1048576;
        if (num_digits <= row.upTo524288) return 524288;
        if (num_digits <= row.upTo262144) return 262144;
        return 131072;
    }
    return 1048576;
}

uint32_t getClassGPU(int major, int multiProcessorCount) {
    int m = multiProcessorCount;
    switch (major) {
        case 3:
            if (m == 1 || m == 2) return 0;
            if (m == 3 || m == 4) return 1;
            return 2;
        case 5:
            if (m == 2 || m == 3) return 0;
            if (m == 4 || m == 5 || m == 6) return 1;
            return 2;
        case 6:
            if (m == 3 || m == 5 || m == 6) return 1;
            return 2;
        case 0:
            // Compute capability 0.0 is the host build's device, the host
            // processor itself, which the class table leaves to the host
            // layer: class 0, and its own prime counts.
            return 0;
        default:
            return 2;
    }
}

void ConfigureRun() {
    num_digits = ((highestSetBit(kCurrent) + nCurrent) >> 5) + 1;
    threadsPerGrid = getThreadsPerGrid(deviceProp.major, deviceProp.multiProcessorCount);
    blocksPerGrid = (threadsPerGrid + 255) >> 8;
    uint32_t divisor = 1048576 / threadsPerGrid;
    classGPU = getClassGPU(deviceProp.major, deviceProp.multiProcessorCount);

    // Chosen before the prime-count look-up: the tables only cover the word counts a kernel serves.
    kernel = chooseKernel(nCurrent, num_digits);

    const uint32_t* counts = classGPU == 0 ? primeCountLow : classGPU == 1 ? primeCountMedium : primeCountHigh;
    // The host device has no row in the class table: its depth follows the
    // way its host layer tests the candidates.
    primeCount = isHostDevice() && hostDevicePrimeCount ? hostDevicePrimeCount(num_digits) : counts[num_digits - 3];
    sieveRange = SieveRangeFor(primeCount, divisor);
    // Two bands have depths of their own on a graphics device; the host's
    // counts were measured with the formula's segment lengths.
    const bool graphicsDevice = !isHostDevice();
    if (graphicsDevice && strcmp(kernel->name, "quilbrex384bit_n288_319") == 0) {
        primeCount = 800000;
        sieveRange = 15300000 / divisor;
    } else if (graphicsDevice && strcmp(kernel->name, "quilbrex448bit_n352_383") == 0) {
        primeCount = 1000000;
        sieveRange = 15480000 / divisor;
    }
    if (sieveOnDevice) {
        // The device sieves with its own depth; a segment of the same formula
        // holds about a batch of its survivors.
        primeCount = DeviceSievePrimeCount(num_digits);
        sieveRange = SieveRangeFor(primeCount, divisor);
    }

    printf("\nRuntime options\n");
    printf("  GPU kernel                %s\n", kernel->name);
    printf("  threads per grid          %d\n", static_cast<int>(threadsPerGrid));
    printf("  prime count               %d\n", static_cast<int>(primeCount));
    printf("  sieve range               %d\n", static_cast<int>(sieveRange));

    BuildPrimeTable();
}
