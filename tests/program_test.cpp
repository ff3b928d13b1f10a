// The whole program on real assignment files: the typical run, the work
// loop's edge cases, agreement with GMP on small ranges of several bands,
// the top of the 64-bit range, and a run killed and resumed.
#include <gmp.h>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

#include "driver/run_config.h"
#include "driver/startup.h"
#include "gpu/host_runtime_control.h"
#include "hostpaths/host_paths.h"
#include "quilbrex.h"
#include "sieve/device_sieve.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_marking.h"
#include "sieve/segment_sieve.h"
#include "verify/known_factors.h"
#include "support/test_support.h"

namespace {

std::string startupText() {
    cudaDeviceProp host = hostRuntimeHostProperties();
    char text[1024];
    snprintf(text, sizeof text,
             "Quilbrex_CUDA version 2.018\n"
             "\nCUDA version info\n"
             "  binary compiled for CUDA  10.0\n"
             "  CUDA runtime version      10.0\n"
             "  CUDA driver version       10.0\n"
             "\nCUDA device info\n"
             "  name (architecture)       %s (unknown)\n"
             "  compute capability        0.0\n"
             "  streaming multiprocessors %d (%d CUDA cores)\n"
             "  processor clock           %dMHz\n",
             host.name, host.multiProcessorCount, host.multiProcessorCount, host.clockRate / 1000);
    return text;
}

const std::string DASHES(80, '-');

// Strips what depends on the wall clock from run-log and factor records.
std::string withoutTimes(const std::string& log) {
    std::string result;
    std::istringstream lines(log);
    std::string line;
    const std::regex date("^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}$");
    const std::regex timing(" in [0-9.]+ seconds at [0-9a-z]+/sec");
    while (std::getline(lines, line)) {
        if (std::regex_match(line, date)) continue;
        result += std::regex_replace(line, timing, "") + "\n";
    }
    return result;
}

// The runs below go through either sieve: the host's, or the device's (its
// kernels through the stand-in); the child inherits the choice.
using ProgramOnBothSieves = BothSieves;

uint32_t widthOf(uint64_t k, uint32_t n) {
    uint32_t bits = 0;
    for (uint64_t rest = k; rest != 0; rest >>= 1) ++bits;
    return (n + bits + 31) / 32;
}

// The odd k from first to last that survive the first `primes` odd primes at
// n, by the host's marking (itself checked against GMP).
std::vector<uint64_t> hostSurvivors(uint32_t n, uint64_t first, uint64_t last, uint32_t primes) {
    primeCount = primes;
    BuildPrimeTable();
    std::vector<uint32_t> inverses(primeCount);
    for (uint32_t i = 0; i < primeCount; ++i) inverses[i] = InverseTwoPower(primeTable[i], n);
    const uint32_t length = static_cast<uint32_t>((last - (first | 1)) / 2 + 1);
    std::vector<uint8_t> segment(length);
    sieveSegment(segment.data(), length, first | 1, primeTable, inverses.data(), primeCount);
    ReleasePrimeTable();
    std::vector<uint64_t> kept;
    for (uint32_t j = 0; j < length; ++j)
        if (segment[j]) kept.push_back((first | 1) + 2ull * j);
    return kept;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(BothSieves, ProgramOnBothSieves, testing::Values(false, true), sieveName);

TEST_P(ProgramOnBothSieves, TypicalRun) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
    ChildResult r = runQuilbrex(dir.path());
    const std::string frame = std::string(32, '*') + std::string(46, ' ');
    // The host device sieves as deep as its path pays for at width 3; the
    // device sieve with its own depth; both over segments of the formula's length.
    const uint32_t primes = GetParam() ? DeviceSievePrimeCount(3) : hostPrimeCount(hostPathInUse, 3);
    char text[100];
    snprintf(text, sizeof text, "  prime count               %u\n  sieve range               %u\n", primes,
             SieveRangeFor(primes, 1));
    const std::string options = text;
    const size_t kept = hostSurvivors(54, 4001, 5001, primes).size();
    snprintf(text, sizeof text, "n=54: tested %zu of 1001 numbers (%5.2f%%)", kept, 100.0 * kept / 1001);
    const std::string summary = text;
    // At the 64-bit words' depth, 35 survive.
    EXPECT_EQ(hostSurvivors(54, 4001, 5001, 300000).size(), 35u);
    EXPECT_EQ(r.out, startupText() +
                         "\nStarting range: n=54-54 and k=4001-5001\n"
                         "\nRuntime options\n"
                         "  GPU kernel                quilbrex96bit_n32_63\n"
                         "  threads per grid          1048576\n"
                         + options +
                         "\nTesting for n = 54\n"
                         "\n" + frame + "\n!!! Found factor 4119*2^54+1 !!!\n" + frame + "\n" + summary +
                         " in 0.00 seconds at inf/sec\n"
                         "\nNo more assignments found in worktodo file. Work is done.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
    EXPECT_FALSE(fileExists(dir.file("quilbrex.cpt")));
    EXPECT_EQ(readFile(dir.file("factors.txt")), stampOf(FIXED_TIME) + "!!! Found factor 4119*2^54+1 !!!\n");
    EXPECT_EQ(readFile(dir.file("results.txt")),
              stampOf(FIXED_TIME) + "Starting range: n=54-54 and k=4001-5001\n" + stampOf(FIXED_TIME) +
                  summary + " in 0.00 seconds at inf/sec\n"
                  "Range is complete. Found 1 factor(s). For details see file factors.txt\n" +
                  DASHES + "\n");
}

TEST(Program, TypicalRunOfTheBinary) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
    ChildResult r = runProgram(QUILBREX_BINARY, dir.path(), 300);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("\n!!! Found factor 4119*2^54+1 !!!\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n" + typicalTested() + " in "), std::string::npos) << r.out;
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
    EXPECT_EQ(withoutTimes(readFile(dir.file("factors.txt"))), "!!! Found factor 4119*2^54+1 !!!\n");
}

