// Cutting assignment lines at band and word-count boundaries: the worked examples byte for byte, the rest of the file kept, and a randomized check of coverage against GMP word counts.
#include <gmp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "workfiles/assignment.h"
#include "workfiles/line_removal.h"
#include "workfiles/range_split.h"
#include "workfiles_test_helpers.h"

namespace {

const uint64_t TWO_POW_32 = 1ULL << 32;
const uint64_t TWO_POW_40 = 1ULL << 40;

std::string Line(uint32_t n1, uint32_t n2, uint64_t k1, uint64_t k2) {
    char text[100];
    snprintf(text, sizeof text, "FermatFactor=%u,%u,%llu,%llu\n", n1, n2, static_cast<unsigned long long>(k1),
             static_cast<unsigned long long>(k2));
    return text;
}

// Words of p = k*2^n+1, counted by GMP.
uint32_t WordsOf(uint64_t k, uint32_t n) {
    mpz_t p;
    mpz_init(p);
    mpz_import(p, 1, -1, sizeof k, 0, 0, &k);
    mpz_mul_2exp(p, p, n);
    mpz_add_ui(p, p, 1);
    uint32_t bits = static_cast<uint32_t>(mpz_sizeinbase(p, 2));
    mpz_clear(p);
    return (bits + 31) / 32;
}

// Rest of the file that must come back unchanged: a blank line, a line of
// white space, a foreign line, an invalid one, binary bytes and no final newline.
const std::string REST = std::string("\n \t\nnot an assignment\nFermatFactor=1,2,3,4\n\x01\x00\xff\xfe binary", 52);

uint64_t OddIn(uint64_t first, uint64_t last) {
    if (first % 2 == 0) ++first;
    if (last % 2 == 0) --last;
    return first > last ? 0 : (last - first) / 2 + 1;
}

// What a cut must say it leaves out, from GMP's word counts alone: per
// exponent of the band piece, the odd k of the range whose p is shorter than
// the band's kernels, then those longer than the top band's one kernel, that
// none of the written lines holds (a written line that no kernel serves is
// refused in its turn, with its own explanation).
std::string ExpectedLeftOut(uint32_t nStart, uint32_t nEnd, uint64_t kStart, uint64_t kEnd,
                            const std::vector<AssignmentLine>& written = {}) {
    const uint32_t band = nStart / 32;
    const uint32_t top = (band + 1) * 32 - 1 < nEnd ? (band + 1) * 32 - 1 : nEnd;
    const uint32_t widest = band == 18 ? 20 : band + 3;
    std::string text;
    for (uint32_t n = nStart; n <= top; ++n) {
        uint64_t tooShort = 0, tooLong = 0, shortBound = 0, longBound = 0;
        for (uint32_t bits = 1; bits <= 64; ++bits) {
            const uint64_t low = 1ULL << (bits - 1);
            const uint64_t high = bits == 64 ? UINT64_MAX : (1ULL << bits) - 1;
            const uint32_t words = WordsOf(low, n);
            if (words == band + 2 && shortBound == 0) shortBound = low;
            if (words > widest && longBound == 0) longBound = low;
            const uint64_t first = low < kStart ? kStart : low;
            const uint64_t last = high < kEnd ? high : kEnd;
            if (first > last) continue;
            uint64_t odd = OddIn(first, last);
            for (const AssignmentLine& line : written) {
                if (line.nStart > n || line.nEnd < n) continue;
                const uint64_t from = line.kStart > first ? line.kStart : first;
                const uint64_t to = line.kEnd < last ? line.kEnd : last;
                if (from <= to) odd -= OddIn(from, to);
            }
            if (words < band + 2) tooShort += odd;
            if (words > widest) tooLong += odd;
        }
        char record[200];
        if (tooShort) {
            snprintf(record, sizeof record, "n=%u: %llu odd k left out (k below %llu: p too short for the band's kernels)\n",
                     n, static_cast<unsigned long long>(tooShort), static_cast<unsigned long long>(shortBound));
            text += record;
        }
        if (tooLong) {
            snprintf(record, sizeof record, "n=%u: %llu odd k left out (k from %llu: p too long for the band's kernel)\n",
                     n, static_cast<unsigned long long>(tooLong), static_cast<unsigned long long>(longBound));
            text += record;
        }
    }
    return text;
}

struct WorkedExample {
    const char* what;
    std::string line;
    std::string written;  // empty: the file stays untouched
    AssignmentLine loaded; // in-memory assignment before kStart is made odd
};

std::vector<WorkedExample> WorkedExamples() {
    std::vector<WorkedExample> examples;
    examples.push_back({"1: band cut, upper half at the top", Line(40, 70, 4294967297, 8589934591),
                        Line(40, 63, 4294967297, 8589934591) + Line(64, 70, 4294967297, 8589934591),
                        {40, 63, 4294967297, 8589934591}});
    examples.push_back({"2: above at 63, upper half at 62", Line(32, 63, 8589934593, 17179869184),
                        Line(32, 62, 8589934593, 17179869184) + Line(63, 63, 8589934593, 17179869184),
                        {32, 62, 8589934593, 17179869184}});
    examples.push_back({"2: the same with the even kStart M(62)", Line(32, 63, 8589934592, 17179869184),
                        Line(32, 62, 8589934592, 17179869184) + Line(63, 63, 8589934592, 17179869184),
                        {32, 62, 8589934592, 17179869184}});
    {
        std::string written = Line(50, 56, 8589934592, TWO_POW_40);
        for (uint32_t n = 57; n <= 62; ++n)
            written += Line(n, n, 8589934592, 1ULL << (96 - n)) + Line(n, n, 1ULL << (96 - n), TWO_POW_40);
        written += Line(63, 63, 8589934592, TWO_POW_40);
        examples.push_back({"3: inside, crossing U, above", Line(50, 63, 8589934592, TWO_POW_40), written,
                            {50, 56, 8589934592, TWO_POW_40}});
    }
    {
        std::string written;
        for (uint32_t n = 58; n <= 62; ++n)
            written += Line(n, n, 8589934592, 1ULL << (96 - n)) + Line(n, n, 1ULL << (96 - n), TWO_POW_40);
        written += Line(63, 63, 8589934592, TWO_POW_40);
        examples.push_back({"4: crossing U from nStart", Line(58, 63, 8589934592, TWO_POW_40), written,
                            {58, 58, 8589934592, 274877906944}});
    }
    {
        std::string written;
        for (uint32_t n = 45; n <= 50; ++n) written += Line(n, n, 1ULL << (64 - n), 1048576);
        examples.push_back({"5: crossing L over below", Line(40, 50, 3, 1048576), written, {45, 45, 524288, 1048576}});
    }
    {
        std::string written;
        for (uint32_t n = 35; n <= 44; ++n) written += Line(n, n, 1ULL << (64 - n), 1073741824);
        written += Line(45, 63, 1048576, 1073741824);
        examples.push_back({"6: inside, crossing L, below", Line(32, 63, 1048576, 1073741824), written,
                            {35, 35, 536870912, 1073741824}});
    }
    {
        std::string written;
        for (uint32_t n = 32; n <= 56; ++n) written += Line(n, n, 1ULL << (64 - n), TWO_POW_40);
        for (uint32_t n = 57; n <= 63; ++n) {
            uint64_t lower = n == 63 ? 3 : 1ULL << (64 - n);
            written += Line(n, n, lower, 1ULL << (96 - n)) + Line(n, n, 1ULL << (96 - n), TWO_POW_40);
        }
        written += Line(64, 70, 3, TWO_POW_40);
        examples.push_back({"7: crossing L, crossing U, band cut", Line(32, 70, 3, TWO_POW_40), written,
                            {32, 32, TWO_POW_32, TWO_POW_40}});
    }
    {
        std::string written = Line(600, 600, 1073741824, TWO_POW_40);
        for (uint32_t n = 601; n <= 607; ++n) written += Line(n, n, 1073741824, 1ULL << (640 - n));
        examples.push_back({"8: band 18 keeps only the lower-k lines", Line(600, 607, 1073741824, TWO_POW_40),
                            written, {600, 600, 1073741824, TWO_POW_40}});
    }
    examples.push_back({"9: one crossing-U exponent", Line(63, 63, 3, TWO_POW_40),
                        Line(63, 63, 3, 8589934592) + Line(63, 63, 8589934592, TWO_POW_40),
                        {63, 63, 3, 8589934592}});
    examples.push_back({"10: all below, untouched", Line(40, 41, 3, 1000), "", {40, 41, 3, 1000}});

    // Further cases the cutting must get right.
    examples.push_back({"one word count throughout, untouched", Line(40, 50, 4294967297, 8589934591), "",
                        {40, 50, 4294967297, 8589934591}});
    examples.push_back({"band 18: upper-half stop keeps the above line", Line(576, 607, 8589934592, 17179869184),
                        Line(576, 606, 8589934592, 17179869184) + Line(607, 607, 8589934592, 17179869184),
                        {576, 606, 8589934592, 17179869184}});
    {
        std::string written = Line(600, 600, 8589934592, TWO_POW_40);
        for (uint32_t n = 601; n <= 606; ++n) written += Line(n, n, 8589934592, 1ULL << (640 - n));
        examples.push_back({"band 18: no line for above exponents beside crossing U",
                            Line(600, 607, 8589934592, TWO_POW_40), written, {600, 600, 8589934592, TWO_POW_40}});
    }
    examples.push_back({"below exponents under inside ones, band cut", Line(40, 70, 3, 4),
                        Line(40, 63, 3, 4) + Line(64, 70, 3, 4), {40, 63, 3, 4}});
    return examples;
}

TEST(RangeSplit, WorkedExamplesRewriteTheFileByteForByte) {
    for (const WorkedExample& example : WorkedExamples()) {
        SCOPED_TRACE(example.what);
        ResetWorkFileState();
        TempDir dir;
        std::string original = example.line + REST;
        writeFile(dir.file("worktodo.txt"), original);
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, 0);
        EXPECT_EQ(outcome.err, "");
        std::string expected = example.written.empty() ? original : example.written + REST;
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), expected);
        EXPECT_EQ(nStart, example.loaded.nStart);
        EXPECT_EQ(nEnd, example.loaded.nEnd);
        EXPECT_EQ(kStart, example.loaded.kStart | 1);
        EXPECT_EQ(kEnd, example.loaded.kEnd);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt", RESULTS_FILE}), "");
        // A cut tells what it leaves out, on standard output and in the run log, before the line starts.
        AssignmentLine read;
        ASSERT_EQ(sscanf(example.line.c_str(), "FermatFactor=%u,%u,%" SCNu64 ",%" SCNu64, &read.nStart, &read.nEnd,
                         &read.kStart, &read.kEnd),
                  4);
        std::vector<AssignmentLine> written;
        std::istringstream lines(example.written);
        for (std::string text; std::getline(lines, text);) {
            AssignmentLine line;
            ASSERT_EQ(sscanf(text.c_str(), "FermatFactor=%u,%u,%" SCNu64 ",%" SCNu64, &line.nStart, &line.nEnd,
                             &line.kStart, &line.kEnd),
                      4);
            written.push_back(line);
        }
        const std::string told = example.written.empty()
                                     ? ""
                                     : ExpectedLeftOut(read.nStart, read.nEnd, read.kStart, read.kEnd, written);
        EXPECT_EQ(outcome.out.substr(0, told.empty() ? 0 : told.size() + 1), told.empty() ? "" : "\n" + told);
        EXPECT_EQ(readFile(dir.file(RESULTS_FILE)).substr(0, told.size()), told);
    }
}

