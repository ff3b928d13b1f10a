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
#include <cstring>
#include <regex>
#include <string>

#include "driver/startup.h"
#include "gpu/host_runtime_control.h"
#include "sieve/device_sieve.h"
#include "quilbrex.h"
#include "support/test_support.h"
#include "workfiles/durable_file.h"

namespace {

const std::string TYPICAL = "FermatFactor=54,54,4001,5001\n";
const std::string FACTOR_LINE = "!!! Found factor 4119*2^54+1 !!!\n";

}  // namespace

TEST(RunSafety, FactorThatCannotBeRecordedKeepsTheLineAndIsFoundAgain) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ASSERT_EQ(mkdir(dir.file("factors.txt").c_str(), 0755), 0);
    ChildResult refused = runQuilbrex(dir.path());
    EXPECT_TRUE(refused.exited);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("\n" + FACTOR_LINE), std::string::npos);
    EXPECT_EQ(refused.err, "\n" + FACTOR_LINE +
                               "Can't record this factor in factors.txt: Is a directory. Stopping; the assignment line "
                               "and the checkpoint stay before it, so the next start finds it again.\n");
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
    EXPECT_EQ(readFile(dir.file("results.txt")).find("Range is complete"), std::string::npos);

    ASSERT_EQ(rmdir(dir.file("factors.txt").c_str()), 0);
    ChildResult again = runQuilbrex(dir.path());
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
    ChildResult r = runQuilbrex(dir.path());
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("\nRemoved obsolete checkpoint file quilbrex.cpt and continue.\n"
                         "\nStarting range: n=54-54 and k=4001-5001\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\n" + typicalTested() + " in 0.00 seconds at inf/sec\n"), std::string::npos);
    EXPECT_EQ(countOf(readFile(dir.file("factors.txt")), FACTOR_LINE), 1u);
}

// A checkpoint that does not fit the line but cannot be removed must not be
// announced as removed; the run stops with the line and the checkpoint kept.
TEST(RunSafety, ObsoleteCheckpointThatCannotBeRemovedStopsTheRun) {
    // A folder is no checkpoint: not even an empty one is removed as one.
    for (bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "empty folder" : "folder with a file");
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), TYPICAL);
        ASSERT_EQ(mkdir(dir.file("quilbrex.cpt").c_str(), 0755), 0);
        if (!empty) writeFile(dir.file("quilbrex.cpt/kept"), "");
        ChildResult r = runQuilbrex(dir.path());
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out.find("Removed obsolete checkpoint"), std::string::npos) << r.out;
        EXPECT_EQ(r.err,
                  "\nCan't remove obsolete checkpoint file quilbrex.cpt: it is a folder, not a file. Stopping.\n");
        struct stat info;
        EXPECT_TRUE(stat(dir.file("quilbrex.cpt").c_str(), &info) == 0 && S_ISDIR(info.st_mode));
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
        EXPECT_FALSE(fileExists(dir.file("factors.txt")));
    }
}

TEST(RunSafety, CheckpointWithWholeSecondsResumes) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    writeFile(dir.file("quilbrex.cpt"), "nCurrent=54\nkCurrent=4201\nkTested =100\nseconds =61\nfactors =1\n");
    ChildResult r = runQuilbrex(dir.path());
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
    ChildResult r = runQuilbrex(dir.path());
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
    ChildResult r = runQuilbrex(dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nCan't rewrite worktodo file worktodo.txt: it has no write permission. Stopping before the search.\n");
    EXPECT_EQ(r.out.find("Testing for n"), std::string::npos);
    // Refused before the line starts: no Starting range record at every start.
    EXPECT_EQ(r.out.find("Starting range"), std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("results.txt")));
    EXPECT_FALSE(fileExists(dir.file("factors.txt")));
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
}

// Either loop: the child inherits the sieve.
using FailingDeviceOnBothSieves = BothSieves;
INSTANTIATE_TEST_SUITE_P(BothSieves, FailingDeviceOnBothSieves, testing::Values(false, true), sieveName);

