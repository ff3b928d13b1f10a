// Start-up: banner and version block, the version and device refusals, the
// device block, and the fatal report of failing runtime calls.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <thread>

#include "driver/startup.h"
#include "gpu/cuda_guard.h"
#include "gpu/host_runtime_control.h"
#include "support/test_support.h"

namespace {

const char* const VERSION_BLOCK =
    "Quilbrex_CUDA version 2.018\n"
    "\nCUDA version info\n"
    "  binary compiled for CUDA  10.0\n";

cudaDeviceProp device(const char* name, int major, int minor, int multiprocessors, int clockKHz) {
    cudaDeviceProp prop;
    memset(&prop, 0, sizeof prop);
    snprintf(prop.name, sizeof prop.name, "%s", name);
    prop.major = major;
    prop.minor = minor;
    prop.multiProcessorCount = multiprocessors;
    prop.clockRate = clockKHz;
    return prop;
}

// Runs the whole program in a child, in a directory with an empty worktodo.txt.
ChildResult startWith(int runtime, int driver, const cudaDeviceProp* prop,
                      HostRuntimeOp failing = hostOpCount, int nth = 0) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "");
    return runInChild(
        [&]() {
            hostRuntimeReset();
            hostRuntimeSetVersions(runtime, driver);
            if (prop) hostRuntimeSetProperties(*prop);
            if (failing != hostOpCount) hostRuntimeFailCall(failing, nth, cudaErrorMemoryAllocation);
            return quilbrexMain();
        },
        dir.path());
}

std::string deviceBlock(const char* name, const char* arch, const char* capability, const char* multiprocessors,
                        const char* clock) {
    return std::string("\nCUDA device info\n") + "  name (architecture)       " + name + " (" + arch + ")\n" +
           "  compute capability        " + capability + "\n" + "  streaming multiprocessors " + multiprocessors +
           "\n" + "  processor clock           " + clock + "\n";
}

const char* const NO_ASSIGNMENT = "\nNo available assignments found in worktodo file.\n";

}  // namespace

TEST(Startup, VersionRefusals) {
    struct Case {
        int runtime, driver;
        const char* runtimeLine;
        const char* driverLine;
        const char* refusal;
    } cases[] = {
        {10000, 9999, "10.0", "9.99",
         "\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n"},
        {10020, 10000, "10.2", "10.0",
         "\nERROR: CUDA runtime version must match the CUDA toolkit version used during compile!\n"},
        {9020, 10020, "9.2", "10.2",
         "\nERROR: CUDA runtime version must match the CUDA toolkit version used during compile!\n"},
        // No driver at all reads as version 0: the refusal says so.
        {10000, 0, "10.0", "0.0",
         "\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n"
         "\nERROR: no NVIDIA driver found. Install NVIDIA's driver for this GPU, or use the host build, which needs "
         "none.\n"},
        // Both wrong: only the driver is named, since it is checked first.
        {10020, 9999, "10.2", "9.99",
         "\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n"},
    };
    for (const Case& c : cases) {
        ChildResult r = startWith(c.runtime, c.driver, nullptr);
        std::string expected = std::string(VERSION_BLOCK) + "  CUDA runtime version      " + c.runtimeLine + "\n" +
                               "  CUDA driver version       " + c.driverLine + "\n" + c.refusal;
        EXPECT_EQ(r.out, expected) << c.runtime << " " << c.driver;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
    }
}

TEST(Startup, DeviceBlockAndOldDeviceRefusals) {
    const std::string versions = std::string(VERSION_BLOCK) +
                                 "  CUDA runtime version      10.0\n"
                                 "  CUDA driver version       10.0\n";
    struct Case {
        cudaDeviceProp prop;
        std::string tail;
        int status;
    } cases[] = {
        {device("Tesla C1060", 1, 3, 30, 1296000),
         "\nSorry, devices with compute capability 1.x are not supported!\n", 1},
        {device("GeForce GTX 580", 2, 0, 16, 1544000),
         "\nSorry, devices with compute capability 2.x are not supported since version CUDA 9.0!\n", 1},
        {device("Jetson Xavier", 7, 2, 8, 1377000),
         deviceBlock("Jetson Xavier", "unknown", "7.2", "8 (512 CUDA cores)", "1377MHz") + NO_ASSIGNMENT, 1},
        {device("GeForce RTX 2080", 7, 5, 46, 1710000),
         deviceBlock("GeForce RTX 2080", "Turing", "7.5", "46 (2944 CUDA cores)", "1710MHz") + NO_ASSIGNMENT, 1},
        {device("Tesla V100", 7, 0, 80, 1530000),
         deviceBlock("Tesla V100", "Volta", "7.0", "80 (5120 CUDA cores)", "1530MHz") + NO_ASSIGNMENT, 1},
        {device("GeForce GTX 780", 3, 5, 12, 1124500),
         deviceBlock("GeForce GTX 780", "Kepler", "3.5", "12 (2304 CUDA cores)", "1124MHz") + NO_ASSIGNMENT, 1},
        {device("GeForce GTX 980", 5, 2, 16, 1216000),
         deviceBlock("GeForce GTX 980", "Maxwell", "5.2", "16 (2048 CUDA cores)", "1216MHz") + NO_ASSIGNMENT, 1},
        {device("GeForce GTX 1080", 6, 1, 20, 1733000),
         deviceBlock("GeForce GTX 1080", "Pascal", "6.1", "20 (2560 CUDA cores)", "1733MHz") + NO_ASSIGNMENT, 1},
        {device("NVIDIA A100", 8, 0, 108, 1410000),
         deviceBlock("NVIDIA A100", "unknown", "8.0", "108 (13824 CUDA cores)", "1410MHz") + NO_ASSIGNMENT, 1},
    };
    for (const Case& c : cases) {
        ChildResult r = startWith(10000, 10000, &c.prop);
        EXPECT_EQ(r.out, versions + c.tail) << c.prop.name;
        EXPECT_EQ(r.status, c.status) << c.prop.name;
    }
}