// The lines a newcomer tries first, and what their cut leaves out: the
// quick start's former example, and one that starts above kStart unasked.
TEST(RangeSplit, LeftOutMultipliersAreToldOnceAtTheCut) {
    struct Case {
        AssignmentLine line;
        const char* firstRecord;  // a known answer beside the computed ones
        int records;
    } cases[] = {
        {{40, 63, 3, 100000000}, "n=40: 8388607 odd k left out (k below 16777216: p too short for the band's kernels)\n",
         23},
        {{54, 60, 3, 200001}, "n=54: 511 odd k left out (k below 1024: p too short for the band's kernels)\n", 7},
        {{600, 607, 1073741824, 1099511627776},
         "n=601: 274877906944 odd k left out (k from 549755813888: p too long for the band's kernel)\n", 7},
        {{576, 590, 3, UINT64_MAX},
         "n=576: 2147483647 odd k left out (k below 4294967296: p too short for the band's kernels)\n", 29},
    };
    for (const Case& c : cases) {
        const AssignmentLine& line = c.line;
        SCOPED_TRACE(Line(line.nStart, line.nEnd, line.kStart, line.kEnd));
        const std::string told = ExpectedLeftOut(line.nStart, line.nEnd, line.kStart, line.kEnd);
        EXPECT_EQ(told.substr(0, strlen(c.firstRecord)), c.firstRecord);
        EXPECT_EQ(countOf(told, "\n"), static_cast<size_t>(c.records));
        ResetWorkFileState();
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), Line(line.nStart, line.nEnd, line.kStart, line.kEnd));
        CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(outcome.code, 0);
        EXPECT_EQ(outcome.out.substr(0, told.size() + 1), "\n" + told);
        EXPECT_EQ(readFile(dir.file(RESULTS_FILE)).substr(0, told.size()), told);
        // Met again, the first cut line is not cut again and tells nothing more.
        CallOutcome again = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
        EXPECT_EQ(again.out.find("left out"), std::string::npos) << again.out;
        EXPECT_EQ(countOf(readFile(dir.file(RESULTS_FILE)), "left out"), static_cast<size_t>(c.records));
    }
}

