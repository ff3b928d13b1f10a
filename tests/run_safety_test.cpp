// Nothing lost, nothing doubled, on the whole program: a factor that cannot be
// recorded, a checkpoint left by a stop between two removals, one instance
// per folder, files that are not what they seem, stop signals, a failing
// device, and the seconds of a short exponent.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <string>

#include "driver/startup.h"
#include "gpu/host_runtime_control.h"
#include "sieve/device_sieve.h"
#include "quilbrex.h"
#include "support/test_support.h"

namespace {

const time_t FIXED_TIME = 1700000000;
time_t fixedClock() { return FIXED_TIME; }
double fixedMonotonic() { return 1000; }

// The whole program in a child, with the host device, a wall clock that
// stands still and the given clock of durations.
ChildResult runWithClock(const std::string& dir, double (*durations)(), HostRuntimeOp failing = hostOpCount) {
    return runInChild(
        [failing, durations]() {
            hostRuntimeReset();
            if (failing != hostOpCount) hostRuntimeFailCall(failing, 1, cudaErrorLaunchFailure);
            clockNow = fixedClock;
            monotonicNow = durations;
            return quilbrexMain();
        },
        dir);
}

ChildResult runFixed(const std::string& dir, HostRuntimeOp failing = hostOpCount) {
    return runWithClock(dir, fixedMonotonic, failing);
}

size_t count(const std::string& text, const std::string& what) {
    size_t found = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

const std::string TYPICAL = "FermatFactor=54,54,4001,5001\n";
const std::string FACTOR_LINE = "!!! Found factor 4119*2^54+1 !!!\n";

}  // namespace

TEST(RunSafety, FactorThatCannotBeRecordedKeepsTheLineAndIsFoundAgain) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ASSERT_EQ(mkdir(dir.file("factors.txt").c_str(), 0755), 0);
    ChildResult refused = runFixed(dir.path());
    EXPECT_TRUE(refused.exited);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("\n" + FACTOR_LINE), std::string::npos);
    EXPECT_EQ(refused.err, "\n" + FACTOR_LINE +
                               "Can't record this factor in factors.txt: Is a directory. Stopping; the assignment line "
                               "and the checkpoint stay before it, so the next start finds it again.\n");
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
    EXPECT_EQ(readFile(dir.file("results.txt")).find("Range is complete"), std::string::npos);

    ASSERT_EQ(rmdir(dir.file("factors.txt").c_str()), 0);
    ChildResult again = runFixed(dir.path());
    EXPECT_EQ(again.status, 6);
    EXPECT_EQ(readFile(dir.file("factors.txt")), std::string(ctime(&FIXED_TIME)) + FACTOR_LINE);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
}

// A stop between the rewrite of worktodo.txt and the removal of the
// checkpoint leaves the removed line's checkpoint behind: the next line
// starts afresh instead of resuming from it.
TEST(RunSafety, CheckpointOfTheRemovedLineDoesNotApplyToTheNext) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    writeFile(dir.file("quilbrex.cpt"), "nCurrent=54\nkCurrent=4501\nkTested =100\nseconds =3.00\nfactors =0\n"
                                        "line    =FermatFactor=54,54,3001,4999\n");
    ChildResult r = runFixed(dir.path());
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("\nRemoved obsolete checkpoint file quilbrex.cpt and continue.\n"
                         "\nStarting range: n=54-54 and k=4001-5001\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n" + typicalTested() + " in 0.00 seconds at inf/sec\n"), std::string::npos);
    EXPECT_EQ(count(readFile(dir.file("factors.txt")), FACTOR_LINE), 1u);
}

// A checkpoint that does not fit the line but cannot be removed must not be
// announced as removed; the run stops with the line and the checkpoint kept.
TEST(RunSafety, ObsoleteCheckpointThatCannotBeRemovedStopsTheRun) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ASSERT_EQ(mkdir(dir.file("quilbrex.cpt").c_str(), 0755), 0);
    writeFile(dir.file("quilbrex.cpt/kept"), "");
    ChildResult r = runFixed(dir.path());
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.find("Removed obsolete checkpoint"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "\nCan't remove obsolete checkpoint file quilbrex.cpt: Directory not empty. Stopping.\n");
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
    EXPECT_FALSE(fileExists(dir.file("factors.txt")));
}