TEST(Startup, HostDeviceIsHonest) {
    cudaDeviceProp host = hostRuntimeHostProperties();
    EXPECT_NE(std::string(host.name).find("host CPU"), std::string::npos);
    EXPECT_EQ(host.major, 0);  // names no NVIDIA architecture
    EXPECT_EQ(host.multiProcessorCount, static_cast<int>(std::thread::hardware_concurrency()));
    EXPECT_GE(host.clockRate, 0);

    ChildResult r = startWith(10000, 10000, nullptr);
    char multiprocessors[64], clock[32];
    snprintf(multiprocessors, sizeof multiprocessors, "%d (%d CUDA cores)", host.multiProcessorCount,
             host.multiProcessorCount);
    snprintf(clock, sizeof clock, "%dMHz", host.clockRate / 1000);
    EXPECT_EQ(r.out, std::string(VERSION_BLOCK) + "  CUDA runtime version      10.0\n" +
                         "  CUDA driver version       10.0\n" +
                         deviceBlock(host.name, "unknown", "0.0", multiprocessors, clock) + NO_ASSIGNMENT);
    EXPECT_EQ(r.status, 1);
}

TEST(Startup, FailingGuardedCallsEndWithStatus255) {
    const std::regex report(
        R"(driver/startup\.cpp\(\d+\) : CUDA Runtime API error 2: out of memory\.\n)");
    struct Case {
        HostRuntimeOp op;
        int nth;
        bool reachesWorkLoop;
    } cases[] = {
        {hostOpSetDevice, 1, false},  {hostOpGetDeviceProperties, 1, false}, {hostOpHostAlloc, 1, false},
        {hostOpMalloc, 1, false},     {hostOpHostAlloc, 2, false},           {hostOpMalloc, 2, false},
        {hostOpHostAlloc, 3, false},  {hostOpMalloc, 3, false},              // the proof table
        {hostOpFreeHost, 1, true},    {hostOpFree, 1, true},                 {hostOpFree, 2, true},
        {hostOpFreeHost, 2, true},    {hostOpFree, 3, true},                 {hostOpFreeHost, 3, true},
    };
    for (const Case& c : cases) {
        ChildResult r = startWith(10000, 10000, nullptr, c.op, c.nth);
        EXPECT_EQ(r.status, 255) << c.op << " " << c.nth;
        EXPECT_TRUE(std::regex_match(r.err, report)) << r.err;
        EXPECT_EQ(r.out.find("No available assignments") != std::string::npos, c.reachesWorkLoop) << c.op;
    }
}

TEST(Startup, CheckCudaErrorsFormat) {
    ChildResult r = runInChild([]() -> int { checkCudaErrors(cudaErrorLaunchFailure, "/x/source/sieve/a.cpp", 42); });
    EXPECT_EQ(r.err, "sieve/a.cpp(42) : CUDA Runtime API error 719: unspecified launch failure.\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
}

TEST(Startup, AllocatesAndReleasesEvenWithoutWork) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "");
    ChildResult r = runInChild(
        [&]() {
            hostRuntimeReset();
            int status = quilbrexMain();
            // The candidate table, the factor report buffer and the proof table, on both sides.
            bool allocated = hostRuntimeCallCount(hostOpHostAlloc) == 3 && hostRuntimeCallCount(hostOpMalloc) == 3;
            bool released = hostRuntimeCallCount(hostOpFreeHost) == 3 && hostRuntimeCallCount(hostOpFree) == 3;
            return allocated && released ? status : 99;
        },
        dir.path());
    EXPECT_EQ(r.status, 1);
}

#ifdef QUILBREX_CUDA_BINARY
// Without an NVIDIA driver the CUDA build shows its versions and refuses.
TEST(Startup, CudaBuildRefusesWithoutDriver) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
    ChildResult r = runProgram(QUILBREX_CUDA_BINARY, dir.path(), 60);
    ASSERT_TRUE(r.exited);
    std::smatch versions;
    ASSERT_TRUE(std::regex_search(r.out, versions,
                                  std::regex("Quilbrex_CUDA version 2\\.018\n\nCUDA version info\n"
                                             "  binary compiled for CUDA  ([0-9]+)\\.([0-9])\n"
                                             "  CUDA runtime version      [0-9]+\\.[0-9]\n"
                                             "  CUDA driver version       ([0-9]+)\\.([0-9]+)\n")))
        << r.out;
    int compiled = std::stoi(versions[1]) * 1000 + std::stoi(versions[2]) * 10;
    int driver = std::stoi(versions[3]) * 1000 + std::stoi(versions[4]) * 10;
    if (driver >= compiled) GTEST_SKIP() << "an NVIDIA driver is installed here";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(versions.position(0), 0);
    std::string noDriver = driver == 0 ? "\nERROR: no NVIDIA driver found. Install NVIDIA's driver for this GPU, or use "
                                         "the host build, which needs none.\n"
                                       : "";
    EXPECT_EQ(r.out.substr(versions.length(0)),
              "\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n" +
                  noDriver);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "FermatFactor=54,54,4001,5001\n");
}
#endif
