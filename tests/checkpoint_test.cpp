// The checkpoint file: resuming a line from it or starting afresh, CheckPoint's file, progress line and time accounting, and a failed write.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "workfiles/assignment.h"
#include "workfiles/checkpoint.h"
#include "workfiles_test_helpers.h"

namespace {

// The cut of FermatFactor=40,50,3,100000: odd k from 3 below L(n) = 2^(64-n) at n = 40 to 50.
const std::string LEFT_OUT_40_50 = [] {
    std::string text = "\n";
    for (int n = 40; n <= 50; ++n) {
        const unsigned long long below = 1ull << (64 - n), last = below - 1 < 100000 ? below - 1 : 99999;
        text += "n=" + std::to_string(n) + ": " + std::to_string((last - 3) / 2 + 1) + " odd k left out (k below " +
                std::to_string(below) + ": p too short for the band's kernels)\n";
    }
    return text;
}();
const std::string N_OUTSIDE = "\nThe current value for n (nCurrent) is outside of the range of n.\n";
const std::string K_OUTSIDE = "\nThe current value for k (kCurrent) is outside of the range of k.\n";
// Within one band and all below L, so it is never cut and the checkpoint meets it as written.
const std::string LINE = "FermatFactor=40,50,3,10000\n";
const std::string CONTINUE_45_1001 = "\nContinue range: n=40-50(45) and k=3-10000(1001)\n";

struct ResumeCase {
    const char* what;
    std::string line;
    const char* checkpoint;  // nullptr: no checkpoint file
    int code;
    std::string out;
    // Resume state afterwards (checked for code 0 only); the state before
    // the call is kTested 77, seconds 8.5, foundFactors 9.
    uint32_t n;
    uint64_t k, tested;
    double secs;
    uint32_t factors;
};

TEST(Resume, CheckpointIsReadOrTheLineStartsAfresh) {
    const std::vector<ResumeCase> cases = {
        {"all five keys", LINE, "nCurrent=45\nkCurrent=1001\nkTested =500\nseconds =12.50\nfactors =2\n", 0,
         CONTINUE_45_1001, 45, 1001, 500, 12.5, 2},
        {"hexadecimal", LINE, "nCurrent=0x2D\nkCurrent=0x3E9\nkTested =0x1F4\n", 0, CONTINUE_45_1001, 45, 1001, 500,
         8.5, 9},
        {"octal", LINE, "nCurrent=055\nkCurrent=01751\nfactors =017\n", 0, CONTINUE_45_1001, 45, 1001, 77, 8.5, 15},
        {"any order", LINE, "factors =2\nseconds =12.50\nkTested =500\nkCurrent=1001\nnCurrent=45\n", 0,
         CONTINUE_45_1001, 45, 1001, 500, 12.5, 2},
        {"later line wins", LINE, "nCurrent=41\nkCurrent=5\nnCurrent=45\nkCurrent=1001\n", 0, CONTINUE_45_1001, 45,
         1001, 77, 8.5, 9},
        {"foreign lines and keys without = ignored", LINE,
         "nCurrent 41\nkCurrent:5\n# note\nnCurrent=45\n\nkCurrent=1001\nnCurrentX=47\n", 0, CONTINUE_45_1001, 45,
         1001, 77, 8.5, 9},
        {"no final newline", LINE, "nCurrent=45\nkCurrent=1001", 0, CONTINUE_45_1001, 45, 1001, 77, 8.5, 9},
        {"empty checkpoint", LINE, "", 5, N_OUTSIDE, 0, 0, 0, 0, 0},
        {"no nCurrent", LINE, "kCurrent=1001\nkTested =500\n", 5, N_OUTSIDE, 0, 0, 0, 0, 0},
        {"nCurrent above nEnd", LINE, "nCurrent=51\nkCurrent=1001\n", 5, N_OUTSIDE, 0, 0, 0, 0, 0},
        {"nCurrent under nStart", LINE, "nCurrent=39\nkCurrent=1001\n", 5, N_OUTSIDE, 0, 0, 0, 0, 0},
        {"kCurrent beyond kEnd", LINE, "nCurrent=45\nkCurrent=10001\n", 5, K_OUTSIDE, 0, 0, 0, 0, 0},
        {"kCurrent under kStart", LINE, "nCurrent=45\nkCurrent=1\n", 5, K_OUTSIDE, 0, 0, 0, 0, 0},
        {"no kCurrent", LINE, "nCurrent=45\n", 5, K_OUTSIDE, 0, 0, 0, 0, 0},
        {"both outside: the n message alone", LINE, "nCurrent=60\nkCurrent=20000\n", 5, N_OUTSIDE, 0, 0, 0, 0, 0},
        // The line is cut before the checkpoint is judged: its first piece
        // is 48,48,65536,100000, where n = 45 no longer fits.
        // The cut tells what it leaves out (odd k below L(n) = 2^(64-n)) before the checkpoint is read.
        {"checkpoint of a line that gets cut first", "FermatFactor=40,50,3,100000\n", "nCurrent=45\nkCurrent=1001\n",
         5, LEFT_OUT_40_50 + N_OUTSIDE, 0, 0, 0, 0, 0},
        {"at the very start: announced as a start", LINE, "nCurrent=40\nkCurrent=3\nkTested =500\n", 0,
         StartingRange("n=40-50 and k=3-10000"), 40, 3, 500, 8.5, 9},
        {"even kCurrent: the odd k below it", LINE, "nCurrent=45\nkCurrent=1002\n", 0, CONTINUE_45_1001, 45, 1001, 77,
         8.5, 9},
        {"kCurrent 0", LINE, "nCurrent=45\nkCurrent=0\n", 5, K_OUTSIDE, 0, 0, 0, 0, 0},
        {"whole seconds", LINE, "nCurrent=45\nkCurrent=1001\nseconds =61\n", 0, CONTINUE_45_1001, 45, 1001, 77, 61,
         9},
        {"names this line", LINE, "nCurrent=45\nkCurrent=1001\nline    =FermatFactor=40,50,3,10000\n", 0,
         CONTINUE_45_1001, 45, 1001, 77, 8.5, 9},
        // Left behind by a stop between a line's removal and the checkpoint's.
        {"names another line", LINE, "nCurrent=45\nkCurrent=1001\nline    =FermatFactor=40,50,3,9999\n", 5, "", 0,
         0, 0, 0, 0},
        // Every exponent searched: only the line's end record and removal remain.
        {"searched through, naming this line", LINE,
         "nCurrent=51\nkCurrent=3\nfactors =2\nline    =FermatFactor=40,50,3,10000\n", 0,
         "\nContinue range: n=40-50(51) and k=3-10000(3)\n", 51, 3, 77, 8.5, 2},
        // The assignment file's size when it was searched through tells a
        // restart whether the line has been removed since: LINE is 27 bytes.
        {"searched through, the file as it was", LINE,
         "nCurrent=51\nkCurrent=3\nfactors =2\nline    =FermatFactor=40,50,3,10000\nworktodo=27\n", 0,
         "\nContinue range: n=40-50(51) and k=3-10000(3)\n", 51, 3, 77, 8.5, 2},
        {"searched through and removed: the same line queued again is next", LINE,
         "nCurrent=51\nkCurrent=3\nfactors =2\nline    =FermatFactor=40,50,3,10000\nworktodo=54\n", 5, "", 0, 0, 0,
         0, 0},
        {"searched through, k moved on", LINE, "nCurrent=51\nkCurrent=1001\nline    =FermatFactor=40,50,3,10000\n", 5,
         N_OUTSIDE, 0, 0, 0, 0, 0},
        {"names the line as written, kStart even", "FermatFactor=40,50,4,10000\n",
         "nCurrent=45\nkCurrent=1001\nline    =FermatFactor=40,50,4,10000\n", 5, "", 0, 0, 0, 0, 0},
        {"no checkpoint", LINE, nullptr, 0, StartingRange("n=40-50 and k=3-10000"), 40, 3, 0, 0, 0},
        {"even kStart: the start is the next odd k", "FermatFactor=40,50,4,10000\n", nullptr, 0,
         StartingRange("n=40-50 and k=5-10000"), 40, 5, 0, 0, 0},
    };
    for (const ResumeCase& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorkFileState();
        kTested = 77;
        seconds = 8.5;
        foundFactors = 9;
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), c.line);
        if (c.checkpoint) writeFile(dir.file(CHECKPOINT_FILE), c.checkpoint);
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, "");
        bool started = c.out.rfind("\nStarting", 0) == 0;
        const size_t told = c.out.rfind("left out");
        EXPECT_EQ(fileExists(dir.file(RESULTS_FILE)), started || told != std::string::npos);
        if (started) {
            EXPECT_EQ(readFile(dir.file(RESULTS_FILE)), FIXED_STAMP + c.out.substr(1));
        } else if (told != std::string::npos) {
            EXPECT_EQ(readFile(dir.file(RESULTS_FILE)), c.out.substr(1, c.out.find('\n', told)));
        }
        // The checkpoint is only ever read here; the work loop removes it.
        if (c.checkpoint) {
            EXPECT_EQ(readFile(dir.file(CHECKPOINT_FILE)), c.checkpoint);
        }
        if (c.code != 0) continue;
        EXPECT_EQ(nCurrent, c.n);
        EXPECT_EQ(kCurrent, c.k);
        EXPECT_EQ(kTested, c.tested);
        EXPECT_EQ(seconds, c.secs);
        EXPECT_EQ(foundFactors, c.factors);
    }
}

