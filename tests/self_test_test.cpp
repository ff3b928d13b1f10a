// The self-test program: it passes on the host build, leaves the working
// folder alone, and fails naming the member when that member is made to
// answer wrongly through the host runtime's launch hook.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gpu/host_runtime_control.h"
#include "kernels/kernel_registry.h"
#include "kernels/sieve_kernels.h"
#include "selftest/self_test.h"
#include "sieve/device_sieve.h"
#include "support/test_support.h"

namespace {

// The table's lines: member name, then batch, cases, passed, seconds and a
// possible FAILED.
struct Row {
    std::string name;
    unsigned batch, cases, passed;
    bool failed;
};

std::vector<Row> tableRows(const std::string& out) {
    std::vector<Row> rows;
    const std::regex row("^  (quilbrex\\w+|total) +(\\d*) +(\\d+) +(\\d+) +\\d+\\.\\d\\d(  FAILED)?$");
    std::istringstream lines(out);
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_match(line, m, row))
            rows.push_back(Row{m[1], m[2].length() ? (unsigned)std::stoul(m[2]) : 0u, (unsigned)std::stoul(m[3]),
                               (unsigned)std::stoul(m[4]), m[5].matched});
    return rows;
}

const char* const LIAR = "quilbrex192bit_n128_159";

bool isLiar(const void* func) { return func == reinterpret_cast<const void*>(findKernel(LIAR)->function); }

// The member misses every hit ...
void missHits(const void* func, dim3, dim3, void** args) {
    if (isLiar(func)) (*static_cast<unsigned int**>(args[0]))[0] = 0;
}

// ... or reports the first candidate of each launch besides what it found.
void reportFirstCandidate(const void* func, dim3, dim3, void** args) {
    if (!isLiar(func)) return;
    unsigned int* factors = *static_cast<unsigned int**>(args[0]);
    const unsigned long long k = (*static_cast<unsigned long long**>(args[1]))[0];
    const uint32_t r = factors[0]++;
    factors[1 + 3 * r] = static_cast<uint32_t>(k);
    factors[2 + 3 * r] = static_cast<uint32_t>(k >> 32);
}

// ... or misses every proof k.
// (Only a test kernel has a fourth argument: the device sieve's kernels,
// which a build that sieves on the device launches too, have one.)
void missProofs(const void* func, dim3, dim3, void** args) {
    if (!isLiar(func)) return;
    unsigned int* proofs = *static_cast<unsigned int**>(args[3]);
    if (proofs) proofs[0] = 0;
}

}  // namespace

TEST(SelfTest, PassesOnTheHostBuildAndTouchesNoWorkFile) {
    TempDir dir;
    const ChildResult r = runProgram(QUILBREX_SELFTEST_BINARY, dir.path(), 300);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
    const std::vector<Row> rows = tableRows(r.out);
    ASSERT_EQ(rows.size(), KERNEL_COUNT + 1u) << r.out;
    unsigned cases = 0, passed = 0;
    for (int i = 0; i < KERNEL_COUNT; ++i) {
        EXPECT_EQ(rows[i].name, kernelTable[i].name);
        EXPECT_EQ(rows[i].batch, 1024u);  // the host processor's batch
        EXPECT_GE(rows[i].cases, 4u);  // the edges at least
        EXPECT_EQ(rows[i].passed, rows[i].cases) << rows[i].name;
        cases += rows[i].cases;
        passed += rows[i].passed;
    }
    // Members with known factors get three batches for each, the proof k of
    // one of them, and a sieved range.
    EXPECT_GE(rows[0].cases, 4u + 4 * 9 + 1);
    EXPECT_EQ(rows.back().name, "total");
    EXPECT_EQ(rows.back().cases, cases);
    EXPECT_EQ(rows.back().passed, passed);
    EXPECT_EQ(UnexpectedFiles(dir.path(), {}), "");
}

TEST(SelfTest, FailsNamingTheMemberThatAnswersWrongly) {
    const struct {
        HostLaunchHook hook;
        const char* failure;
    } liars[] = {
        {missHits, ": known factor 1575*2^157+1 at the start of a batch"},
        {reportFirstCandidate, ": known factor 1575*2^157+1 at the start of a batch"},
        {missProofs, ": proof k at t=6 of the batch of 1575*2^157+1: reported 0, GMP finds "},
    };
    for (const auto& liar : liars) {
        SCOPED_TRACE(liar.failure);
        static HostLaunchHook chosen;
        chosen = liar.hook;
        TempDir dir;
        const ChildResult r = runInChild(
            []() {
                hostRuntimeReset();
                hostRuntimeSetLaunchHook(chosen);
                return SelfTestMain();
            },
            dir.path());
        EXPECT_EQ(r.status, 1);
        const std::vector<Row> rows = tableRows(r.out);
        ASSERT_EQ(rows.size(), KERNEL_COUNT + 1u) << r.out;
        for (const Row& row : rows) {
            const bool liar = row.name == LIAR || row.name == "total";
            EXPECT_EQ(row.failed, liar) << row.name;
            EXPECT_EQ(row.passed < row.cases, liar) << row.name;
        }
        EXPECT_NE(r.out.find(std::string("\n  FAILED ") + LIAR + liar.failure), std::string::npos)
            << r.out;
        EXPECT_EQ(UnexpectedFiles(dir.path(), {}), "");
    }
}