TEST(RangeSplit, WrittenLinesGiveNoFurtherCut) {
    for (const WorkedExample& example : WorkedExamples()) {
        SCOPED_TRACE(example.what);
        AssignmentLine read;
        ASSERT_EQ(sscanf(example.line.c_str(), "FermatFactor=%u,%u,%" SCNu64 ",%" SCNu64, &read.nStart, &read.nEnd,
                         &read.kStart, &read.kEnd),
                  4);
        AssignmentLine lines[MAX_CUT_LINES];
        int count = CutAssignmentLine(read, lines);
        for (int i = 0; i < count; ++i) {
            const AssignmentLine& line = lines[i];
            if (line.nStart / 32 != read.nStart / 32) continue;  // the band remainder is cut in its own turn
            SCOPED_TRACE(Line(line.nStart, line.nEnd, line.kStart, line.kEnd));
            ResetWorkFileState();
            TempDir dir;
            std::string alone = Line(line.nStart, line.nEnd, line.kStart, line.kEnd) + "next\n";
            writeFile(dir.file("worktodo.txt"), alone);
            struct stat before, after;
            ASSERT_EQ(stat(dir.file("worktodo.txt").c_str(), &before), 0);
            CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
            EXPECT_EQ(outcome.code, 0);
            EXPECT_EQ(readFile(dir.file("worktodo.txt")), alone);
            // Not even rewritten with the same content (a rewrite is a new file renamed over it).
            ASSERT_EQ(stat(dir.file("worktodo.txt").c_str(), &after), 0);
            EXPECT_EQ(after.st_ino, before.st_ino);
        }
    }
}

