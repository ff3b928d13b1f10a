// ReplaceFileContents and AppendRecord: a rewrite is all or nothing and leaves no temporary file; records are appended, stamped, and a lost record is reported.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "workfiles/assignment.h"
#include "workfiles/atomic_file.h"
#include "workfiles/durable_file.h"
#include "workfiles/proof_log.h"
#include "workfiles/run_log.h"
#include "workfiles_test_helpers.h"

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Calls ReplaceFileContents inside dir, output captured.
CallOutcome Replace(const TempDir& dir, const std::string& data, bool* result) {
    return CaptureCall(dir.path(), [&] {
        *result = ReplaceFileContents("data.txt", data.data(), data.size());
        return 0;
    });
}

TEST(AtomicFile, ReplacesTheWholeContentAndKeepsThePermissions) {
    ResetWorkFileState();
    const std::string binary("new\0content\xff", 12);
    const std::string contents[] = {"", "x", binary, std::string(1 << 20, 'z')};
    for (const std::string& data : contents) {
        SCOPED_TRACE(data.size());
        TempDir dir;
        writeFile(dir.file("data.txt"), "old content that is longer than some of the new\n");
        ASSERT_EQ(chmod(dir.file("data.txt").c_str(), 0640), 0);
        bool result = false;
        CallOutcome outcome = Replace(dir, data, &result);
        EXPECT_TRUE(result);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(readFile(dir.file("data.txt")), data);
        EXPECT_EQ(ModeOf(dir.file("data.txt")), 0640u);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"data.txt"}), "");
    }
}

TEST(AtomicFile, CreatesAMissingFileWithTheUsualPermissions) {
    ResetWorkFileState();
    TempDir dir;
    mode_t mask = umask(022);
    bool result = false;
    Replace(dir, "fresh\n", &result);
    umask(mask);
    EXPECT_TRUE(result);
    EXPECT_EQ(readFile(dir.file("data.txt")), "fresh\n");
    EXPECT_EQ(ModeOf(dir.file("data.txt")), 0644u);
}

TEST(AtomicFile, FailureAtAnyStageLeavesTheOldFileAndNoTemporary) {
    struct StageCase {
        int stage;
        std::string message;
    };
    const StageCase cases[] = {
        {ATOMIC_FAIL_OPEN, "\nCan't replace file data.txt: creating a temporary file beside it failed: Permission "
                           "denied. The file keeps its previous content.\n"},
        {ATOMIC_FAIL_WRITE, "\nCan't replace file data.txt: writing the new content failed: No space left on device. "
                            "The file keeps its previous content.\n"},
        {ATOMIC_FAIL_SYNC, "\nCan't replace file data.txt: flushing the new content to disk failed: Input/output "
                           "error. The file keeps its previous content.\n"},
        {ATOMIC_FAIL_RENAME, "\nCan't replace file data.txt: renaming the new content over it failed: Invalid "
                             "cross-device link. The file keeps its previous content.\n"},
    };
    const std::string old("old\0content\n", 12);
    for (const StageCase& c : cases) {
        SCOPED_TRACE(c.stage);
        ResetWorkFileState();
        TempDir dir;
        writeFile(dir.file("data.txt"), old);
        atomicWriteFailAt = c.stage;
        bool result = true;
        CallOutcome outcome = Replace(dir, "new content, long enough to be cut short\n", &result);
        atomicWriteFailAt = ATOMIC_FAIL_NONE;
        EXPECT_FALSE(result);
        EXPECT_EQ(outcome.err, c.message);
        EXPECT_EQ(readFile(dir.file("data.txt")), old);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"data.txt"}), "");
    }
}

TEST(AtomicFile, FileWithoutWritePermissionIsNotReplaced) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("data.txt"), "kept\n");
    ASSERT_EQ(chmod(dir.file("data.txt").c_str(), 0444), 0);
    bool result = true;
    CallOutcome outcome = Replace(dir, "new\n", &result);
    EXPECT_FALSE(result);
    EXPECT_EQ(outcome.err,
              "\nCan't replace file data.txt: it has no write permission. The file keeps its previous content.\n");
    EXPECT_EQ(readFile(dir.file("data.txt")), "kept\n");
    EXPECT_EQ(UnexpectedFiles(dir.path(), {"data.txt"}), "");
}

