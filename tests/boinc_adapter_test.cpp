// The BOINC adapter, built with the option off (everything passes through) and on
// (file names through <soft_link> files, the device from init data and from
// --device, the exit mapping, progress over cut lines, the program standalone).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "boinc/boinc_adapter.h"
#include "fatal_exit.h"
#include "hostpaths/host_paths.h"
#include "quilbrex.h"
#include "support/test_support.h"
#include "workfiles/assignment.h"
#include "workfiles/range_split.h"
#include "workunit/boinc_workunit.h"

#ifdef QUILBREX_BOINC
#include "boinc_api.h"
#endif

namespace {

double OddKs(uint64_t kStart, uint64_t kEnd) { return static_cast<double>((kEnd - (kStart | 1)) / 2 + 1); }

}  // namespace

TEST(BoincProgress, WorkAndFractionOfLines) {
    struct Case {
        AssignmentLine line;
        double work;
    } cases[] = {
        {{54, 54, 4001, 5001}, 501},
        {{54, 56, 4001, 30001}, 3 * 13001},
        {{54, 54, 4000, 5000}, 500},  // an even kStart: 4001 is the first k
        {{54, 54, 4001, 4001}, 1},
        {{54, 54, 5001, 4001}, 0},
        {{600, 607, 1ULL << 40, UINT64_MAX}, 8 * OddKs(1ULL << 40, UINT64_MAX)},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(WorkOfLine(c.line), c.work) << c.line.nStart << " " << c.line.kStart;

    AssignmentLine three = {54, 56, 4001, 30001};
    EXPECT_DOUBLE_EQ(FractionDone(three, 3 * 13001), 0);
    EXPECT_DOUBLE_EQ(FractionDone(three, 13001), 2.0 / 3);
    EXPECT_DOUBLE_EQ(FractionDone(three, 0), 1);
    EXPECT_DOUBLE_EQ(FractionDone(three, 4 * 13001), 0);  // never below 0
    EXPECT_DOUBLE_EQ(FractionDone(AssignmentLine{54, 54, 5001, 4001}, 0), 0);
}

TEST(BoincProgress, CutLinesCountTheirLeftOutMultipliersAsDone) {
    // FermatFactor=40,50,3,1048576 is cut into one line per exponent from 45 on,
    // each from L(n); below L(n) no kernel serves and nothing is searched.
    AssignmentLine original = {40, 50, 3, 1048576};
    AssignmentLine lines[MAX_CUT_LINES];
    int count = CutAssignmentLine(original, lines);
    ASSERT_EQ(count, 6);
    double pieces = 0;
    for (int i = 0; i < count; ++i) pieces += WorkOfLine(lines[i]);
    double total = 11 * OddKs(3, 1048576);
    double leftOut = 5 * OddKs(3, 1048576);  // n = 40 to 44: every k too small
    for (uint32_t n = 45; n <= 50; ++n) leftOut += OddKs(3, 1048576) - OddKs(1ULL << (32 - n % 32), 1048576);
    EXPECT_DOUBLE_EQ(FractionDone(original, pieces), leftOut / total);
    // Halfway through the first piece, with the five others still to come.
    double half = WorkOfLine(lines[0]) / 2;
    EXPECT_DOUBLE_EQ(FractionDone(original, pieces - half), (leftOut + half) / total);
}

TEST(BoincProgress, ParsesOnlyAssignmentLines) {
    AssignmentLine line = {0, 0, 0, 0};
    EXPECT_TRUE(ParseWorkLine("FermatFactor=54,56,4001,18446744073709551615\n", &line));
    EXPECT_EQ(line.nStart, 54u);
    EXPECT_EQ(line.nEnd, 56u);
    EXPECT_EQ(line.kStart, 4001u);
    EXPECT_EQ(line.kEnd, UINT64_MAX);
    for (const char* text : {"", "\n", "fermatfactor=54,56,4001,5001", "FermatFactor=54,56,4001", "# comment"})
        EXPECT_FALSE(ParseWorkLine(text, &line)) << text;
}

#ifndef QUILBREX_BOINC

TEST(BoincAdapterOff, EverythingPassesThrough) {
    TempDir dir;
    ChildResult r = runInChild(
        []() {
            char program[] = "quilbrex", option[] = "--device", number[] = "3";
            char* argv[] = {program, option, number, nullptr};
            BoincStart(3, argv);
            const char* name = "worktodo.txt";
            bool same = BoincFileName(name) == name && BoincFileName(FACTORS_FILE) == FACTORS_FILE;
            bool due = BoincCheckpointDue(true) && !BoincCheckpointDue(false);
            BoincBeginCriticalSection();
            BoincCheckpointWritten();
            BoincEndCriticalSection();
            BoincLineLoaded("worktodo.txt");
            BoincReportProgress(5);
            BoincLeaveAfterRuntimeError(719, "unspecified launch failure");
            bool finish = BoincFinish(6) == 6 && BoincFinish(1) == 1 && BoincFinish(-1) == -1;
            return same && due && finish && BoincDevice() == 0 ? 42 : 1;
        },
        dir.path());
    EXPECT_EQ(r.status, 42);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    // No factors.txt, no remembered line, no BOINC files: the directory stays empty.
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir.path() + "')\"").c_str()), 0);
}

