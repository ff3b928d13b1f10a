// The program killed at every file operation of a short line with two factors,
// each time started again until the line is done: every factor recorded
// exactly once, every exponent summarised, the line's end recorded once, the
// line removed, nothing left over.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "support/test_support.h"
#include "workfiles_test_helpers.h"

namespace {

// Band 4, one width throughout; the factors sit at n = 149 and 154.
const std::string LINE = "FermatFactor=149,154,3001,6001\n";
const std::string FACTORS[] = {"!!! Found factor 3125*2^149+1 !!!\n", "!!! Found factor 5439*2^154+1 !!!\n"};

// The binary under the shim; killAt 0 only counts, into countFile.
ChildResult runShimmed(const std::string& dir, long killAt, const std::string& countFile) {
    return runInChild(
        [&]() {
            setenv("LD_PRELOAD", QUILBREX_KILL_SHIM, 1);
            setenv("QUILBREX_KILL_AT", std::to_string(killAt).c_str(), 1);
            if (!countFile.empty()) setenv("QUILBREX_OP_COUNT", countFile.c_str(), 1);
            execl(QUILBREX_BINARY, QUILBREX_BINARY, static_cast<char*>(nullptr));
            return 253;
        },
        dir);
}

}  // namespace

TEST(Crash, KilledAtEveryFileOperationNothingIsLostOrDoubled) {
    TempDir counting;
    writeFile(counting.file("worktodo.txt"), LINE);
    ChildResult clean = runShimmed(counting.path(), 0, counting.file("operations"));
    ASSERT_EQ(clean.status, 6) << clean.out << clean.err;
    const long total = std::atol(readFile(counting.file("operations")).c_str());
    ASSERT_GT(total, 20);

    long killed = 0, lost = 0, doubled = 0, summariesRepeated = 0;
    for (long at = 1; at <= total; ++at) {
        SCOPED_TRACE("killed at operation " + std::to_string(at));
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), LINE);
        ChildResult first = runShimmed(dir.path(), at, "");
        if (first.exited) {
            ADD_FAILURE() << "not killed: " << first.status << first.err;
            continue;
        }
        ASSERT_EQ(first.signal, SIGKILL) << first.err;
        ++killed;
        ChildResult restart = runProgram(QUILBREX_BINARY, dir.path(), 300);
        ASSERT_TRUE(restart.exited) << restart.err;
        // A kill after the line's removal reached the disk leaves nothing to do:
        // status 1, no assignment.
        ASSERT_TRUE(restart.status == 6 || restart.status == 1) << first.err << restart.out << restart.err;

        std::string factors = readFile(dir.file("factors.txt"));
        for (const std::string& factor : FACTORS) {
            size_t times = countOf(factors, factor);
            EXPECT_EQ(times, 1u) << first.err << factor << factors;
            if (times == 0) ++lost;
            if (times > 1) ++doubled;
        }
        std::string results = readFile(dir.file("results.txt"));
        for (int n = 149; n <= 154; ++n) {
            size_t times = countOf(results, "n=" + std::to_string(n) + ": tested ");
            EXPECT_GE(times, 1u) << first.err << n << results;
            if (times > 1) ++summariesRepeated;
        }
        EXPECT_EQ(countOf(results, "Range is complete. Found 2 factor(s). For details see file factors.txt\n"
                                       "--------------------------------------------------------------------------------\n"),
                  1u)
            << first.err << results;
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), "") << first.err;
        // A checkpoint left behind names the removed line, so no later line resumes from it.
        if (fileExists(dir.file("quilbrex.cpt"))) {
            EXPECT_NE(readFile(dir.file("quilbrex.cpt")).find("\nline    =FermatFactor=149,154,3001,6001\n"),
                      std::string::npos)
                << first.err;
        }
        EXPECT_EQ(UnexpectedFiles(dir.path(),
                                  {"worktodo.txt", "factors.txt", "results.txt", "quilbrex.lock", "quilbrex.cpt"}),
                  "")
            << first.err;
    }
    EXPECT_EQ(killed, total);
    std::cout << "crash test: " << total << " kill points, " << lost << " factors lost, " << doubled
              << " doubled, " << summariesRepeated << " exponent summaries repeated\n";
    RecordProperty("kill_points", static_cast<int>(total));
}