TEST_P(FailingDeviceOnBothSieves, FailingSynchronisationStopsWithTheLineKept) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    // The host-fed loop waits for the device as a whole, the device-sieve
    // loop for each batch's copy back.
    ChildResult r = runQuilbrex(dir.path(), {fixedClock, fixedMonotonic,
                                             sieveOnDevice ? hostOpEventSynchronize : hostOpDeviceSynchronize});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("\nTesting for n = 54\ncudaThreadSynchronize failed!\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(" : CUDA Runtime API error 719: unspecified launch failure.\n"), std::string::npos);
    if (sieveOnDevice) {
        EXPECT_NE(r.err.find("\nThe device failed on the batch at n=54, k=4001 (501 odd k). Stopping; the checkpoint "
                             "and the assignment line stay before this batch.\n"),
                  std::string::npos)
            << r.err;
    }
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
    // Several batches at n = 54 whatever the sieve's depth; the first finds
    // 4119 and, if it reaches that far (a shallow sieve fills a batch
    // sooner), 21626655 (both factors of F_52).
    const std::string end = "40000001";
    const std::string line = "FermatFactor=54,54,4001," + end + "\n";
    TempDir whole, stopped;
    writeFile(whole.file("worktodo.txt"), line);
    writeFile(stopped.file("worktodo.txt"), line);
    ChildResult uninterrupted = runQuilbrex(whole.path());
    ASSERT_EQ(uninterrupted.status, 6);

    ChildResult signalled = runQuilbrex(stopped.path(), {fixedClock, signallingClock});
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
    const std::string found = boundary > 21626655u ? "2" : "1";
    EXPECT_NE(checkpoint.find("factors =" + found + "\nline    =" + line),
              std::string::npos)
        << checkpoint;
    EXPECT_NE(signalled.out.find("\nStopped by signal 15 (Terminated) at n=54, k=" + std::to_string(boundary) +
                                 "; the next start continues there.\n"),
              std::string::npos)
        << signalled.out;
    EXPECT_EQ(readFile(stopped.file("worktodo.txt")), line);

    ChildResult resumed = runQuilbrex(stopped.path());
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
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,40000001\n");
    looks = 0;
    ChildResult r = runQuilbrex(dir.path(), {fixedClock, impatientClock});
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(r.out.find("Stopped by signal"), std::string::npos) << r.out;
    // It ended inside the checkpoint after the first batch, before writing
    // it; the factor of that batch was already on disk.
    EXPECT_FALSE(fileExists(dir.file("quilbrex.cpt")));
    EXPECT_EQ(countOf(readFile(dir.file("factors.txt")), FACTOR_LINE), 1u);
}

namespace {

// A clock 10 seconds on at every look that sends signal at the third: when
// the first batch of the exponent is done.
int signalToSend;
double steppingClock() {
    if (++looks == 3) raise(signalToSend);
    return 1000 + 10 * looks;
}

}  // namespace

// The checkpoint of a stop keeps the time up to the last batch done: the
// batch it abandons is searched again, and its time would count twice.
TEST(RunSafety, StopCountsTheTimeUpToTheLastBatchDone) {
    TempDir dir;
    // More than one batch at the host device's depth, and no factor in the
    // first, whose checkpoint would move the search time on.
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,21626657,60000001\n");
    looks = 0;
    signalToSend = SIGTERM;
    ChildResult r = runQuilbrex(dir.path(), {fixedClock, steppingClock});
    EXPECT_EQ(r.signal, SIGTERM);
    // Searched from the second look (1020) to the third (1030).
    EXPECT_NE(readFile(dir.file("quilbrex.cpt")).find("\nseconds =10.00\n"), std::string::npos)
        << readFile(dir.file("quilbrex.cpt"));
}

// nohup, or a background job of a shell without job control: a stop signal
// ignored when the program starts stays ignored; the others still stop it.
TEST(RunSafety, SignalIgnoredAtStartStaysIgnored) {
    for (int signal : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,5001,12000001\n");
        ChildResult r = runInChild(
            [signal]() {
                ::signal(signal, SIG_IGN);
                looks = 0;
                signalToSend = signal;
                hostRuntimeReset();
                clockNow = fixedClock;
                monotonicNow = steppingClock;
                return quilbrexMain();
            },
            dir.path());
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 6);
        EXPECT_EQ(r.out.find("Stopped by signal"), std::string::npos);
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
    }
}

namespace {

ChildResult runFailing(const std::string& dir, int stage, const char* file, int skip) {
    return runInChild(
        [=]() {
            hostRuntimeReset();
            clockNow = fixedClock;
            monotonicNow = fixedMonotonic;
            durableFailAt = stage;
            durableFailPath = file;
            durableFailSkip = skip;
            return quilbrexMain();
        },
        dir);
}

}  // namespace

