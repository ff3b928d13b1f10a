// Reading and validating the first line of the assignment file: result codes, exact messages, the line as the only text read.
#include <gtest/gtest.h>

#include <string>

#include "workfiles/assignment.h"
#include "workfiles/line_removal.h"
#include "workfiles_test_helpers.h"

namespace {

// What the cut says it leaves out of k from kStart to kEnd at n = nFirst to
// nLast: the odd k below L(n) = 2^(64-n), p there too short for band 1.
std::string LeftOutBelow(int nFirst, int nLast, unsigned long long kStart, unsigned long long kEnd) {
    std::string text = "\n";
    for (int n = nFirst; n <= nLast; ++n) {
        const unsigned long long below = 1ull << (64 - n), last = below - 1 < kEnd ? below - 1 : kEnd;
        text += "n=" + std::to_string(n) + ": " + std::to_string((last - kStart) / 2 + 1) +
                " odd k left out (k below " + std::to_string(below) + ": p too short for the band's kernels)\n";
    }
    return text;
}

const std::string N_RANGE = "\nThe values of n must be in the range from nMin = 32 to nMax = 607.\n";
const std::string N_END =
    "\nThe ending value for n (nEnd) was not set or less than the starting value of n (nStart).\n";
const std::string K_RANGE = "\nThe values of k must be in the range from kMin = 3 to kMax = 2^64-1.\n";
const std::string K_END =
    "\nThe ending value for k (kEnd) was not set or less than the starting value of k (kStart).\n";

struct ValidationCase {
    const char* what;
    std::string content;
    int code;
    std::string out;
    bool rewritten;  // true only where the valid line also gets cut
};

std::string Padded(const std::string& text, size_t width) { return text + std::string(width - text.size(), ' '); }

TEST(AssignmentValidation, FirstLineGivesItsCodeAndExactMessage) {
    const std::string valid = "FermatFactor=40,50,3,1001\n";
    const std::vector<ValidationCase> cases = {
        {"plain valid line", valid, 0, StartingRange("n=40-50 and k=3-1001"), false},
        {"blanks and tabs everywhere, words after",
         " \t FermatFactor=\t 40,\t50 , \t3,  1001 and some words\n", 0, StartingRange("n=40-50 and k=3-1001"),
         false},
        {"no final newline", "FermatFactor=40,50,3,1001", 0, StartingRange("n=40-50 and k=3-1001"), false},
        {"lower-case prefix", "fermatfactor=40,50,3,1001\n", 3, "", false},
        {"blank before =", "FermatFactor =40,50,3,1001\n", 3, "", false},
        {"foreign text", "Factor=40,50,3,1001\n", 3, "", false},
        {"empty file", "", 1, "", false},
        {"empty first line before a valid one", "\n" + valid, 2, "", false},
        {"blank first line before a valid one", " \t \r\n" + valid, 2, "", false},
        {"blanks only, no newline", "   ", 2, "", false},
        {"nStart under 32", "FermatFactor=31,40,3,1001\n", 4, N_RANGE, false},
        {"nEnd over 607", "FermatFactor=40,608,3,1001\n", 4, N_RANGE, false},
        {"widest n range", "FermatFactor=32,607,3,1001\n", 0,
         LeftOutBelow(32, 62, 3, 1001) + StartingRange("n=55-55 and k=513-1001"), true},
        {"nEnd under nStart", "FermatFactor=50,40,3,1001\n", 4, N_END, false},
        {"nEnd missing", "FermatFactor=40,,3,1001\n", 4, N_END, false},
        {"n checked before k", "FermatFactor=31,40,0,0\n", 4, N_RANGE, false},
        {"kStart 0", "FermatFactor=40,50,0,1001\n", 4, K_RANGE, false},
        {"kStart 1", "FermatFactor=40,50,1,1001\n", 4, K_RANGE, false},
        {"kStart 2 is raised to 3", "FermatFactor=40,50,2,1001\n", 0, StartingRange("n=40-50 and k=3-1001"), false},
        {"kEnd one above 2^64-1", "FermatFactor=40,50,3,18446744073709551616\n", 4, K_RANGE, false},
        {"kStart above 2^64-1", "FermatFactor=40,50,18446744073709551616,18446744073709551617\n", 4, K_RANGE,
         false},
        {"kEnd 2^64-1", "FermatFactor=32,32,9223372036854775808,18446744073709551615\n", 0,
         StartingRange("n=32-32 and k=9223372036854775809-18446744073709551615"), false},
        {"single odd k", "FermatFactor=40,40,7,7\n", 0, StartingRange("n=40-40 and k=7-7"), false},
        {"single even k", "FermatFactor=40,40,8,8\n", 4, K_END, false},
        {"kEnd under kStart", "FermatFactor=40,40,9,7\n", 4, K_END, false},
        {"kEnd missing", "FermatFactor=40,50,3,\n", 4, K_END, false},
        {"characters between a number and its comma", "FermatFactor=40x,50,3,1001\n", 0,
         StartingRange("n=40-50 and k=3-1001"), false},
        {"kEnd beyond the 99th character", Padded("FermatFactor=40,50,3,", 99) + "1001\n", 4, K_END, false},
        {"text beyond the 99th character", Padded("FermatFactor=40,50,3,1001", 130) + "\n", 0,
         StartingRange("n=40-50 and k=3-1001"), false},
        {"NUL byte ends the line's text", std::string("FermatFactor=40,50,3,1001\0,9,9\n", 32) + valid, 0,
         StartingRange("n=40-50 and k=3-1001"), false},
        {"prefix alone", "FermatFactor=\n", 4, N_RANGE, false},
        {"only nStart: no comma after it", "FermatFactor=40\n", 4, N_END, false},
        {"no comma after small nStart", "FermatFactor=10\n", 4, N_RANGE, false},
        {"no comma after nEnd", "FermatFactor=40,50\n", 4, K_RANGE, false},
        {"the comma after nEnd on the next line", "FermatFactor=40,50\n,3,1001\n", 4, K_RANGE, false},
        {"no comma after kStart", "FermatFactor=40,50,3\n", 4, K_END, false},
        {"negative nStart", "FermatFactor=-40,50,3,1001\n", 4, N_RANGE, false},
        {"negative nEnd", "FermatFactor=40,-50,3,1001\n", 4, N_RANGE, false},
        {"negative kStart", "FermatFactor=40,50,-3,1001\n", 4, K_RANGE, false},
        {"negative kEnd", "FermatFactor=40,50,3,-1001\n", 4, K_RANGE, false},
        {"nStart that wraps to 40 in 32 bits", "FermatFactor=4294967336,50,3,1001\n", 4, N_RANGE, false},
        {"nEnd that wraps to 50 in 32 bits", "FermatFactor=40,4294967346,3,1001\n", 4, N_RANGE, false},
    };
    for (const ValidationCase& c : cases) {
        SCOPED_TRACE(c.what);
        ResetWorkFileState();
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), c.content);
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, "");
        if (!c.rewritten) {
            EXPECT_EQ(readFile(dir.file("worktodo.txt")), c.content);
        }
        // Only a started line leaves its record in the run log.
        EXPECT_EQ(fileExists(dir.file(RESULTS_FILE)), c.code == 0);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt", RESULTS_FILE}), "");
    }
}