#else

namespace {

const std::string TYPICAL = "FermatFactor=54,54,4001,5001\n";

ChildResult runBinary(const std::string& dir, const char* option = nullptr, const char* value = nullptr) {
    return runInChild(
        [&]() {
            execl(QUILBREX_BINARY, QUILBREX_BINARY, option, value, static_cast<char*>(nullptr));
            return 252;
        },
        dir);
}

// Starts the adapter in a child in dir and returns what body returns.
ChildResult startedChild(const std::string& dir, const std::function<int()>& body,
                         std::vector<std::string> args = {}) {
    return runInChild(
        [&]() {
            std::vector<char*> argv = {const_cast<char*>("quilbrex")};
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            BoincStart(static_cast<int>(argv.size() - 1), argv.data());
            return body();
        },
        dir);
}

}  // namespace

TEST(BoincAdapterOn, TypicalLineStandalone) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ChildResult r = runBinary(dir.path());
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");  // under a client standard output is lost: everything goes to stderr.txt
    EXPECT_EQ(readFile(dir.file("boinc_finish_called")).substr(0, 2), "0\n");
    std::string log = readFile(dir.file("stderr.txt"));
    EXPECT_NE(log.find("  device number             0\n  name (architecture)       host CPU"), std::string::npos);
    EXPECT_NE(log.find("\n!!! Found factor 4119*2^54+1 !!!\n"), std::string::npos);
    EXPECT_NE(log.find("\nNo more assignments found in worktodo file. Work is done.\n"), std::string::npos);
    EXPECT_NE(log.find("called boinc_finish(0)"), std::string::npos);
    std::string factors = readFile(dir.file("factors.txt"));
    EXPECT_EQ(factors.substr(factors.find('\n') + 1), "!!! Found factor 4119*2^54+1 !!!\n");
    std::string results = readFile(dir.file("results.txt"));
    // The program sieves as deep as the path it chooses on this processor pays for.
    EXPECT_NE(results.find("\nSieve configuration: kernel quilbrex96bit_n32_63, prime count " +
                           std::to_string(hostPrimeCount(hostPathBest(), 3)) + "\n"),
              std::string::npos);
    EXPECT_EQ(results.substr(results.size() - 81 - 71),
              "Range is complete. Found 1 factor(s). For details see file factors.txt\n" + std::string(80, '-') +
                  "\n");
    EXPECT_EQ(readFile(dir.file(WORKUNIT_LINE_FILE)), TYPICAL);
}

TEST(BoincAdapterOn, FactorsFileExistsEvenEmpty) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=54,54,4121,5001\n");
    ChildResult r = runBinary(dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fileExists(dir.file("factors.txt")));
    EXPECT_EQ(readFile(dir.file("factors.txt")), "");
    EXPECT_NE(readFile(dir.file("results.txt")).find("Range is complete. No factors found.\n"), std::string::npos);
}