TEST(Program, WorkLoopEdgeCases) {
    const std::string done = "\nNo more assignments found in worktodo file. Work is done.\n";
    const std::string foreign = "\nRemoved a line that does not begin with FermatFactor= (case-sensitive).\n";
    const std::string invalid = "\nRemoved a line with incorrect start or end values of k or n.\n";
    const std::string what = " Edit its k range in worktodo.txt or remove the line.\n";
    struct Case {
        const char* file;
        std::string outTail;
        int status;
        const char* fileAfter;
        std::string results;  // without time stamps
        std::string err;
    } cases[] = {
        {"", "\nNo available assignments found in worktodo file.\n", 1, "", "", ""},
        {"\n", "\nRemoved blank line from worktodo file.\nRemoved line: \n" + done, 6, "", "Removed line: \n", ""},
        {"  \t\n\n",
         "\nRemoved blank line from worktodo file.\nRemoved line:   \t\n"
         "\nRemoved blank line from worktodo file.\nRemoved line: \n" + done,
         6, "", "Removed line:   \t\nRemoved line: \n", ""},
        {"fermatfactor=40,50,3,1001\n", foreign + "Removed line: fermatfactor=40,50,3,1001\n" + done, 6, "",
         "Removed line: fermatfactor=40,50,3,1001\n", ""},
        // Typos: the text of what was removed stays in the run log.
        {"FermatFactor = 54, 54, 4001, 5001\r\nFermatFactor=54,54,5001,4001\n",
         foreign + "Removed line: FermatFactor = 54, 54, 4001, 5001\n"
         "\nThe ending value for k (kEnd) was not set or less than the starting value of k (kStart).\n" + invalid +
             "Removed line: FermatFactor=54,54,5001,4001\n" + done,
         6, "", "Removed line: FermatFactor = 54, 54, 4001, 5001\nRemoved line: FermatFactor=54,54,5001,4001\n", ""},
        {"FermatFactor=31,40,3,1001\n",
         "\nThe values of n must be in the range from nMin = 32 to nMax = 607.\n" + invalid +
             "Removed line: FermatFactor=31,40,3,1001\n" + done,
         6, "", "Removed line: FermatFactor=31,40,3,1001\n", ""},
        // No kernel serves it: refused before anything is searched, kept for
        // next time, with what the user can do about it.
        {"FermatFactor=40,41,3,1000\nFermatFactor=54,54,4001,5001\n",
         "\nStarting range: n=40-41 and k=3-1000\nNo kernel for that bit level\n", 1,
         "FermatFactor=40,41,3,1000\nFermatFactor=54,54,4001,5001\n", "Starting range: n=40-41 and k=3-1000\n",
         "\nThe line FermatFactor=40,41,3,1000 cannot be searched: at n=40 no kernel serves k from 3 to 1000 (p too "
         "short for the band's kernels below k=16777216)." + what},
        {"FermatFactor=39,39,3,7\n", "\nStarting range: n=39-39 and k=3-7\nNo kernel for that bit level\n", 1,
         "FermatFactor=39,39,3,7\n", "Starting range: n=39-39 and k=3-7\n",
         "\nThe line FermatFactor=39,39,3,7 cannot be searched: at n=39 no kernel serves k from 3 to 7 (p too short "
         "for the band's kernels below k=33554432)." + what},
        {"FermatFactor=600,600,1099511627776,1099511627779\n",
         "\nStarting range: n=600-600 and k=1099511627777-1099511627779\nNo kernel for that bit level\n", 1,
         "FermatFactor=600,600,1099511627776,1099511627779\n",
         "Starting range: n=600-600 and k=1099511627777-1099511627779\n",
         "\nThe line FermatFactor=600,600,1099511627776,1099511627779 cannot be searched: at n=600 no kernel serves k "
         "from 1099511627777 to 1099511627779 (p too long for the band's kernel from k=1099511627776 on)." + what},
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), c.file);
        ChildResult r = runQuilbrex(dir.path());
        EXPECT_EQ(r.out, startupText() + c.outTail) << c.file;
        EXPECT_EQ(r.err, c.err) << c.file;
        EXPECT_EQ(r.status, c.status) << c.file;
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), c.fileAfter) << c.file;
        EXPECT_EQ(withoutTimes(readFile(dir.file("results.txt"))), c.results) << c.file;
    }
}