// A run-log record that cannot be written, or flushed, stops the run with the
// line and the checkpoint before it; the next start writes it, once. So does
// a factor record found on disk that cannot be flushed: it is not trusted.
TEST(RunSafety, RecordThatCannotBeMadeDurableStopsTheRunBeforeIt) {
    const std::string STOP = ". Stopping; the assignment line and the checkpoint stay before it, so the next start "
                             "writes it.\n";
    const struct {
        const char* what;
        int stage;
        const char* file;
        int skip;
        std::string err;
    } cases[] = {
        {"disk full at the Starting range record", DURABLE_FAIL_APPEND, "results.txt", 0,
         "\nCan't write a record to results.txt: No space left on device" + STOP},
        {"disk full at the summary", DURABLE_FAIL_APPEND, "results.txt", 1,
         "\nCan't write a record to results.txt: No space left on device" + STOP},
        {"disk full at the closing record", DURABLE_FAIL_APPEND, "results.txt", 2,
         "\nCan't write a record to results.txt: No space left on device" + STOP},
        {"flush of the summary fails", DURABLE_FAIL_FILE_SYNC, "results.txt", 0,
         "\nCan't write a record to results.txt: Input/output error" + STOP},
        {"flush of the closing record fails", DURABLE_FAIL_FILE_SYNC, "results.txt", 1,
         "\nCan't write a record to results.txt: Input/output error" + STOP},
        // What a killed run left is flushed at the start, before anything is read from it.
        {"a factors.txt left by a killed run is not flushed", DURABLE_FAIL_FILE_SYNC, "factors.txt", 0,
         "\nCan't flush factors.txt to disk: Input/output error. Stopping before it is used.\n"},
        {"a factor record found is not flushed", DURABLE_FAIL_FILE_SYNC, "factors.txt", 1,
         "\n" + FACTOR_LINE +
             "Can't record this factor in factors.txt: Input/output error. Stopping; the assignment line and the "
             "checkpoint stay before it, so the next start finds it again.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), TYPICAL);
        // As a stop left it between the factor's record and its flush.
        if (std::string(c.file) == "factors.txt") writeFile(dir.file("factors.txt"), "stamp\n" + FACTOR_LINE);
        ChildResult failed = runFailing(dir.path(), c.stage, c.file, c.skip);
        EXPECT_TRUE(failed.exited);
        EXPECT_EQ(failed.status, 1);
        EXPECT_EQ(failed.err, c.err);
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
        std::string before = readFile(dir.file("results.txt"));
        EXPECT_EQ(before.find("Range is complete"), std::string::npos);
        // No torn record: the log ends where a whole record ended.
        EXPECT_TRUE(before.empty() || before.back() == '\n') << before;

        ChildResult again = runQuilbrex(dir.path());
        EXPECT_EQ(again.status, 6) << again.err;
        std::string results = readFile(dir.file("results.txt"));
        EXPECT_EQ(countOf(results, "Starting range: n=54-54 and k=4001-5001\n"), 1u) << results;
        EXPECT_EQ(countOf(results, "n=54: tested "), 1u) << results;
        EXPECT_EQ(countOf(results, "Range is complete. Found 1 factor(s)."), 1u) << results;
        EXPECT_EQ(countOf(readFile(dir.file("factors.txt")), FACTOR_LINE), 1u);
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
        EXPECT_FALSE(fileExists(dir.file("quilbrex.cpt")));
    }
}

// The last line removed, a stop before its checkpoint went: with no line
// after it, the next start removes it, and the same line queued again later
// is searched, not taken for done.
TEST(RunSafety, LeftoverCheckpointOfTheLastLineIsRemovedAndNeverStandsInForWork) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "");
    const std::string leftover =
        "nCurrent=55\nkCurrent=4001\nkTested =0\nseconds =0.00\nfactors =1\nline    =FermatFactor=54,54,4001,5001\n";
    writeFile(dir.file("quilbrex.cpt"), leftover);
    ChildResult empty = runQuilbrex(dir.path());
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "");
    EXPECT_FALSE(fileExists(dir.file("quilbrex.cpt")));

    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ChildResult again = runQuilbrex(dir.path());
    EXPECT_EQ(again.status, 6);
    EXPECT_NE(again.out.find("\nStarting range: n=54-54 and k=4001-5001\n"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find(FACTOR_LINE), std::string::npos);

    // The same line twice in a row, a stop between the first copy's removal
    // and its checkpoint's: the second copy is searched, not taken for the
    // first. Before the removal the first copy is only closed and removed.
    const std::string searchedThrough = leftover + "worktodo=" + std::to_string(2 * TYPICAL.size()) + "\n";
    for (int copies : {1, 2}) {
        SCOPED_TRACE(copies);
        writeFile(dir.file("worktodo.txt"), copies == 1 ? TYPICAL : TYPICAL + TYPICAL);
        writeFile(dir.file("quilbrex.cpt"), searchedThrough);
        writeFile(dir.file("results.txt"), "");
        ChildResult queued = runQuilbrex(dir.path());
        EXPECT_EQ(queued.status, 6) << queued.err;
        EXPECT_EQ(countOf(queued.out, "\nStarting range: n=54-54 and k=4001-5001\n"), 1u) << queued.out;
        EXPECT_EQ(countOf(readFile(dir.file("results.txt")), "n=54: tested "), 1u);
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
    }

    // A checkpoint of a line not searched through is no leftover: kept.
    const std::string unfinished = "nCurrent=54\nkCurrent=4201\nline    =FermatFactor=54,54,4001,5001\n";
    writeFile(dir.file("quilbrex.cpt"), unfinished);
    EXPECT_EQ(runQuilbrex(dir.path()).status, 1);
    EXPECT_EQ(readFile(dir.file("quilbrex.cpt")), unfinished);
}