TEST(BoincAdapterOn, WorkFilesResolveThroughSoftLinks) {
    // As a client lays out a slot without <copy_file/>: each work file a link
    // to the real file in the project's folder.
    TempDir root;
    ASSERT_EQ(mkdir(root.file("slot").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(root.file("project").c_str(), 0755), 0);
    writeFile(root.file("project/wu_input"), TYPICAL);
    writeFile(root.file("project/wu_factors"), "");
    for (const char* name : {"worktodo.txt", "results.txt", "factors.txt", "quilbrex.cpt"}) {
        std::string target = std::string("../project/") + (name[0] == 'w' ? "wu_input" : name[0] == 'f' ? "wu_factors"
                                                          : name[0] == 'r' ? "wu_results" : "wu_checkpoint");
        writeFile(root.file(std::string("slot/") + name), "<soft_link>" + target + "</soft_link>\n");
    }
    ChildResult r = runBinary(root.file("slot"));
    EXPECT_EQ(r.status, 0) << readFile(root.file("slot/stderr.txt"));
    EXPECT_EQ(readFile(root.file("project/wu_input")), "");
    EXPECT_NE(readFile(root.file("project/wu_factors")).find("!!! Found factor 4119*2^54+1 !!!\n"), std::string::npos);
    EXPECT_NE(readFile(root.file("project/wu_results")).find("Range is complete. Found 1 factor(s)."),
              std::string::npos);
    // The links themselves are untouched.
    EXPECT_EQ(readFile(root.file("slot/factors.txt")), "<soft_link>../project/wu_factors</soft_link>\n");
    EXPECT_EQ(readFile(root.file("slot/worktodo.txt")), "<soft_link>../project/wu_input</soft_link>\n");
}

TEST(BoincAdapterOn, DeviceFromInitDataAndFromTheCommandLine) {
    struct Case {
        const char* initData;  // nullptr: standalone
        std::vector<std::string> args;
        int device;
    } cases[] = {
        {nullptr, {}, 0},
        {"<app_init_data>\n<gpu_device_num>3</gpu_device_num>\n</app_init_data>\n", {}, 3},
        {"<app_init_data>\n<gpu_device_num>3</gpu_device_num>\n</app_init_data>\n", {"--device", "5"}, 5},
        {nullptr, {"--device", "2"}, 2},
        {"<app_init_data>\n<gpu_device_num>-1</gpu_device_num>\n</app_init_data>\n", {}, 0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), TYPICAL);
        if (c.initData) writeFile(dir.file("init_data.xml"), c.initData);
        ChildResult r = startedChild(dir.path(), []() { return BoincDevice(); }, c.args);
        EXPECT_EQ(r.status, c.device) << (c.initData ? c.initData : "standalone");
    }
    // The whole program on device 1 names it in the device block.
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    ChildResult r = runBinary(dir.path(), "--device", "1");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(readFile(dir.file("stderr.txt")).find("\n  device number             1\n"), std::string::npos);
}

TEST(BoincAdapterOn, ExitMapping) {
    struct Case {
        const char* what;
        std::function<int()> end;
        int status;
        const char* finishCalled;  // nullptr: boinc_finish is not called
        bool temporary;
    } cases[] = {
        {"work done", []() { return BoincFinish(ASSIGNMENT_FILE_NOW_EMPTY); }, 0, "0\n", false},
        {"no assignment", []() { return BoincFinish(ASSIGNMENT_EMPTY_FILE); }, 1, "1\n", false},
        {"obsolete checkpoint kept", []() { return BoincFinish(-1); }, 255, "255\n", false},
        {"invalid argument", []() { BoincLeaveAfterRuntimeError(1, "invalid argument"); return 7; }, 255, "255\n",
         false},
        {"launch failure", []() { BoincLeaveAfterRuntimeError(719, "unspecified launch failure"); return 7; }, 0,
         nullptr, true},
        {"out of memory", []() { BoincLeaveAfterRuntimeError(2, "out of memory"); return 7; }, 0, nullptr, true},
        {"a file that cannot be written now", []() { BoincLeaveTemporarily("results.txt cannot be written"); return 7; },
         0, nullptr, true},
        // Only what may pass by itself is retried; anything else fails the task at once.
        {"a full disk", []() { workFileError = ENOSPC; FatalExitRetryLater(1, "results.txt cannot be written"); return 7; },
         0, nullptr, true},
        {"an I/O error", []() { workFileError = EIO; FatalExitRetryLater(1, "results.txt cannot be written"); return 7; }, 0,
         nullptr, true},
        {"a folder in a file's place", []() { workFileError = EISDIR; FatalExitRetryLater(1, "results.txt cannot be written"); return 7; },
         1, "1\n", false},
        {"no permission", []() { workFileError = EACCES; FatalExitRetryLater(1, "results.txt cannot be written"); return 7; }, 1,
         "1\n", false},
        {"a refusal", []() { FatalExit(1); return 7; }, 1, "1\n", false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), TYPICAL);
        writeFile(dir.file("results.txt"), "Range is complete. No factors found.\n" + std::string(79, '-') + "\n");
        ChildResult r = startedChild(dir.path(), c.end);
        ASSERT_TRUE(r.exited) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
        if (c.finishCalled) {
            EXPECT_EQ(readFile(dir.file("boinc_finish_called")).substr(0, strlen(c.finishCalled)), c.finishCalled)
                << c.what;
        } else {
            EXPECT_FALSE(fileExists(dir.file("boinc_finish_called"))) << c.what;
        }
        EXPECT_EQ(fileExists(dir.file("boinc_temporary_exit")), c.temporary) << c.what;
        if (c.temporary) {
            std::string reason = readFile(dir.file("boinc_temporary_exit"));
            EXPECT_TRUE(reason.find("GPU busy or failing") != std::string::npos ||
                        reason.find("results.txt cannot be written") != std::string::npos)
                << reason;
        }
    }
    // Restarted after the end: nothing left to do, and the run log proves it done.
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "");
    writeFile(dir.file("results.txt"), "Range is complete. No factors found.\n" + std::string(80, '-') + "\n");
    ChildResult r = startedChild(dir.path(), []() { return BoincFinish(ASSIGNMENT_EMPTY_FILE); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir.file("boinc_finish_called")).substr(0, 2), "0\n");
}