// Any argument, --help or a typo, gets the usage and touches nothing, and a
// folder without worktodo.txt is left as it was found.
TEST(Program, ArgumentsAndMissingAssignmentFileTouchNothing) {
    const std::string usage =
        "Usage: quilbrex (no arguments)\n"
        "\n"
        "quilbrex searches for factors k*2^n+1 of Fermat numbers and works in the current folder:\n"
        "  worktodo.txt  its assignments, one per line: FermatFactor=nStart,nEnd,kStart,kEnd\n"
        "                (the first line is worked and removed when it is finished)\n"
        "  factors.txt   every factor found (also shown on standard output)\n"
        "  results.txt   the run log: what was searched, in how long, and what was found\n"
        "  proofs.txt    the proof k of each searched exponent, by which anyone can check the search\n"
        "  quilbrex.cpt  the checkpoint from which a stopped run continues\n"
        "  quilbrex.lock the process that holds the folder\n"
        "Start it with no arguments in a folder that holds worktodo.txt; Ctrl-C stops it and the next start\n"
        "continues. README.md at the top of quilbrex's source tree tells more.\n";
    struct Case {
        std::vector<std::string> arguments;
        bool work;
        std::string out;
        int status;
    } cases[] = {
        {{"--help"}, true, usage, 1},
        {{"-h"}, false, usage, 1},
        {{"worktodo.txt", "extra"}, true, usage, 1},
        {{}, false, "", 1},
    };
    for (const Case& c : cases) {
        TempDir dir;
        if (c.work) writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
        ChildResult r = runProgram(QUILBREX_BINARY, dir.path(), 300, c.arguments);
        const std::string what = c.arguments.empty() ? "no arguments" : c.arguments[0];
        ASSERT_TRUE(r.exited) << what;
        EXPECT_EQ(r.status, c.status) << what;
        if (!c.out.empty()) {
            EXPECT_EQ(r.out, c.out) << what;
        } else {
            EXPECT_EQ(r.err, "\nCan't open worktodo file: No such file or directory\n") << what;
        }
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt"}), "") << what;
        if (c.work) {
            EXPECT_EQ(readFile(dir.file("worktodo.txt")), "FermatFactor=54,54,4001,5001\n") << what;
        }
    }
}