// A value that would wrap, or is no number, never becomes a count or a
// position: the field is named and nothing is touched, for the user to decide.
TEST(Resume, CorruptValueIsNamedAndNothingTouched) {
    const struct {
        const char* checkpoint;
        const char* field;
    } cases[] = {
        {"nCurrent=4294967341\nkCurrent=1001\n", "nCurrent"},
        {"nCurrent=-45\nkCurrent=1001\n", "nCurrent"},
        {"nCurrent=45x\nkCurrent=1001\n", "nCurrent"},
        {"nCurrent=\nkCurrent=1001\n", "nCurrent"},
        {"nCurrent=45\nkCurrent=18446744073709551617\n", "kCurrent"},
        {"nCurrent=45\nkCurrent=1001\nkTested =99999999999999999999\n", "kTested"},
        {"nCurrent=45\nkCurrent=1001\nkTested =-1\n", "kTested"},
        {"nCurrent=45\nkCurrent=1001\nseconds =nan\n", "seconds"},
        {"nCurrent=45\nkCurrent=1001\nseconds =inf\n", "seconds"},
        {"nCurrent=45\nkCurrent=1001\nseconds =-3\n", "seconds"},
        {"nCurrent=45\nkCurrent=1001\nfactors =-5\n", "factors"},
        {"nCurrent=45\nkCurrent=1001\nfactors =4294967296\n", "factors"},
        {"nCurrent=45\nkCurrent=1001\nfactors =two\n", "factors"},
        {"nCurrent=51\nkCurrent=3\nworktodo=-27\n", "worktodo"},
        {"nCurrent=51\nkCurrent=3\nbefore  =0123456789abcdeg\n", "before"},
        {"nCurrent=51\nkCurrent=3\nafter   =0123456789abcde\n", "after"},
        // The first bad field is named.
        {"factors =x\nnCurrent=45\nkCurrent=1001\nseconds =nan\n", "factors"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.checkpoint);
        ResetWorkFileState();
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), LINE);
        writeFile(dir.file(CHECKPOINT_FILE), c.checkpoint);
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, ASSIGNMENT_CORRUPT_CHECKPOINT);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, std::string("\nThe checkpoint file quilbrex.cpt is corrupt: the value of ") + c.field +
                                   " is not a number the program writes there. Stopping without touching any file; "
                                   "correct or remove it to go on.\n");
        EXPECT_EQ(readFile(dir.file(CHECKPOINT_FILE)), c.checkpoint);
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), LINE);
        EXPECT_FALSE(fileExists(dir.file(RESULTS_FILE)));
    }
}