// A cut piece whose first k is even (L(54) = 1024) is met again at every
// start: it is left alone, not rewritten with identical content each time.
TEST(RangeSplit, PieceWithAnEvenFirstKIsNotRewritten) {
    ResetWorkFileState();
    TempDir dir;
    const std::string piece = "FermatFactor=54,54,1024,5001\nnext\n";
    writeFile(dir.file("worktodo.txt"), piece);
    struct stat before, after;
    ASSERT_EQ(stat(dir.file("worktodo.txt").c_str(), &before), 0);
    CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(kStart, 1025u);
    ASSERT_EQ(stat(dir.file("worktodo.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), piece);
}

TEST(RangeSplit, BandRemainderIsCutWhenItComesToTheTop) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), Line(40, 130, 4294967297, 8589934591));
    CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(readFile(dir.file("worktodo.txt")),
              Line(40, 63, 4294967297, 8589934591) + Line(64, 130, 4294967297, 8589934591));
    CaptureCall(dir.path(), [] { return Delete_Assignment_Line("worktodo.txt"); });
    CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")),
              Line(64, 95, 4294967297, 8589934591) + Line(96, 130, 4294967297, 8589934591));
    EXPECT_EQ(outcome.out, StartingRange("n=64-95 and k=4294967297-8589934591"));
}