TEST(Program, MissingAssignmentFile) {
    TempDir dir;
    ChildResult r = runQuilbrex(dir.path());
    EXPECT_EQ(r.out, startupText());
    EXPECT_EQ(r.err, "\nCan't open worktodo file: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST(Program, BlankLineThenValidLineInOneRun) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "\nFermatFactor=54,54,4001,5001\n");
    ChildResult r = runQuilbrex(dir.path());
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("\nRemoved blank line from worktodo file.\nRemoved line: \n"
                         "\nStarting range: n=54-54 and k=4001-5001\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("!!! Found factor 4119*2^54+1 !!!"), std::string::npos);
}

TEST_P(ProgramOnBothSieves, TwoFactorsInOneRange) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=149,154,3125,5439\n");
    ChildResult r = runQuilbrex(dir.path());
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(withoutTimes(readFile(dir.file("factors.txt"))),
              "!!! Found factor 3125*2^149+1 !!!\n!!! Found factor 5439*2^154+1 !!!\n");
    std::string results = readFile(dir.file("results.txt"));
    EXPECT_NE(results.find("\nRange is complete. Found 2 factor(s). For details see file factors.txt\n" + DASHES +
                           "\n"),
              std::string::npos);
    for (int n = 149; n <= 154; ++n)
        EXPECT_NE(results.find("n=" + std::to_string(n) + ": tested "), std::string::npos) << n;
}

TEST(Program, ObsoleteCheckpointIsRemovedAndTheLineStartsAfresh) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4001,5001\n");
    writeFile(dir.file("quilbrex.cpt"), "nCurrent=54\nkCurrent=9999\nkTested =5\nseconds =1.00\nfactors =0\n");
    ChildResult r = runQuilbrex(dir.path());
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("\nThe current value for k (kCurrent) is outside of the range of k.\n"
                         "\nRemoved obsolete checkpoint file quilbrex.cpt and continue.\n"
                         "\nStarting range: n=54-54 and k=4001-5001\n"),
              std::string::npos);
    EXPECT_NE(r.out.find(typicalTested()), std::string::npos);
}

TEST_P(ProgramOnBothSieves, TopOfTheSixtyFourBitRangeFinishes) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=60,60,18446744073709551557,18446744073709551615\n");
    ChildResult r = runQuilbrex(dir.path());
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("  GPU kernel                quilbrex128bit_n32_63\n"), std::string::npos);
    // 30 odd k; those with a factor among the host device's sieving primes at
    // width 4 (or the device sieve's) are sieved out.
    primeCount = GetParam() ? DeviceSievePrimeCount(4) : hostPrimeCount(hostPathInUse, 4);
    BuildPrimeTable();
    int kept = 0;
    for (unsigned __int128 k = 18446744073709551557ull; k <= 18446744073709551615ull; k += 2) {
        unsigned __int128 p = (k << 60) + 1;
        bool sieved = false;
        for (uint32_t i = 0; i < primeCount && !sieved; ++i) sieved = p % primeTable[i] == 0;
        kept += !sieved;
    }
    ReleasePrimeTable();
    EXPECT_NE(r.out.find("\nn=60: tested " + std::to_string(kept) + " of 59 numbers"), std::string::npos) << r.out;
}

