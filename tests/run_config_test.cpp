// Tests of the run configuration: word counts at band edges, refusals, batch and class tables, prime counts, sieve ranges, printed block.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "driver/run_config.h"
#include "hostpaths/host_paths.h"
#include "kernels/kernel_registry.h"
#include "quilbrex.h"
#include "sieve/device_sieve.h"
#include "support/test_support.h"

namespace {

struct Configured {
    ChildResult child;
    std::string block;  // what ConfigureRun printed
    uint32_t digits = 0, threads = 0, blocks = 0, deviceClass = 0, primes = 0, range = 0, lastPrime = 0;
    std::string kernelName;
};

// Runs ConfigureRun in a child (it prints, and may end the process) and reads back the globals it set.
// The host device's batches on path, unless it is hostPathCount (the best path).
// The loop whose host sieves, whatever the build's default: the device
// sieve's own depths are the program tests' (TypicalRun on either sieve).
Configured configure(int major, int multiProcessors, uint32_t n, uint64_t k, HostTestPath path = hostPathCount) {
    Configured result;
    result.child = runInChild([=] {
        sieveOnDevice = false;
        if (path != hostPathCount && !hostForcePath(path)) return 3;
        deviceProp.major = major;
        deviceProp.multiProcessorCount = multiProcessors;
        nStart = nEnd = nCurrent = n;
        kStart = kEnd = kCurrent = k;
        snprintf(assignmentLineText, sizeof assignmentLineText, "FermatFactor=%u,%u,%llu,%llu", n, n,
                 static_cast<unsigned long long>(k), static_cast<unsigned long long>(k));
        ConfigureRun();
        printf("#%u %u %u %u %u %u %u %s\n", num_digits, threadsPerGrid, blocksPerGrid, classGPU, primeCount,
               sieveRange, primeCount ? primeTable[primeCount - 1] : 0, kernel->name);
        return 0;
    });
    const std::string& out = result.child.out;
    size_t mark = out.rfind('#');
    result.block = out.substr(0, mark);
    if (mark != std::string::npos) {
        std::istringstream values(out.substr(mark + 1));
        values >> result.digits >> result.threads >> result.blocks >> result.deviceClass >> result.primes >>
            result.range >> result.lastPrime >> result.kernelName;
    }
    return result;
}

std::string runtimeOptions(const std::string& kernelName, uint32_t threads, uint32_t primes, uint32_t range) {
    char text[512];
    snprintf(text, sizeof text,
             "\nRuntime options\n"
             "  GPU kernel                %s\n"
             "  threads per grid          %u\n"
             "  prime count               %u\n"
             "  sieve range               %u\n",
             kernelName.c_str(), threads, primes, range);
    return text;
}

// The line whose first candidate has the given word count in the lowest band that serves it with a two-word k-part.
uint32_t exponentFor(uint32_t digits) { return 32 * (digits - 2); }
constexpr uint64_t TWO_WORD_K = 1ull << 32;

TEST(RunConfig, RefusesLinesThatNoKernelServes) {
    struct Case {
        uint32_t n;
        uint64_t k;
        const char* message;
        const char* why;  // on standard error after the bit-level refusal: what no kernel serves from where
    };
    const Case cases[] = {
        {32, 3, "No kernel for that bit level\n", "short for the band's kernels below k=4294967296)"},
        {32, 0xFFFFFFFFull, "No kernel for that bit level\n", "short for the band's kernels below k=4294967296)"},
        {64, 0xFFFFFFFFull, "No kernel for that bit level\n", "short for the band's kernels below k=4294967296)"},
        {600, 1ull << 40, "No kernel for that bit level\n", "long for the band's kernel from k=1099511627776 on)"},
        {600, 3, "No kernel for that bit level\n", "short for the band's kernels below k=256)"},
        {607, 1ull << 33, "No kernel for that bit level\n", "long for the band's kernel from k=8589934592 on)"},
        {576, 0xFFFFFFFFull, "No kernel for that bit level\n", "short for the band's kernels below k=4294967296)"},
        {608, 3, "No kernel for that Fermat number\n", nullptr},
        {608, 1ull << 40, "No kernel for that Fermat number\n", nullptr},
        {0xFFFFFFFFu, 1, "No kernel for that Fermat number\n", nullptr},
        {31, 3, "No kernel for n < 32\n", nullptr},
        {31, 1ull << 40, "No kernel for n < 32\n", nullptr},
        {0, 0, "No kernel for n < 32\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("n " + std::to_string(c.n) + ", k " + std::to_string(c.k));
        Configured r = configure(7, 40, c.n, c.k);
        ASSERT_TRUE(r.child.exited);
        EXPECT_EQ(r.child.status, 1);
        EXPECT_EQ(r.child.out, c.message);
        std::string err;
        if (c.why) {
            const std::string line = "FermatFactor=" + std::to_string(c.n) + "," + std::to_string(c.n) + "," +
                                     std::to_string(c.k) + "," + std::to_string(c.k);
            err = "\nThe line " + line + " cannot be searched: at n=" + std::to_string(c.n) +
                  " no kernel serves k from " + std::to_string(c.k) + " to " + std::to_string(c.k) + " (p too " +
                  c.why + ". Edit its k range in worktodo.txt or remove the line.\n";
        }
        EXPECT_EQ(r.child.err, err);
    }
}

TEST(RunConfig, WordCountPicksTheKernelAtBandEdges) {
    struct Case {
        uint32_t n;
        uint64_t k;
        uint32_t digits;
        const char* kernel;
    };
    const Case cases[] = {
        {32, 1ull << 32, 3, "quilbrex96bit_n32_63"},
        {63, (1ull << 33) - 1, 3, "quilbrex96bit_n32_63"},
        {63, 1ull << 33, 4, "quilbrex128bit_n32_63"},
        {54, 4001, 3, "quilbrex96bit_n32_63"},
        {64, (1ull << 32) + 1, 4, "quilbrex128bit_n64_95"},
        {65, 0xFFFFFFFFFFFFFFFFull, 5, "quilbrex160bit_n64_95"},
        {575, 1ull << 40, 20, "quilbrex640bit_n544_575"},
        {576, (1ull << 32) + 1, 20, "quilbrex640bit_n576_607"},
        {600, 1ull << 8, 20, "quilbrex640bit_n576_607"},
        {607, (1ull << 33) - 1, 20, "quilbrex640bit_n576_607"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("n " + std::to_string(c.n) + ", k " + std::to_string(c.k));
        Configured r = configure(7, 40, c.n, c.k);
        ASSERT_EQ(r.child.status, 0) << r.child.out;
        EXPECT_EQ(r.digits, c.digits);
        EXPECT_EQ(r.kernelName, c.kernel);
    }
    // Every member is reachable, and by the word count and band its name gives.
    for (int i = 0; i < KERNEL_COUNT; ++i) {
        const KernelEntry& entry = kernelTable[i];
        uint32_t n = 32 * entry.band + 1;
        uint64_t k = entry.width == entry.band + 2 ? TWO_WORD_K : 1ull << 63;
        Configured r = configure(7, 40, n, k);
        ASSERT_EQ(r.child.status, 0) << r.child.out;
        EXPECT_EQ(r.kernelName, entry.name);
        EXPECT_EQ(r.digits, entry.width);
    }
}

TEST(RunConfig, ExampleDevices) {
    struct Case {
        int major, multiProcessors;
        uint32_t n;
        uint64_t k;
        uint32_t threads, blocks, deviceClass, primes, range, lastPrime;
        const char* kernel;
    };
    const Case cases[] = {
        {6, 5, 576, TWO_WORD_K, 524288, 2048, 1, 500000, 7410000, 7368791, "quilbrex640bit_n576_607"},
        {7, 80, 54, 4001, 1048576, 4096, 2, 4, 2523140, 11, "quilbrex96bit_n32_63"},
        {7, 1, 576, TWO_WORD_K, 1048576, 4096, 2, 500000, 14820000, 7368791, "quilbrex640bit_n576_607"},
        {3, 2, 300, 1ull << 52, 1048576, 4096, 0, 800000, 15300000, 12195263, "quilbrex384bit_n288_319"},
        {3, 1, 300, 1ull << 52, 524288, 2048, 0, 800000, 7650000, 12195263, "quilbrex384bit_n288_319"},
        {7, 80, 300, 1ull << 52, 1048576, 4096, 2, 800000, 15300000, 12195263, "quilbrex384bit_n288_319"},
        {5, 2, 353, 1ull << 63, 262144, 1024, 0, 1000000, 3870000, 15485867, "quilbrex448bit_n352_383"},
        {7, 80, 353, 1ull << 63, 1048576, 4096, 2, 1000000, 15480000, 15485867, "quilbrex448bit_n352_383"},
        // Same word counts in the neighbouring bands keep the table values.
        {7, 80, 320, TWO_WORD_K, 1048576, 4096, 2, 200000, 13900000, 2750161, "quilbrex384bit_n320_351"},
        {7, 80, 384, TWO_WORD_K, 1048576, 4096, 2, 200000, 13900000, 2750161, "quilbrex448bit_n384_415"},
        {3, 1, 576, TWO_WORD_K, 131072, 512, 0, 1000000, 1938750, 15485867, "quilbrex640bit_n576_607"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kernel) + " on major " + std::to_string(c.major) + " with " +
                     std::to_string(c.multiProcessors) + " multiprocessors");
        Configured r = configure(c.major, c.multiProcessors, c.n, c.k);
        ASSERT_EQ(r.child.status, 0) << r.child.out << r.child.err;
        EXPECT_EQ(r.kernelName, c.kernel);
        EXPECT_EQ(r.threads, c.threads);
        EXPECT_EQ(r.blocks, c.blocks);
        EXPECT_EQ(r.deviceClass, c.deviceClass);
        EXPECT_EQ(r.primes, c.primes);
        EXPECT_EQ(r.range, c.range);
        EXPECT_EQ(r.lastPrime, c.lastPrime);
        EXPECT_EQ(r.block, runtimeOptions(c.kernel, c.threads, c.primes, c.range));
        EXPECT_EQ(r.child.err, "");
    }
}

TEST(RunConfig, PrintsTheRuntimeOptionsBlockExactly) {
    Configured r = configure(7, 68, 54, 4001);
    ASSERT_EQ(r.child.status, 0);
    EXPECT_EQ(r.block,
              "\nRuntime options\n"
              "  GPU kernel                quilbrex96bit_n32_63\n"
              "  threads per grid          1048576\n"
              "  prime count               4\n"
              "  sieve range               2523140\n");
}

TEST(RunConfig, BatchTable) {
    // One digit per word count 3..20: the batch divisor 1048576 / threadsPerGrid.
    struct Row {
        int major, multiProcessors;
        const char* divisors;
    };
    const Row rows[] = {
        {3, 1, "111111112224444888"}, {3, 2, "111111111112222444"}, {3, 3, "111111111111112224"},
        {3, 4, "111111111111111112"}, {5, 2, "111111111224444888"}, {5, 3, "111111111224444888"},
        {5, 4, "111111111112222444"}, {5, 5, "111111111111112224"}, {5, 6, "111111111111111112"},
        {6, 3, "111111111111112222"}, {6, 5, "111111111111111112"},
    };
    const char* const unlisted = "111111111111111111";
    for (int major : {1, 2, 3, 4, 5, 6, 7, 8, 9}) {
        for (int multiProcessors : {0, 1, 2, 3, 4, 5, 6, 7, 8, 16, 80}) {
            const char* expected = unlisted;
            for (const Row& row : rows)
                if (row.major == major && row.multiProcessors == multiProcessors) expected = row.divisors;
            for (uint32_t digits = 3; digits <= 20; ++digits) {
                num_digits = digits;
                uint32_t threads = getThreadsPerGrid(major, multiProcessors);
                EXPECT_EQ(threads, 1048576u / static_cast<uint32_t>(expected[digits - 3] - '0'))
                    << "major " << major << ", " << multiProcessors << " multiprocessors, num_digits " << digits;
            }
        }
    }
}

TEST(RunConfig, ClassTable) {
    // One digit per multiprocessor count 0..9; larger counts are class 2 on every device.
    struct Row {
        int major;
        const char* classes;
    };
    const Row rows[] = {{3, "2001122222"}, {5, "2200111222"}, {6, "2221211222"}};
    for (int major : {1, 2, 3, 4, 5, 6, 7, 8, 9}) {
        const char* expected = "2222222222";
        for (const Row& row : rows)
            if (row.major == major) expected = row.classes;
        for (int multiProcessors = 0; multiProcessors <= 9; ++multiProcessors)
            EXPECT_EQ(getClassGPU(major, multiProcessors), static_cast<uint32_t>(expected[multiProcessors] - '0'))
                << "major " << major << ", " << multiProcessors << " multiprocessors";
        for (int multiProcessors : {16, 40, 80, -1})
            EXPECT_EQ(getClassGPU(major, multiProcessors), 2u)
                << "major " << major << ", " << multiProcessors << " multiprocessors";
    }
}

TEST(RunConfig, PrimeCountTablesAndSieveRanges) {
    // Devices that keep full batches (D = 1): major 7 is class 2, major 6 with 6 is class 1, major 3 with 2 is class 0.
    struct Case {
        int major, multiProcessors;
        uint32_t digits, primes, range;
    };
    const Case cases[] = {
        {7, 80, 3, 4, 2523140},        {7, 80, 4, 4, 2523140},         {7, 80, 5, 50, 5210000},
        {7, 80, 6, 100, 5960000},      {7, 80, 7, 1000, 8420000},      {7, 80, 8, 5000, 10120000},
        {7, 80, 9, 20000, 11550000},   {7, 80, 10, 50000, 12490000},   {7, 80, 11, 200000, 13900000},
        {7, 80, 15, 200000, 13900000}, {7, 80, 16, 500000, 14820000},  {7, 80, 20, 500000, 14820000},
        {6, 6, 3, 20, 4210000},        {6, 6, 4, 100, 5960000},        {6, 6, 5, 500, 7690000},
        {6, 6, 6, 20000, 11550000},    {6, 6, 8, 100000, 13200000},    {6, 6, 9, 200000, 13900000},
        {6, 6, 12, 500000, 14820000},  {6, 6, 20, 500000, 14820000},   {3, 2, 3, 100, 5960000},
        {3, 2, 4, 5000, 10120000},     {3, 2, 5, 50000, 12490000},     {3, 2, 7, 200000, 13900000},
        {3, 2, 10, 500000, 14820000},  {3, 2, 13, 1000000, 15510000},  {3, 1, 4, 5000, 10120000},
        // Smaller batches divide the segment length too.
        {3, 2, 14, 1000000, 7755000},  {3, 2, 20, 1000000, 3877500},   {5, 2, 20, 1000000, 1938750},
        {5, 3, 12, 500000, 7410000},   {3, 1, 18, 1000000, 1938750},   {6, 3, 20, 500000, 7410000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("major " + std::to_string(c.major) + ", " + std::to_string(c.multiProcessors) +
                     " multiprocessors, num_digits " + std::to_string(c.digits));
        Configured r = configure(c.major, c.multiProcessors, exponentFor(c.digits), TWO_WORD_K);
        ASSERT_EQ(r.child.status, 0) << r.child.out;
        EXPECT_EQ(r.digits, c.digits);
        EXPECT_EQ(r.primes, c.primes);
        EXPECT_EQ(r.range, c.range);
    }
}

// The host build's device (compute capability 0.0, one multiprocessor per
// hardware thread) has no row in the class table: class 0 whatever its
// thread count, full batches, and the host layer's own prime counts, which
// follow the path that tests the batches and which no band overrides, with
// the formula's segment lengths.
TEST(RunConfig, HostDeviceSievesWithItsOwnTable) {
    for (int threads : {1, 2, 3, 16, 256}) EXPECT_EQ(getClassGPU(0, threads), 0u) << threads << " threads";
    // The emulation sieves as the IFMA path; AVX2 where this processor has it.
    const HostTestPath paths[] = {hostPathWord64, hostPathIfmaEmulated, hostPathAvx2};
    struct Case {
        uint32_t n;
        uint64_t k;
        const char* kernel;
        uint32_t primes[3];  // on each of paths
    };
    const Case cases[] = {
        {54, 4001, "quilbrex96bit_n32_63", {300000, 10000, 300000}},
        {63, 8589934593ull, "quilbrex128bit_n32_63", {1000000, 100000, 300000}},
        {100, 1ull << 40, "quilbrex160bit_n96_127", {3000000, 100000, 300000}},
        {127, 1ull << 40, "quilbrex192bit_n96_127", {3000000, 300000, 3000000}},
        {300, 1ull << 40, "quilbrex352bit_n288_319", {3000000, 1000000, 1000000}},
        {320, TWO_WORD_K, "quilbrex384bit_n320_351", {3000000, 1000000, 3000000}},
        {319, 1ull << 40, "quilbrex384bit_n288_319", {3000000, 1000000, 3000000}},
        {383, 1ull << 40, "quilbrex448bit_n352_383", {3000000, 1000000, 3000000}},
        {415, 1ull << 40, "quilbrex480bit_n384_415", {3000000, 3000000, 3000000}},
        {576, TWO_WORD_K, "quilbrex640bit_n576_607", {1000000, 3000000, 3000000}},
        {560, TWO_WORD_K, "quilbrex608bit_n544_575", {3000000, 3000000, 3000000}},
    };
    const std::map<uint32_t, uint32_t> rangeOf = {
        {10000, 10840000}, {100000, 13200000}, {300000, 14310000}, {1000000, 15510000}, {3000000, 16600000}};
    for (int i = 0; i < 3; ++i) {
        if (!hostPathAvailable(paths[i])) continue;
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.kernel) + " on " + hostPathName(paths[i]));
            Configured r = configure(0, 2, c.n, c.k, paths[i]);
            ASSERT_EQ(r.child.status, 0) << r.child.out;
            EXPECT_EQ(r.deviceClass, 0u);
            EXPECT_EQ(r.threads, 1048576u);
            EXPECT_EQ(r.blocks, 4096u);
            EXPECT_EQ(r.kernelName, c.kernel);
            EXPECT_EQ(r.primes, c.primes[i]);
            EXPECT_EQ(r.range, rangeOf.at(c.primes[i]));
            EXPECT_EQ(r.block, runtimeOptions(c.kernel, 1048576, c.primes[i], rangeOf.at(c.primes[i])));
        }
    }
    // Unforced, the host device sieves as the best path of this processor.
    Configured best = configure(0, 2, 54, 4001);
    EXPECT_EQ(best.primes, hostPrimeCount(hostPathBest(), 3));
    EXPECT_EQ(best.primes, hostPathBest() == hostPathIfma ? 10000u : 300000u);
}

}  // namespace