// Root writes into read-only directories, so the child gives up root first:
// the directory then really refuses the temporary file.
TEST(AtomicFile, ReadOnlyDirectoryIsReported) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("data.txt"), "kept\n");
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    ChildResult child = runInChild(
        [] {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 90;
            return ReplaceFileContents("data.txt", "new\n", 4) ? 0 : 1;
        },
        dir.path());
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.err, "\nCan't replace file data.txt: creating a temporary file beside it failed: Permission "
                         "denied. The file keeps its previous content.\n");
    EXPECT_EQ(readFile(dir.file("data.txt")), "kept\n");
    EXPECT_EQ(UnexpectedFiles(dir.path(), {"data.txt"}), "");
}

// A process other than root cannot keep another user's ownership. Where the
// folder takes a temporary file the file is still replaced whole (a kill can
// never leave it empty) and the change of owner is said; only a folder that
// takes none leaves the rewrite in place, and only where the caller allows it.
TEST(AtomicFile, FileOfAnotherUserIsReplacedWholeWhereverTheFolderAllows) {
    const struct {
        const char* what;
        bool folderWritable;
        uid_t owner;
        const char* err;
        uid_t ownerAfter;
        bool sameInode;
    } cases[] = {
        {"own file, read-only folder", false, 65534, "", 65534, true},
        {"another user's file, read-only folder", false, 4321, "", 4321, true},
        {"another user's file, writable folder", true, 4321,
         "\ndata.txt belonged to another user (uid 4321) and was replaced whole: it now belongs to the user running "
         "the program (uid 65534), with the same permissions, since only root can keep a file's owner.\n",
         65534, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorkFileState();
        TempDir dir;
        writeFile(dir.file("data.txt"), "old content, longer than the new\n");
        ASSERT_EQ(chown(dir.file("data.txt").c_str(), c.owner, 65534), 0);
        ASSERT_EQ(chmod(dir.file("data.txt").c_str(), 0666), 0);
        ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), c.folderWritable ? 0755 : 0555), 0);
        struct stat before, after;
        ASSERT_EQ(stat(dir.file("data.txt").c_str(), &before), 0);
        ChildResult child = runInChild(
            [] {
                if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 90;
                std::string atomicOnly = WhyNotReplaceable("data.txt", REWRITE_ATOMIC_ONLY);
                std::string inPlace = WhyNotReplaceable("data.txt", REWRITE_IN_PLACE_IF_NEEDED);
                const bool folder = access(".", W_OK) == 0;
                if (atomicOnly != (folder ? "" : "its folder cannot take a temporary file beside it") || !inPlace.empty())
                    return 91;
                return ReplaceFileContents("data.txt", "new\n", 4, REWRITE_IN_PLACE_IF_NEEDED) ? 0 : 1;
            },
            dir.path());
        chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(child.status, 0) << child.err;
        EXPECT_EQ(child.err, c.err);
        EXPECT_EQ(readFile(dir.file("data.txt")), "new\n");
        ASSERT_EQ(stat(dir.file("data.txt").c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, c.ownerAfter);
        EXPECT_EQ(after.st_mode & 07777, 0666u);
        EXPECT_EQ(after.st_ino == before.st_ino, c.sameInode);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"data.txt"}), "");
    }
}