// Every k that the sieve keeps and GMP finds to pass is reported, and nothing
// else, over small ranges of several bands and both widths of a band.
TEST_P(ProgramOnBothSieves, AgreesWithGmpOnSmallRanges) {
    struct Range {
        uint32_t n;
        uint64_t first, last;
    } ranges[] = {
        {54, 4001, 5001},                                             // 96 bits, band 1, holds a factor
        {61, 9, 401},                                                 // 96 bits, holds 95
        {63, 8589934591ull - 400, 8589934591ull},                     // p of exactly 96 bits
        {63, 8589934593ull, 8589934593ull + 400},                     // 128 bits, band 1
        {33, 18446744073709551615ull - 400, 18446744073709551615ull},  // 128 bits, band 1, low n
        {93, 1001, 2001},                                             // 128 bits, band 2, holds 1421
        {127, 3, 601},                                                // 160 bits, band 3, holds 5
        {157, 1001, 2001},                                            // 192 bits, band 4, holds 1575
        {252, 17, 601},                                               // 288 bits, band 7, holds 403
        {560, 281474976710657ull, 281474976710657ull + 200},          // 640 bits, band 17
        {607, 3, 201},                                                // 640 bits, band 18
    };
    TempDir dir;
    std::string work;
    for (const Range& r : ranges)
        work += "FermatFactor=" + std::to_string(r.n) + "," + std::to_string(r.n) + "," + std::to_string(r.first) +
                "," + std::to_string(r.last) + "\n";
    writeFile(dir.file("worktodo.txt"), work);
    ChildResult run = runQuilbrex(dir.path());
    ASSERT_EQ(run.status, 6) << run.out;

    std::string expectedFactors;
    std::map<uint32_t, uint64_t> expectedTested;
    mpz_t p, exponent, residue, two;
    mpz_inits(p, exponent, residue, two, nullptr);
    mpz_set_ui(two, 2);
    for (const Range& r : ranges) {
        // The device sieve's depth is too deep to check prime by prime here;
        // its survivors equal the host's marking bit for bit (segment sieve
        // tests), which decides what it keeps.
        std::vector<uint64_t> deviceKept;
        if (GetParam()) deviceKept = hostSurvivors(r.n, r.first, r.last, DeviceSievePrimeCount(widthOf(r.first, r.n)));
        // The host device's own depth at the width, on the path the run tests with.
        primeCount = GetParam() ? 0 : hostPrimeCount(hostPathInUse, widthOf(r.first, r.n));
        BuildPrimeTable();
        std::vector<uint64_t> powers(primeCount);  // 2^n mod q
        for (uint32_t i = 0; i < primeCount; ++i) {
            uint64_t q = primeTable[i], power = 1 % q, base = 2;
            for (uint32_t bits = r.n; bits; bits >>= 1, base = base * base % q)
                if (bits & 1) power = power * base % q;
            powers[i] = power;
        }
        uint64_t kept = 0;
        for (uint64_t k = r.first | 1; k <= r.last; k += 2) {
            bool sieved = false;
            for (uint32_t i = 0; i < primeCount && !sieved; ++i)
                sieved = ((k % primeTable[i]) * powers[i] + 1) % primeTable[i] == 0;
            if (GetParam()) sieved = !std::binary_search(deviceKept.begin(), deviceKept.end(), k);
            if (!sieved) {
                ++kept;
                mpz_set_ui(p, k);
                mpz_mul_2exp(p, p, r.n);
                mpz_add_ui(p, p, 1);
                mpz_setbit(exponent, 0);
                mpz_set_ui(exponent, 0);
                mpz_setbit(exponent, r.n - 1);
                mpz_powm(residue, two, exponent, p);
                if (mpz_cmp_ui(residue, 1) == 0)
                    expectedFactors +=
                        "!!! Found factor " + std::to_string(k) + "*2^" + std::to_string(r.n) + "+1 !!!\n";
            }
            if (r.last - k < 2) break;
        }
        ReleasePrimeTable();
        expectedTested[r.n] = kept;
    }
    mpz_clears(p, exponent, residue, two, nullptr);

    EXPECT_EQ(withoutTimes(readFile(dir.file("factors.txt"))), expectedFactors);
    EXPECT_EQ(std::count(expectedFactors.begin(), expectedFactors.end(), '\n'), 6);  // the known ones are in
    std::string results = readFile(dir.file("results.txt"));
    for (const Range& r : ranges)
        EXPECT_NE(results.find("n=" + std::to_string(r.n) + ": tested " + std::to_string(expectedTested[r.n]) + " of "),
                  std::string::npos)
            << r.n;
}