#ifdef QUILBREX_SELFTEST_CUDA_BINARY
// The CUDA build's self-test starts the device as the program does: without
// an NVIDIA driver it shows its versions and refuses.
TEST(SelfTest, CudaBuildsSelfTestRefusesWithoutDriver) {
    TempDir dir;
    const ChildResult r = runProgram(QUILBREX_SELFTEST_CUDA_BINARY, dir.path(), 60);
    ASSERT_TRUE(r.exited);
    std::smatch versions;
    ASSERT_TRUE(std::regex_search(r.out, versions,
                                  std::regex("^Quilbrex_CUDA version 2\\.018\n\nCUDA version info\n"
                                             "  binary compiled for CUDA  ([0-9]+)\\.([0-9])\n"
                                             "  CUDA runtime version      [0-9]+\\.[0-9]\n"
                                             "  CUDA driver version       ([0-9]+)\\.([0-9]+)\n")))
        << r.out;
    const int compiled = std::stoi(versions[1]) * 1000 + std::stoi(versions[2]) * 10;
    const int driver = std::stoi(versions[3]) * 1000 + std::stoi(versions[4]) * 10;
    if (driver >= compiled) GTEST_SKIP() << "an NVIDIA driver is installed here";
    EXPECT_EQ(r.status, 1);
    const std::string noDriver = driver == 0 ? "\nERROR: no NVIDIA driver found. Install NVIDIA's driver for this GPU, or "
                                               "use the host build, which needs none.\n"
                                             : "";
    EXPECT_EQ(r.out.substr(versions.length(0)),
              "\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n" +
                  noDriver);
    EXPECT_EQ(UnexpectedFiles(dir.path(), {}), "");
}
#endif

// The self-test of a build that sieves on the device (forced here): the
// device sieve's batches against the host's at every width, and the sieved
// ranges found through it.
TEST(SelfTest, PassesWithTheDeviceSieve) {
    TempDir dir;
    const ChildResult r = runInChild(
        []() {
            hostRuntimeReset();
            sieveOnDevice = true;
            return SelfTestMain();
        },
        dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos) << r.out;
    const std::vector<Row> rows = tableRows(r.out);
    ASSERT_EQ(rows.size(), KERNEL_COUNT + 1u) << r.out;
    // Six single device sieve batches and at least five queued ones for the
    // first member of each width on top of the host sieve's cases.
    EXPECT_GE(rows[0].cases, 4u + 4 * 9 + 1 + 6 + 5);
    EXPECT_EQ(rows[1].cases, rows[1].passed);
    EXPECT_EQ(UnexpectedFiles(dir.path(), {}), "");
}

namespace {

const void* gatherKernel() {
    for (const SieveKernelEntry& entry : sieveKernelTable)
        if (std::string(entry.name) == "quilbrexSieveGather") return reinterpret_cast<const void*>(entry.function);
    return nullptr;
}

// Faults of the device sieve that the self-test must see: the first candidate
// of every batch lost; the carried start of queued batches one odd k off
// (from the third batch of a range on, which single batches never reach).
int gatherLaunches;
void dropFirstCandidate(const void* func, dim3, dim3, void** args) {
    const DeviceSieveArgs& sieve = *static_cast<DeviceSieveArgs*>(args[0]);
    // Single batches only: in a run's queued batches the audit stops it.
    if (func != gatherKernel() || sieve.carry) return;
    sieve.candidates[0] = sieve.candidates[1];
}
void slipQueuedStart(const void* func, dim3, dim3, void** args) {
    const DeviceSieveArgs& sieve = *static_cast<DeviceSieveArgs*>(args[0]);
    // Only the self-test's queued range: a run's batches have their own guard.
    if (func != gatherKernel() || !sieve.carry || sieve.range != SIEVE_SLICE_BITS + 4321) return;
    if (++gatherLaunches == 2) sieve.carry->a += 2;  // read by the Next kernel, which follows
}

}  // namespace

TEST(SelfTest, FailsWhenTheDeviceSieveGoesWrong) {
    const struct {
        HostLaunchHook fault;
        const char* failure;
    } cases[] = {
        {dropFirstCandidate, "\n  FAILED quilbrex96bit_n32_63: device sieve n=32 k=4294967297 "},
        {slipQueuedStart, "\n  FAILED quilbrex96bit_n32_63: device sieve n=32 k="},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const ChildResult r = runInChild(
            [&]() {
                hostRuntimeReset();
                hostRuntimeSetLaunchHook(c.fault);
                gatherLaunches = 0;
                sieveOnDevice = true;
                return SelfTestMain();
            },
            dir.path());
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.out.find(c.failure), std::string::npos) << r.out;
        if (c.fault == slipQueuedStart) {
            EXPECT_NE(r.out.find("queued batch 3): "), std::string::npos) << r.out;
        }
    }
}