TEST(AssignmentValidation, ValidLineLoadsTheGlobals) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "  FermatFactor= 40,\t50, 2, 1001 more\n");
    CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    ASSERT_EQ(outcome.code, 0);
    EXPECT_EQ(nStart, 40u);
    EXPECT_EQ(nEnd, 50u);
    EXPECT_EQ(kStart, 3u);
    EXPECT_EQ(kEnd, 1001u);
    EXPECT_EQ(nCurrent, 40u);
    EXPECT_EQ(kCurrent, 3u);
}

TEST(AssignmentValidation, RejectedLineLeavesTheResumePositionAtZero) {
    ResetWorkFileState();
    nCurrent = 45;
    kCurrent = 1001;
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=40,50,1,1001\n");
    CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(outcome.code, 4);
    EXPECT_EQ(nCurrent, 0u);
    EXPECT_EQ(kCurrent, 0u);
}

TEST(AssignmentValidation, LineAfterARejectedOverflowIsAccepted) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=40,50,3,18446744073709551616\nFermatFactor=40,50,3,1001\n");
    CallOutcome first = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(first.code, 4);
    EXPECT_EQ(first.out, K_RANGE);
    CallOutcome removal = CaptureCall(dir.path(), [] { return Delete_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(removal.code, 0);
    CallOutcome second = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(second.code, 0);
    EXPECT_EQ(second.out, StartingRange("n=40-50 and k=3-1001"));
    EXPECT_EQ(kEnd, 1001u);
}

TEST(AssignmentValidation, MissingFileEndsTheProcessWithStatus1) {
    TempDir dir;
    ChildResult child = runInChild([] { return Read_Assignment_Line("worktodo.txt"); }, dir.path());
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.out, "");
    EXPECT_EQ(child.err, "\nCan't open worktodo file: No such file or directory\n");
}

}  // namespace