TEST(RunSafety, CheckpointWithWholeSecondsResumes) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    writeFile(dir.file("quilbrex.cpt"), "nCurrent=54\nkCurrent=4201\nkTested =100\nseconds =61\nfactors =1\n");
    ChildResult r = runFixed(dir.path());
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("\nContinue range: n=54-54(54) and k=4001-5001(4201)\n"), std::string::npos) << r.out;
    // 4119 lies before the resume point and is not found again.
    EXPECT_EQ(r.out.find(FACTOR_LINE), std::string::npos);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nn=54: tested \\d+ of 1001 numbers \\( ?\\d+\\.\\d\\d%\\) in "
                                                    "61\\.00 seconds at 16/sec\n")))
        << r.out;
}

TEST(RunSafety, ShortExponentHasAFiniteRate) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ChildResult r = runProgram(QUILBREX_BINARY, dir.path(), 300);
    EXPECT_EQ(r.status, 6);
    std::smatch summary;
    const std::string out = r.out;
    const std::string tested = std::regex_replace(typicalTested(), std::regex("[().]"), "\\$&");
    ASSERT_TRUE(std::regex_search(out, summary,
                                  std::regex("\n" + tested + " in (\\d+\\.\\d\\d) seconds at (\\d+)/sec\n")))
        << r.out;
    EXPECT_GT(std::stod(summary[2]), 0);
    EXPECT_NE(readFile(dir.file("results.txt")).find(summary.str().substr(1)), std::string::npos);
}

TEST(RunSafety, SecondInstanceInTheFolderTouchesNothing) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    writeFile(dir.file("quilbrex.lock"), "process 4242\n");
    // Another process holds the folder, as a running instance does.
    int held = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    ChildResult refused = runProgram(QUILBREX_BINARY, dir.path(), 300);
    close(held);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "\nAnother quilbrex (process 4242) is working in this folder; stopping without touching any file.\n");
    EXPECT_EQ(refused.out.find("Starting range"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
    EXPECT_FALSE(fileExists(dir.file("results.txt")));
    EXPECT_EQ(readFile(dir.file("quilbrex.lock")), "process 4242\n");

    // The lock went with its holder; a killed rewrite's temporary goes too.
    writeFile(dir.file("worktodo.txt.tmp-Ab12Cd"), "FermatFactor=54,54,4001,5001\n");
    ChildResult works = runProgram(QUILBREX_BINARY, dir.path(), 300);
    EXPECT_EQ(works.status, 6);
    EXPECT_FALSE(fileExists(dir.file("worktodo.txt.tmp-Ab12Cd")));
    std::string lock = readFile(dir.file("quilbrex.lock"));
    EXPECT_TRUE(std::regex_match(lock, std::regex("process \\d+\n"))) << lock;
}

TEST(RunSafety, WorktodoThatIsNotARegularFileIsRefused) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("worktodo.txt").c_str(), 0644), 0);
    ChildResult r = runProgram(QUILBREX_BINARY, dir.path(), 60);
    ASSERT_TRUE(r.exited) << "blocked on the FIFO";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nCan't use worktodo file worktodo.txt: it is not a regular file.\n");
}

TEST(RunSafety, SymlinkedWorktodoStaysALink) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("queue").c_str(), 0755), 0);
    writeFile(dir.file("queue/work.txt"), TYPICAL + "FermatFactor=40,41,3,1000\n");
    ASSERT_EQ(symlink("queue/work.txt", dir.file("worktodo.txt").c_str()), 0);
    ChildResult r = runFixed(dir.path());
    EXPECT_EQ(r.status, 1);  // the second line has no kernel
    struct stat link;
    ASSERT_EQ(lstat(dir.file("worktodo.txt").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(readFile(dir.file("queue/work.txt")), "FermatFactor=40,41,3,1000\n");
}

TEST(RunSafety, UnwritableWorktodoStopsBeforeTheSearch) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ASSERT_EQ(chmod(dir.file("worktodo.txt").c_str(), 0444), 0);
    ChildResult r = runFixed(dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nCan't rewrite worktodo file worktodo.txt: it has no write permission. Stopping before the search.\n");
    EXPECT_EQ(r.out.find("Testing for n"), std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("factors.txt")));
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
}

TEST(RunSafety, FailingSynchronisationStopsWithTheLineKept) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ChildResult r = runFixed(dir.path(), hostOpDeviceSynchronize);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("\nTesting for n = 54\ncudaThreadSynchronize failed!\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(" : CUDA Runtime API error 719: unspecified launch failure.\n"), std::string::npos);
    EXPECT_EQ(r.out.find("n=54: tested"), std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("factors.txt")));
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
}