TEST(AtomicFile, SymlinkIsRewrittenAtItsTargetWithOwnerAndMode) {
    ResetWorkFileState();
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("elsewhere").c_str(), 0755), 0);
    writeFile(dir.file("elsewhere/real.txt"), "old\n");
    ASSERT_EQ(chmod(dir.file("elsewhere/real.txt").c_str(), 0604), 0);
    // Only root can hand a file to another user; a root run must not take it.
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.file("elsewhere/real.txt").c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(symlink("elsewhere/real.txt", dir.file("data.txt").c_str()), 0);
    bool result = false;
    CallOutcome outcome = Replace(dir, "new\n", &result);
    EXPECT_TRUE(result);
    EXPECT_EQ(outcome.err, "");
    struct stat link, real;
    ASSERT_EQ(lstat(dir.file("data.txt").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    ASSERT_EQ(stat(dir.file("elsewhere/real.txt").c_str(), &real), 0);
    EXPECT_EQ(readFile(dir.file("elsewhere/real.txt")), "new\n");
    EXPECT_EQ(real.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(real.st_uid, 65534u);
        EXPECT_EQ(real.st_gid, 65534u);
    }
    EXPECT_EQ(UnexpectedFiles(dir.file("elsewhere"), {"real.txt"}), "");
}

TEST(AtomicFile, WhatIsNotARegularFileIsNeverReplaced) {
    ResetWorkFileState();
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("data.txt").c_str(), 0644), 0);
    EXPECT_EQ(WhyNotReplaceable(dir.file("data.txt").c_str(), REWRITE_IN_PLACE_IF_NEEDED), "it is not a regular file");
    bool result = true;
    CallOutcome outcome = Replace(dir, "new\n", &result);
    EXPECT_FALSE(result);
    EXPECT_EQ(outcome.err, "\nCan't replace file data.txt: it is not a regular file. It stays as it is.\n");
    struct stat info;
    ASSERT_EQ(lstat(dir.file("data.txt").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(AtomicFile, OnlyTemporariesOfKilledRewritesAreRemoved) {
    TempDir dir;
    const char* names[] = {"worktodo.txt.tmp-a1B2c3", "worktodo.txt.tmp-short", "worktodo.txt.backup",
                           "other.txt.tmp-a1B2c3", "worktodo.txt"};
    for (const char* name : names) writeFile(dir.file(name), "x");
    inDirectory(dir.path(), [] { RemoveStaleTemporaries("worktodo.txt"); });
    EXPECT_FALSE(fileExists(dir.file("worktodo.txt.tmp-a1B2c3")));
    EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt.tmp-short", "worktodo.txt.backup", "other.txt.tmp-a1B2c3",
                                           "worktodo.txt"}),
              "");
    for (const char* name : names)
        if (std::string(name) != "worktodo.txt.tmp-a1B2c3") {
            EXPECT_TRUE(fileExists(dir.file(name))) << name;
        }
}

// A proof block opened on what a stop, a kill or a power cut left in
// proofs.txt, its batches' proof k added again from the resume point on and
// the block closed: every record once, in order, and a block already closed
// left alone. A cut line (a power cut) goes; a line that is no record with
// records after it stays, for the checker to name.
TEST(ProofLog, ABlockResumedAnywhereEndsWithNothingLostOrDoubled) {
    const std::string A = "n=54 t=3 k=1003\n", B = "n=54 t=3 k=1011\n", C = "n=54 t=3 k=1029\n";
    const std::string CLOSE = "n=54 t=3 tested=10 proofs=3 primes=4 r=2^-(2^(n-1))\n";
    // A closing record as the program wrote it before it named the residue.
    const std::string UNLABELLED_CLOSE = "n=54 t=3 tested=10 proofs=3 primes=4\n";
    const std::string SUMMARY = "n=54: tested 10 of 1001 numbers ( 1.00%) in 0.00 seconds at 0/sec\n";
    const std::string EARLIER = "n=54 t=3 k=7\nn=54 t=3 tested=5 proofs=1 primes=4\n";
    // An open block longer than the pieces the end of the file is read in.
    std::string big;
    for (uint64_t k = 1; k < 18000; k += 2) big += "n=54 t=3 k=" + std::to_string(k) + "\n";
    const std::string BIG_CLOSE = "n=54 t=3 tested=10 proofs=9000 primes=4 r=2^-(2^(n-1))\n";
    const struct Case {
        const char* what;
        std::string before, results;
        uint64_t resume;
        bool summaryLogged;
        std::string after;
        uint64_t count;
    } cases[] = {
        {"a fresh search", "", "", 1001, false, A + B + C + CLOSE, 3},
        {"a resume after the checkpoint of the first records", A + B, "", 1013, false, A + B + C + CLOSE, 3},
        {"records past the checkpoint (a kill before it)", A + B + C, "", 1005, false, A + B + C + CLOSE, 3},
        {"every record past it", A + B + C, "", 1001, false, A + B + C + CLOSE, 3},
        {"a record cut by a power cut", A + "n=54 t=3 k=10", "", 1005, false, A + B + C + CLOSE, 3},
        {"a cut closing record", A + B + C + "n=54 t=3 tes", "", 1031, false, A + B + C + CLOSE, 3},
        {"closed, its summary not yet written", A + B + C + CLOSE, "", 1013, false, A + B + C + CLOSE, 0},
        {"closed and summarised", A + B + C + CLOSE, SUMMARY, 1013, true, A + B + C + CLOSE, 0},
        {"closed by an older program, its summary not yet written", A + B + C + UNLABELLED_CLOSE, "", 1013, false,
         A + B + C + UNLABELLED_CLOSE, 0},
        {"a last line with more than the residue after a closing record (no record: cut)", A + B + C + CLOSE.substr(0, CLOSE.size() - 1) + "x\n",
         "", 1001, false, A + B + C + CLOSE, 3},
        {"an earlier line's block of the same exponent", EARLIER, SUMMARY, 1001, false, EARLIER + A + B + C + CLOSE, 3},
        {"the open block of a search never closed", "n=53 t=3 k=9\n", "", 1001, false, A + B + C + CLOSE, 3},
        {"an open block longer than a read piece, a record past the resume point",
         "n=53 t=3 tested=1 proofs=0 primes=4\n" + big + "n=54 t=3 k=20001\n", "", 19001, false,
         "n=53 t=3 tested=1 proofs=0 primes=4\n" + big + BIG_CLOSE, 9000},
        {"a line that is no record, records after it", "garbage\n" + A, "", 1005, false,
         "garbage\n" + A + B + C + CLOSE, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorkFileState();
        TempDir dir;
        if (!c.before.empty()) writeFile(dir.file(PROOFS_FILE), c.before);
        if (!c.results.empty()) writeFile(dir.file(RESULTS_FILE), c.results);
        uint64_t count = 99;
        const CallOutcome outcome = CaptureCall(dir.path(), [&] {
            BeginProofBlock(54, 3, c.resume, c.summaryLogged);
            // The batches from the resume point on find their proof k again,
            // one batch per record, a checkpoint after each.
            for (uint64_t k : {1003ull, 1011ull, 1029ull}) {
                if (k < c.resume) continue;
                AddProofs(&k, 1);
                FlushProofLog();
            }
            count = ProofCount();
            EndProofBlock(10, 4);
            return 0;
        });
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(readFile(dir.file(PROOFS_FILE)), c.after);
        EXPECT_EQ(count, c.count);
    }
}

TEST(RunLog, RecordsAreAppendedStampedOrNot) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file(RESULTS_FILE), "earlier\n");
    fixedNow = 1700000000;
    CallOutcome outcome = CaptureCall(dir.path(), [&] {
        AppendRecord(RESULTS_FILE, "n=54: tested\n", true);
        fixedNow = 0;  // an unstamped record must not read the clock
        AppendRecord(RESULTS_FILE, "Range is complete. No factors found.\n", false);
        return 0;
    });
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(timer, 1700000000);
    EXPECT_EQ(readFile(dir.file(RESULTS_FILE)),
              std::string("earlier\n") + FIXED_STAMP + "n=54: tested\nRange is complete. No factors found.\n");
}