namespace {

// A clock that moves a minute and more at every look, so that checkpoints
// fall due all the time, and that kills the process at its second look
// during a chosen exponent: by then the checkpoint of that exponent's start
// has been written, and its search has not begun.
double runningNow = 1000;
uint32_t killAtExponent;
int looksAtKillExponent;
double hurriedClock() {
    if (killAtExponent && nCurrent == killAtExponent && ++looksAtKillExponent == 2) raise(SIGKILL);
    return runningNow += 61;
}

}  // namespace

TEST_P(ProgramOnBothSieves, KilledRunResumesWithTheSameOutcome) {
    const char* line = "FermatFactor=54,58,4001,5001\n";
    TempDir whole, interrupted;
    writeFile(whole.file("worktodo.txt"), line);
    writeFile(interrupted.file("worktodo.txt"), line);

    ChildResult uninterrupted = runQuilbrex(whole.path());
    ASSERT_EQ(uninterrupted.status, 6);

    ChildResult killed = runInChild(
        []() {
            hostRuntimeReset();
            killAtExponent = 57;
            clockNow = fixedClock;
            monotonicNow = hurriedClock;
            return quilbrexMain();
        },
        interrupted.path());
    ASSERT_FALSE(killed.exited);
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(readFile(interrupted.file("worktodo.txt")), line);
    // Exponents 54 to 56 are finished: the checkpoint points at the start of 57.
    EXPECT_EQ(readFile(interrupted.file("quilbrex.cpt")),
              "nCurrent=57\nkCurrent=4001\nkTested =0\nseconds =0.00\nfactors =1\n"
              "line    =FermatFactor=54,58,4001,5001\n");

    ChildResult resumed = runQuilbrex(interrupted.path());
    EXPECT_EQ(resumed.status, 6);
    EXPECT_NE(resumed.out.find("\nContinue range: n=54-58(57) and k=4001-5001(4001)\n"), std::string::npos);
    EXPECT_EQ(resumed.out.find("Testing for n = 56"), std::string::npos);
    EXPECT_EQ(withoutTimes(readFile(interrupted.file("factors.txt"))),
              withoutTimes(readFile(whole.file("factors.txt"))));
    EXPECT_EQ(withoutTimes(readFile(interrupted.file("results.txt"))),
              withoutTimes(readFile(whole.file("results.txt"))));
    EXPECT_EQ(readFile(interrupted.file("worktodo.txt")), "");
}

// One known factor of every width that has one with odd k, each in a short
// range of its own line: every one is found. (The table's other entries have
// even k, which no search visits: the sieve looks at odd k only.)
TEST_P(ProgramOnBothSieves, KnownFactorsOfEveryWidth) {
    TempDir dir;
    std::string work, expected;
    bool width[21] = {};
    for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i) {
        const KnownFactor& f = knownFactors[i];
        const uint32_t w = widthOf(f.k, f.n);
        if (f.k % 2 == 0 || width[w] || widthOf(f.k > 20 ? f.k - 20 : 1, f.n) != w || widthOf(f.k + 20, f.n) != w)
            continue;
        width[w] = true;
        work += "FermatFactor=" + std::to_string(f.n) + "," + std::to_string(f.n) + "," +
                std::to_string(f.k > 20 ? f.k - 20 : 1) + "," + std::to_string(f.k + 20) + "\n";
        expected += "!!! Found factor " + std::to_string(f.k) + "*2^" + std::to_string(f.n) + "+1 !!!\n";
    }
    writeFile(dir.file("worktodo.txt"), work);
    ChildResult r = runQuilbrex(dir.path());
    ASSERT_EQ(r.status, 6) << r.out;
    EXPECT_EQ(withoutTimes(readFile(dir.file("factors.txt"))), expected);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 9);
}