// A refusal, or a file that cannot be had for a reason that does not pass by
// itself, fails the task at once: boinc_finish with a status that is not 0,
// the slot's lock released, the client reports it instead of retrying it
// every five minutes. The line stays before the factor all the same.
TEST(BoincAdapterOn, RefusalsFailTheTaskAtOnce) {
    const struct {
        const char* what;
        std::function<void(const TempDir&)> prepare;
        const char* said;
    } cases[] = {
        {"no worktodo.txt", [](const TempDir&) {}, "\nCan't open worktodo file: No such file or directory\n"},
        {"worktodo.txt a folder",
         [](const TempDir& dir) { ASSERT_EQ(mkdir(dir.file("worktodo.txt").c_str(), 0755), 0); },
         "\nCan't use worktodo file worktodo.txt: it is not a regular file.\n"},
        {"factors.txt a folder",
         [](const TempDir& dir) {
             writeFile(dir.file("worktodo.txt"), TYPICAL);
             ASSERT_EQ(mkdir(dir.file("factors.txt").c_str(), 0755), 0);
         },
         "Can't record this factor in factors.txt: Is a directory."},
        {"results.txt a link of another user",
         [](const TempDir& dir) {
             writeFile(dir.file("worktodo.txt"), TYPICAL);
             writeFile(dir.file("elsewhere.txt"), "");
             ASSERT_EQ(symlink("elsewhere.txt", dir.file("results.txt").c_str()), 0);
             ASSERT_EQ(lchown(dir.file("results.txt").c_str(), 4321, 4321), 0);
         },
         "\nCan't use results.txt: it is a symbolic link owned by another user (uid 4321)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (geteuid() != 0 && std::string(c.what).find("another user") != std::string::npos) continue;
        TempDir dir;
        c.prepare(dir);
        ChildResult r = runBinary(dir.path());
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(readFile(dir.file("boinc_finish_called")).substr(0, 2), "1\n");
        EXPECT_FALSE(fileExists(dir.file("boinc_temporary_exit")));
        EXPECT_FALSE(fileExists(dir.file("boinc_lockfile")));
        EXPECT_NE(readFile(dir.file("stderr.txt")).find(c.said), std::string::npos) << readFile(dir.file("stderr.txt"));
        if (fileExists(dir.file("elsewhere.txt"))) EXPECT_EQ(readFile(dir.file("elsewhere.txt")), "");
        struct stat info;
        if (stat(dir.file("worktodo.txt").c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            EXPECT_EQ(readFile(dir.file("worktodo.txt")), TYPICAL);
        }
    }
}

TEST(BoincAdapterOn, ProgressOverTheWorkunitsOriginalLine) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), "FermatFactor=40,50,3,1048576\n");
    ChildResult r = startedChild(dir.path(), []() {
        if (Read_Assignment_Line("worktodo.txt") != ASSIGNMENT_OK) return 1;
        BoincLineLoaded("worktodo.txt");
        // The first cut line is 45,45,524288,1048576; half of its 262144 odd k are left.
        BoincReportProgress(131072);
        AssignmentLine rest[] = {{46, 46, 262144, 1048576}, {47, 47, 131072, 1048576}, {48, 48, 65536, 1048576},
                                 {49, 49, 32768, 1048576}, {50, 50, 16384, 1048576}};
        double left = 131072;
        for (const AssignmentLine& line : rest) left += WorkOfLine(line);
        double expected = FractionDone(AssignmentLine{40, 50, 3, 1048576}, left);
        return boinc_get_fraction_done() == expected && expected > 0.5 && expected < 1 ? 42 : 1;
    });
    EXPECT_EQ(r.status, 42);
    // The original line is kept for later starts, whatever the cut left in worktodo.txt.
    EXPECT_EQ(readFile(dir.file(WORKUNIT_LINE_FILE)), "FermatFactor=40,50,3,1048576\n");
    EXPECT_EQ(readFile(dir.file("worktodo.txt")).substr(0, 34), "FermatFactor=45,45,524288,1048576\n");
}

TEST(BoincAdapterOn, TheVolunteersPeriodDecidesCheckpoints) {
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), TYPICAL);
    // Standalone, the first checkpoint is due after BOINC's default period of
    // five minutes, whatever the program's own clock says.
    ChildResult r = startedChild(dir.path(), []() {
        bool due = BoincCheckpointDue(true);
        BoincCheckpointWritten();
        return due ? 1 : 42;
    });
    EXPECT_EQ(r.status, 42);
}

#endif