// A record that cannot be written, or not flushed, stops the run: going on
// would let the checkpoint or the line's removal pass a record that is lost.
TEST(RunLog, RecordThatCannotBeWrittenStopsTheRun) {
    const std::string STOP = ". Stopping; the assignment line and the checkpoint stay before it, so the next start "
                             "writes it.\n";
    struct Case {
        const char* what;
        const char* path;
        int stage;
        std::string err;
    } cases[] = {
        {"missing folder", "missing/results.txt", DURABLE_FAIL_NONE,
         "\nCan't write a record to missing/results.txt: No such file or directory" + STOP},
        {"disk full", RESULTS_FILE, DURABLE_FAIL_APPEND, "\nCan't write a record to results.txt: No space left on device" + STOP},
        {"flush fails", RESULTS_FILE, DURABLE_FAIL_FILE_SYNC, "\nCan't write a record to results.txt: Input/output error" + STOP},
        {"folder flush of a new log fails", RESULTS_FILE, DURABLE_FAIL_FOLDER_SYNC,
         "\nCan't write a record to results.txt: Input/output error" + STOP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ChildResult child = runInChild(
            [&] {
                durableFailAt = c.stage;
                AppendRecord(c.path, "record\n", true);
                return 0;
            },
            dir.path());
        EXPECT_TRUE(child.exited);
        EXPECT_EQ(child.status, 1);
        EXPECT_EQ(child.err, c.err);
    }
}

// text followed by lines of x up to size bytes.
std::string Padded(std::string text, size_t size) {
    while (text.size() < size) text += std::string(std::min<size_t>(60, size - text.size()) - 1, 'x') + "\n";
    return text;
}

// The records of the line under way: its Starting range record is written
// once however often the line starts afresh, and a summary it already has is
// found after it, never in an earlier line's records.
TEST(RunLog, LineRecordsAreWrittenOnce) {
    const std::string START = "Starting range: n=149-154 and k=3001-6001\n";
    const std::string RULE = std::string(RUN_LOG_RULE) + "\n";
    struct Case {
        const char* what;
        std::string log;
        bool startAppended;  // LogLineStart appends the record
        bool holds149;       // LineLogHolds finds "n=149: tested "
    } cases[] = {
        {"empty log", "", true, false},
        {"earlier lines closed", "d\n" + START + "d\nn=149: tested 1\nRange is complete.\n" + RULE, true, false},
        {"line open, no summary", "d\n" + START, false, false},
        {"line open with the summary", "d\n" + START + "d\nn=149: tested 1\n", false, true},
        {"summary of another line before", "d\nStarting range: n=149-150 and k=3-5\nd\nn=149: tested 1\nd\n" + START,
         false, false},
        // The line comes back after another was started: its records since its own start count.
        {"another line started after", "d\n" + START + "d\nn=149: tested 1\nd\nStarting range: n=150-151 and k=3-5\n",
         false, true},
        {"the record at the log's start", START + "n=149: tested 1\n", false, true},
        {"a long closed log before", std::string(50000, 'x') + "\n" + RULE + "d\n" + START + "d\nn=149: tested 7\n",
         false, true},
        // The log is read backwards in pieces of 16384 bytes: a rule across
        // two pieces, or at a piece's start, counts as one anywhere else.
        {"a rule across two pieces", "d\nn=149: tested 1\n" + RULE + Padded("d\n" + START, 16384 - 40), false, false},
        {"a rule at a piece's start", "d\nn=149: tested 1\n" + RULE + Padded("d\n" + START, 16384 - 81), false, false},
        {"a rule's text inside a line", "d\n" + START + "d\nn=149: tested 1\nx" + RULE + Padded("d\n", 16384 - 81),
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorkFileState();
        TempDir dir;
        if (!c.log.empty()) writeFile(dir.file(RESULTS_FILE), c.log);
        bool holds = !c.holds149;
        fixedNow = 1700000000;
        CallOutcome outcome = CaptureCall(dir.path(), [&] {
            holds = LineLogHolds(START.c_str(), "n=149: tested ");
            LogLineStart(START.c_str());
            return 0;
        });
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(holds, c.holds149);
        EXPECT_EQ(readFile(dir.file(RESULTS_FILE)), c.startAppended ? c.log + FIXED_STAMP + START : c.log);
    }
    // 12 MB of foreign lines and no rule: each look reads and searches every
    // byte once, not once per piece read after it.
    TempDir dir;
    const std::string foreign = Padded("", 12 << 20);
    writeFile(dir.file(RESULTS_FILE), foreign + START);
    runLogBytesExamined = 0;
    bool holds = true;
    CaptureCall(dir.path(), [&] {
        holds = LineLogHolds(START.c_str(), "n=149: tested ");
        LogLineStart(START.c_str());
        return 0;
    });
    EXPECT_FALSE(holds);
    const long long size = static_cast<long long>(foreign.size() + START.size());
    EXPECT_GE(runLogBytesExamined, 2 * size);
    EXPECT_LE(runLogBytesExamined, 2 * size + 2 * (size / 16384 + 1) * 81);
}

}  // namespace

namespace {

TEST(RunLog, LastLineIsToldFromEarlierOnes) {
    struct Case {
        const char* what;
        const char* content;  // nullptr: no file
        bool begins;
    } cases[] = {
        {"no file", nullptr, false},
        {"empty file", "", false},
        {"last line", "stamp\nn=54: tested 207 of 1001 numbers (20.68%) in 0.10 seconds\n", true},
        {"only an earlier line", "n=54: tested 207 of 1001 numbers (20.68%)\nRange is complete.\n", false},
        {"a torn last line", "stamp\nn=54: tested 207 of 1001 numbers (20.68%)", false},
        {"another count", "n=54: tested 208 of 1001 numbers (20.78%)\n", false},
        {"the only line", "n=54: tested 207 of 1001 numbers (20.68%)\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.content) writeFile(dir.file(RESULTS_FILE), c.content);
        bool begins = !c.begins;
        inDirectory(dir.path(), [&] { begins = LastLineBeginsWith(RESULTS_FILE, "n=54: tested 207 of 1001 numbers ("); });
        EXPECT_EQ(begins, c.begins);
    }
    // Only the tail of a long log is read.
    TempDir dir;
    writeFile(dir.file(RESULTS_FILE), std::string(100000, 'x') + "\nn=54: tested 207 of 1001 numbers (20.68%)\n");
    inDirectory(dir.path(), [] { EXPECT_TRUE(LastLineBeginsWith(RESULTS_FILE, "n=54: tested 207 of 1001 numbers (")); });
}

}  // namespace