namespace {

// A clock that sends SIGTERM to the process at its third look: after the
// first batch of the exponent, when the sieve asks whether a checkpoint is due.
int looks;
double signallingClock() {
    if (++looks == 3) raise(SIGTERM);
    return 1000;
}

}  // namespace

using SigtermOnBothSieves = BothSieves;

INSTANTIATE_TEST_SUITE_P(BothSieves, SigtermOnBothSieves, testing::Values(false, true), sieveName);

TEST_P(SigtermOnBothSieves, SigtermInTheMiddleOfAnExponentResumesAtTheBatchBoundary) {
    // Several batches at n = 54 whatever the host sieve's depth; the first
    // finds 4119. The device sieve's segments are longer.
    const std::string end = GetParam() ? "40000001" : "12000001";
    const std::string line = "FermatFactor=54,54,4001," + end + "\n";
    TempDir whole, stopped;
    writeFile(whole.file("worktodo.txt"), line);
    writeFile(stopped.file("worktodo.txt"), line);
    ChildResult uninterrupted = runFixed(whole.path());
    ASSERT_EQ(uninterrupted.status, 6);

    ChildResult signalled = runWithClock(stopped.path(), signallingClock);
    EXPECT_FALSE(signalled.exited);
    EXPECT_EQ(signalled.signal, SIGTERM);
    std::string checkpoint = readFile(stopped.file("quilbrex.cpt"));
    unsigned long long boundary = 0, tested = 0;
    ASSERT_EQ(sscanf(checkpoint.c_str(), "nCurrent=54\nkCurrent=%llu\nkTested =%llu\n", &boundary, &tested), 2)
        << checkpoint;
    // Where the first batch ended: past 4119, before the end, odd.
    EXPECT_GT(boundary, 4119u);
    EXPECT_LT(boundary, std::stoull(end));
    EXPECT_EQ(boundary % 2, 1u);
    EXPECT_GT(tested, 0u);
    // The device's first batch reaches 4119 and, at 30 million, a second factor.
    EXPECT_NE(checkpoint.find(std::string(GetParam() ? "factors =2" : "factors =1") + "\nline    =" + line),
              std::string::npos)
        << checkpoint;
    EXPECT_NE(signalled.out.find("\nStopped by signal 15 (Terminated) at n=54, k=" + std::to_string(boundary) +
                                 "; the next start continues there.\n"),
              std::string::npos)
        << signalled.out;
    EXPECT_EQ(readFile(stopped.file("worktodo.txt")), line);

    ChildResult resumed = runFixed(stopped.path());
    EXPECT_EQ(resumed.status, 6);
    EXPECT_NE(resumed.out.find("\nContinue range: n=54-54(54) and k=4001-" + end + "(" + std::to_string(boundary) + ")\n"),
              std::string::npos);
    std::regex summary("n=54: tested \\d+ of \\d+ numbers \\( ?\\d+\\.\\d\\d%\\)");
    std::smatch expected, seen;
    ASSERT_TRUE(std::regex_search(uninterrupted.out, expected, summary));
    ASSERT_TRUE(std::regex_search(resumed.out, seen, summary));
    EXPECT_EQ(seen.str(), expected.str());
    EXPECT_EQ(readFile(stopped.file("factors.txt")), readFile(whole.file("factors.txt")));
    EXPECT_EQ(readFile(stopped.file("results.txt")), readFile(whole.file("results.txt")));
}

namespace {

// Two SIGTERMs in a row at the same look: the second must not wait for the batch.
double impatientClock() {
    if (++looks == 3) {
        raise(SIGTERM);
        raise(SIGTERM);
    }
    return 1000;
}

}  // namespace

TEST(RunSafety, SecondSignalEndsTheProcessAtOnce) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,12000001\n");
    looks = 0;
    ChildResult r = runWithClock(dir.path(), impatientClock);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(r.out.find("Stopped by signal"), std::string::npos) << r.out;
    // It ended inside the checkpoint after the first batch, before writing
    // it; the factor of that batch was already on disk.
    EXPECT_FALSE(fileExists(dir.file("quilbrex.cpt")));
    EXPECT_EQ(count(readFile(dir.file("factors.txt")), FACTOR_LINE), 1u);
}