TEST(Resume, EvenKStartIsOddOnlyInMemory) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=40,50,4,10000\n");
    CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(kStart, 5u);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "FermatFactor=40,50,4,10000\n");
}

TEST(Resume, StartingRecordIsAppendedToTheRunLog) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), LINE);
    writeFile(dir.file(RESULTS_FILE), "earlier record\n");
    fixedNow = 1700000000;
    CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(timer, 1700000000);
    EXPECT_EQ(readFile(dir.file(RESULTS_FILE)),
              std::string("earlier record\n") + FIXED_STAMP + "Starting range: n=40-50 and k=3-10000\n");
}

// Not even the Starting range record is lost: the line does not start.
TEST(Resume, UnopenableRunLogStopsBeforeTheLineStarts) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), LINE);
    ASSERT_EQ(mkdir(dir.file(RESULTS_FILE).c_str(), 0755), 0);
    ChildResult child = runInChild([] { return Read_Assignment_Line("worktodo.txt"); }, dir.path());
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out, StartingRange("n=40-50 and k=3-10000"));
    EXPECT_EQ(child.err, "\nCan't write a record to results.txt: Is a directory. Stopping; the assignment line and "
                         "the checkpoint stay before it, so the next start writes it.\n");
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), LINE);
}

void SetSearchState() {
    ResetWorkFileState();
    // The line LINE is being worked.
    nStart = 40;
    nEnd = 50;
    nCurrent = 45;
    kStart = 3;
    kEnd = 10000;
    kTested = 500;
    foundFactors = 2;
    rangeK = 4000;
    startTime = 1000;
    seconds = 10;
}