TEST(RangeSplit, LongFirstLineLeavesItsTailBehindTheNewLines) {
    ResetWorkFileState();
    TempDir dir;
    std::string first = "FermatFactor=40,70,4294967297,8589934591";
    first += std::string(99 - first.size(), ' ');
    writeFile(dir.file("worktodo.txt"), first + "TAIL\nnext\n");
    CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")),
              Line(40, 63, 4294967297, 8589934591) + Line(64, 70, 4294967297, 8589934591) + "TAIL\nnext\n");
}

TEST(RangeSplit, NulByteInsideACutFirstLineGoesWithTheLine) {
    ResetWorkFileState();
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), std::string("FermatFactor=40,70,4294967297,8589934591\0junk\nnext\n", 51));
    CallOutcome outcome = CaptureCall(dir.path(), [] { return Read_Assignment_Line("worktodo.txt"); });
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")),
              Line(40, 63, 4294967297, 8589934591) + Line(64, 70, 4294967297, 8589934591) + "next\n");
}

TEST(RangeSplit, FailedRewriteStopsWithTheFileUnchanged) {
    // A folder that takes no temporary file is met by a rewrite in place.
    const int stages[] = {ATOMIC_FAIL_WRITE, ATOMIC_FAIL_SYNC, ATOMIC_FAIL_RENAME};
    for (int stage : stages) {
        SCOPED_TRACE(stage);
        ResetWorkFileState();
        TempDir dir;
        std::string original = Line(32, 70, 3, TWO_POW_40) + REST;
        writeFile(dir.file("worktodo.txt"), original);
        ChildResult child = runInChild(
            [stage] {
                atomicWriteFailAt = stage;
                return Read_Assignment_Line("worktodo.txt");
            },
            dir.path());
        EXPECT_TRUE(child.exited);
        EXPECT_EQ(child.status, 1);
        EXPECT_EQ(child.out, "");
        EXPECT_NE(child.err.find("Can't replace file worktodo.txt"), std::string::npos) << child.err;
        EXPECT_NE(child.err.find("Can't write the cut assignment lines to worktodo.txt; stopping"), std::string::npos)
            << child.err;
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), original);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt"}), "");
    }
}

TEST(RangeSplit, ThresholdsAreWhereTheWordCountSteps) {
    for (uint32_t n = 32; n <= 607; ++n) {
        SCOPED_TRACE(n);
        uint32_t band = n / 32, r = n % 32;
        uint64_t lower = LowerWordThreshold(n), upper = UpperWordThreshold(n), half = HalfWordThreshold(n);
        EXPECT_EQ(WordsOf(lower - 1, n), band + 1);
        EXPECT_EQ(WordsOf(lower, n), band + 2);
        if (r == 0) {
            EXPECT_EQ(upper, UINT64_MAX);
            EXPECT_EQ(WordsOf(upper, n), band + 2);
        } else {
            EXPECT_EQ(WordsOf(upper - 1, n), band + 2);
            EXPECT_EQ(WordsOf(upper, n), band + 3);
        }
        EXPECT_EQ(WordsOf(half - 1, n), band + 2);
        EXPECT_EQ(WordsOf(half, n), band + 2);
        if (r <= 30) {
            EXPECT_EQ(WordsOf(half, n + 1), band + 3);
        }
    }
}