// A link someone else planted is not followed, whichever work file it
// stands for: a root run in a folder another user can write would write its
// records, or empty a file line by line, wherever that user points it.
TEST(RunSafety, SymlinkOfAnotherUserIsRefusedForEveryWorkFile) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a link away needs root";
    const struct {
        const char* name;
        const char* shown;
    } cases[] = {
        {"worktodo.txt", "worktodo file worktodo.txt"},
        {"results.txt", "results.txt"},
        {"factors.txt", "factors.txt"},
        {"quilbrex.cpt", "quilbrex.cpt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string precious = "first\n" + TYPICAL;
        writeFile(dir.file("target.txt"), precious);
        if (std::string(c.name) != "worktodo.txt") writeFile(dir.file("worktodo.txt"), TYPICAL);
        ASSERT_EQ(symlink("target.txt", dir.file(c.name).c_str()), 0);
        ASSERT_EQ(lchown(dir.file(c.name).c_str(), 4321, 4321), 0);
        ChildResult r = runQuilbrex(dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nCan't use ") + c.shown +
                             ": it is a symbolic link owned by another user (uid 4321), and only links of the user "
                             "running the program (uid 0) are followed.\n");
        EXPECT_EQ(readFile(dir.file("target.txt")), precious);
        EXPECT_EQ(r.out.find("Testing for n"), std::string::npos);
    }
}

// Foreign lines are removed one by one from a file that is evidently an
// assignment file; one with no assignment line and several others (the
// user's own link to the wrong file, say) is refused, untouched.
TEST(RunSafety, FileWithoutAnyAssignmentLineIsNotEmptied) {
    const std::string REFUSED = "\nCan't use worktodo file worktodo.txt: none of its lines begins with FermatFactor= "
                                "and 3 lines hold something else, so it is not taken for an assignment file and no "
                                "line of it is removed.\n";
    const struct {
        const char* what;
        std::string content;
        bool link;
        int status;
        std::string err, left;
    } cases[] = {
        {"the user's link to notes", "my notes\n\nmore notes\nand more", true, 1, REFUSED, ""},
        {"a file of notes", "my notes\n\nmore notes\nand more\n", false, 1, REFUSED, ""},
        {"one foreign line", "# a note\n", false, 6, "", ""},
        {"foreign lines above an assignment", "# a note\n# another\n" + TYPICAL, false, 6, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.link) {
            writeFile(dir.file("notes.txt"), c.content);
            ASSERT_EQ(symlink("notes.txt", dir.file("worktodo.txt").c_str()), 0);
        } else {
            writeFile(dir.file("worktodo.txt"), c.content);
        }
        ChildResult r = runQuilbrex(dir.path());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(readFile(dir.file(c.link ? "notes.txt" : "worktodo.txt")), c.err.empty() ? c.left : c.content);
    }
}