TEST(CheckPointWriter, WritesPositionAndLineAndPrintsTheProgress) {
    SetSearchState();
    fixedNow = 1090;
    TempDir dir;
    CallOutcome outcome = CaptureCall(dir.path(), [] {
        CheckPoint(1003);
        return 0;
    });
    EXPECT_EQ(readFile(dir.file(CHECKPOINT_FILE)),
              "nCurrent=45\nkCurrent=1003\nkTested =500\nseconds =100.00\nfactors =2\n"
              "line    =FermatFactor=40,50,3,10000\n");
    EXPECT_EQ(outcome.out, "\nn=45: k to 1003 (25.00% complete): rate=10/sec");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(seconds, 100);
    EXPECT_EQ(startTime, 1090);
    EXPECT_EQ(endTime, 1090);
    EXPECT_EQ(testedRate, 10);
    EXPECT_EQ(UnexpectedFiles(dir.path(), {CHECKPOINT_FILE}), "");
}

TEST(CheckPointWriter, EachSecondIsCountedOnceAcrossCheckpoints) {
    SetSearchState();
    seconds = 0;
    rangeK = 40000;
    TempDir dir;
    fixedNow = 1061;
    CallOutcome first = CaptureCall(dir.path(), [] {
        CheckPoint(2003);
        return 0;
    });
    fixedNow = 1125;
    CallOutcome second = CaptureCall(dir.path(), [] {
        CheckPoint(4003);
        return 0;
    });
    EXPECT_EQ(first.out, "\nn=45: k to 2003 ( 5.00% complete): rate=33/sec");
    EXPECT_EQ(second.out, "\nn=45: k to 4003 (10.00% complete): rate=32/sec");
    EXPECT_EQ(seconds, 125);
    EXPECT_EQ(startTime, 1125);
    EXPECT_EQ(readFile(dir.file(CHECKPOINT_FILE)),
              "nCurrent=45\nkCurrent=4003\nkTested =500\nseconds =125.00\nfactors =2\n"
              "line    =FermatFactor=40,50,3,10000\n");
}

TEST(CheckPointWriter, WrittenCheckpointResumesTheLine) {
    SetSearchState();
    kTested = 18446744073709551615ULL;
    foundFactors = 4294967295u;
    seconds = 0.125;
    fixedNow = 1000;
    TempDir dir;
    CaptureCall(dir.path(), [] {
        CheckPoint(1001);
        return 0;
    });
    ResetWorkFileState();
    writeFile(dir.file("worktodo.txt"), LINE);
    CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out, CONTINUE_45_1001);
    EXPECT_EQ(kTested, 18446744073709551615ULL);
    EXPECT_EQ(foundFactors, 4294967295u);
    EXPECT_EQ(seconds, 0.12);  // "%.2f" rounds the exact binary 0.125 to even
}