// A k near a power of two, where the word counts step, or anywhere at all.
uint64_t RandomK(std::mt19937_64& random) {
    uint32_t bits = 1 + random() % 64;
    uint64_t power = bits == 64 ? 0 : 1ULL << bits;
    switch (random() % 4) {
        case 0: return power ? power : UINT64_MAX;
        case 1: return (power ? power : 0) - 1;
        case 2: return power + 1;
        default: return random() >> (64 - bits);
    }
}

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// Every odd k that a kernel of the band serves is covered by exactly one
// written line, no odd k by two, and every line needs one word count
// throughout each of its exponents.
TEST(RangeSplit, RandomLinesCoverEveryServedCandidateOnce) {
    const uint64_t seed = std::random_device{}();
    std::mt19937_64 random(seed);
    for (int round = 0; round < 3000; ++round) {
        AssignmentLine read;
        read.nStart = 32 + random() % 576;
        read.nEnd = read.nStart + random() % 40;
        if (read.nEnd > 607) read.nEnd = 607;
        uint64_t a = RandomK(random), b = RandomK(random);
        read.kStart = a < b ? a : b;
        read.kEnd = a < b ? b : a;
        if (read.kStart < 2) read.kStart = 2;
        if (read.kEnd < read.kStart + 1) continue;
        SCOPED_TRACE("seed " + std::to_string(seed) + ": n " + std::to_string(read.nStart) + "-" +
                     std::to_string(read.nEnd) + ", k " + Hex(read.kStart) + "-" + Hex(read.kEnd));

        AssignmentLine lines[MAX_CUT_LINES];
        LeftOutMultipliers leftOut[MAX_LEFT_OUT];
        int leftOutCount = -1;
        int count = CutAssignmentLine(read, lines, leftOut, &leftOutCount);
        uint32_t band = read.nStart / 32;
        uint32_t top = (band + 1) * 32 - 1 < read.nEnd ? (band + 1) * 32 - 1 : read.nEnd;
        if (count == 0) {
            EXPECT_EQ(leftOutCount, 0);
        }
        const bool cut = count != 0;
        if (count == 0) {
            lines[0] = read;
            count = 1;
        } else if (top < read.nEnd) {
            ASSERT_GE(count, 2);
            const AssignmentLine& remainder = lines[count - 1];
            EXPECT_EQ(remainder.nStart, top + 1);
            EXPECT_EQ(remainder.nEnd, read.nEnd);
            EXPECT_EQ(remainder.kStart, read.kStart);
            EXPECT_EQ(remainder.kEnd, read.kEnd);
            --count;
        }

        for (int i = 0; i < count; ++i) {
            const AssignmentLine& line = lines[i];
            ASSERT_GE(line.nStart, read.nStart);
            ASSERT_LE(line.nEnd, top);
            ASSERT_LE(line.nStart, line.nEnd);
            ASSERT_GE(line.kStart, read.kStart);
            ASSERT_LE(line.kEnd, read.kEnd);
            if (i > 0) {
                EXPECT_GE(line.nStart, lines[i - 1].nEnd);
            }
            AssignmentLine again[MAX_CUT_LINES];
            int againCount = CutAssignmentLine(line, again);
            EXPECT_TRUE(againCount == 0 ||
                        (againCount == 1 && again[0].nStart == line.nStart && again[0].nEnd == line.nEnd &&
                         again[0].kStart == line.kStart && again[0].kEnd == line.kEnd))
                << "line " << i << " is cut again";
        }

        for (uint32_t n = read.nStart; n <= top; ++n) {
            // Odd k of each line at n, as closed intervals.
            std::vector<std::pair<uint64_t, uint64_t>> covered;
            for (int i = 0; i < count; ++i) {
                if (lines[i].nStart > n || lines[i].nEnd < n) continue;
                uint64_t first = lines[i].kStart | 1;
                uint64_t last = lines[i].kEnd % 2 ? lines[i].kEnd : lines[i].kEnd - 1;
                if (first > last) continue;
                EXPECT_EQ(WordsOf(first, n), WordsOf(last, n))
                    << "n " << n << ": line " << i << " spans two word counts, k " << Hex(first) << "-" << Hex(last);
                for (auto& other : covered)
                    EXPECT_TRUE(other.second < first || last < other.first)
                        << "n " << n << ": odd k tested twice around " << Hex(first);
                covered.push_back({first, last});
            }
            // What the cut says it leaves out at n is what no line covers.
            if (cut) {
                unsigned __int128 uncovered = (read.kEnd / 2 + (read.kEnd & 1)) - read.kStart / 2;
                for (auto& interval : covered) uncovered -= (interval.second - interval.first) / 2 + 1;
                unsigned __int128 told = 0;
                for (int i = 0; i < leftOutCount; ++i)
                    if (leftOut[i].n == n) told += leftOut[i].count;
                EXPECT_TRUE(told == uncovered) << "n " << n << ": told " << static_cast<uint64_t>(told)
                                               << " odd k left out, no line covers " << static_cast<uint64_t>(uncovered);
            }
            // Served odd k come in runs of one bit length.
            for (uint32_t bits = 1; bits <= 64; ++bits) {
                uint64_t low = 1ULL << (bits - 1);
                uint64_t high = bits == 64 ? UINT64_MAX : (1ULL << bits) - 1;
                if (high < read.kStart || low > read.kEnd) continue;
                uint32_t words = WordsOf(low, n);
                bool served = band == 18 ? words == 20 : (words == band + 2 || words == band + 3);
                if (!served) continue;
                uint64_t first = (low < read.kStart ? read.kStart : low) | 1;
                uint64_t last = high < read.kEnd ? high : read.kEnd;
                if (last % 2 == 0) --last;
                if (first > last) continue;
                // Walk the odd k from first to last through the covering intervals.
                unsigned __int128 next = first;
                while (next <= last) {
                    bool found = false;
                    for (auto& interval : covered) {
                        if (interval.first <= next && next <= interval.second) {
                            next = static_cast<unsigned __int128>(interval.second) + 2;
                            found = true;
                            break;
                        }
                    }
                    if (!found) {
                        ADD_FAILURE() << "n " << n << ": served odd k " << Hex(static_cast<uint64_t>(next))
                                      << " is in no line";
                        break;
                    }
                }
            }
        }
        if (HasFailure()) break;
    }
}

}  // namespace

// Found by fuzzing: at the bottom of a band even k = 2^64-1 has two words more
// than the band number, so it cannot share a kernel with the exponents above.
TEST(RangeSplit, LargestKAtTheBottomOfABandGetsALineOfItsOwn) {
    const AssignmentLine line = {32, 63, UINT64_MAX, UINT64_MAX};
    AssignmentLine lines[MAX_CUT_LINES];
    ASSERT_EQ(CutAssignmentLine(line, lines), 2);
    EXPECT_EQ(lines[0].nStart, 32u);
    EXPECT_EQ(lines[0].nEnd, 32u);
    EXPECT_EQ(lines[1].nStart, 33u);
    EXPECT_EQ(lines[1].nEnd, 63u);
    EXPECT_EQ(WordsOf(UINT64_MAX, 32), 3u);
    EXPECT_EQ(WordsOf(UINT64_MAX, 33), 4u);
}