// The checkpoint of a line searched through tells the next start, by the
// content of worktodo.txt, whether the line's removal happened: the same line
// queued twice, and the file edited while stopped, included.
TEST(CheckPointWriter, CheckpointOfAFinishedLineTellsTheRemovalByContent) {
    const std::string EDITED = "\nThe assignment file was edited after its first line was searched through; that line "
                               "is searched again rather than taken for done.\n";
    const std::string SAME_LENGTH = "FermatFactor=40,50,3,10009\n";
    const struct {
        const char* what;
        std::string written, now;
        int code;
        std::string out;
    } cases[] = {
        {"not removed", LINE + LINE, LINE + LINE, 0, "\nContinue range: n=40-50(51) and k=3-10000(3)\n"},
        {"removed: the second copy is next", LINE + LINE, LINE, 5, ""},
        {"removed, a line of the same length appended", LINE + LINE, LINE + SAME_LENGTH, 5, EDITED},
        {"not removed, a line appended", LINE, LINE + SAME_LENGTH, 5, EDITED},
        {"not removed, the next line replaced by one of the same length", LINE + LINE, LINE + SAME_LENGTH, 5, EDITED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetSearchState();
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), c.written);
        CaptureCall(dir.path(), [] { return WriteCheckpointFile(51, 3, 0, 0, 2) ? 0 : 1; });
        const std::string checkpoint = readFile(dir.file(CHECKPOINT_FILE));
        EXPECT_NE(checkpoint.find("\nbefore  ="), std::string::npos) << checkpoint;
        EXPECT_NE(checkpoint.find("\nafter   ="), std::string::npos) << checkpoint;
        ResetWorkFileState();
        writeFile(dir.file("worktodo.txt"), c.now);
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.out, c.out);
    }
}

TEST(CheckPointWriter, FailedWriteKeepsTheOldFileAndTheSearchGoesOn) {
    const int stages[] = {ATOMIC_FAIL_OPEN, ATOMIC_FAIL_WRITE, ATOMIC_FAIL_SYNC, ATOMIC_FAIL_RENAME};
    for (int stage : stages) {
        SCOPED_TRACE(stage);
        SetSearchState();
        fixedNow = 1090;
        TempDir dir;
        const std::string old = "nCurrent=45\nkCurrent=5\nkTested =1\nseconds =1.00\nfactors =0\n";
        writeFile(dir.file(CHECKPOINT_FILE), old);
        atomicWriteFailAt = stage;
        CallOutcome outcome = CaptureCall(dir.path(), [] {
            CheckPoint(1003);
            return 0;
        });
        atomicWriteFailAt = ATOMIC_FAIL_NONE;
        EXPECT_EQ(readFile(dir.file(CHECKPOINT_FILE)), old);
        EXPECT_EQ(outcome.out, "\nn=45: k to 1003 (25.00% complete): rate=10/sec");
        EXPECT_EQ(outcome.err.rfind("\nCan't replace file quilbrex.cpt: ", 0), 0u) << outcome.err;
        EXPECT_EQ(seconds, 100);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {CHECKPOINT_FILE}), "");
    }
}

TEST(CheckPointWriter, WriteCheckpointFileReportsItsOutcome) {
    ResetWorkFileState();
    TempDir dir;
    bool written = false, refused = true;
    CaptureCall(dir.path(), [&] {
        written = WriteCheckpointFile(33, 0x3E9, 7, 61.25, 1);
        atomicWriteFailAt = ATOMIC_FAIL_RENAME;
        refused = WriteCheckpointFile(34, 5, 0, 0, 0);
        atomicWriteFailAt = ATOMIC_FAIL_NONE;
        return 0;
    });
    EXPECT_TRUE(written);
    EXPECT_FALSE(refused);
    EXPECT_EQ(readFile(dir.file(CHECKPOINT_FILE)),
              "nCurrent=33\nkCurrent=1001\nkTested =7\nseconds =61.25\nfactors =1\n"
              "line    =FermatFactor=0,0,0,0\n");
}

}  // namespace
