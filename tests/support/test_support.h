// Helpers shared by the tests: running code or the program in a child process
// with its output captured, the clocks it runs under, temporary working
// directories and small file and text checks.
#pragma once

#include <ctime>
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "gpu/host_runtime_control.h"

struct ChildResult {
    int status = -1;       // exit status when the child exited normally
    bool exited = false;   // false when it was killed by a signal
    int signal = 0;
    std::string out, err;  // everything written to standard output and error
};

// Runs body in a forked child, in directory dir when not empty, with standard
// output and error captured. The child's status is body's result, or whatever
// it passed to exit(). Standard input is /dev/null.
ChildResult runInChild(const std::function<int()>& body, const std::string& dir = "");

// Runs an executable (with no arguments unless given) in dir, output
// captured; the child is killed after timeoutSeconds (0: no limit).
ChildResult runProgram(const std::string& path, const std::string& dir, int timeoutSeconds = 0,
                       const std::vector<std::string>& arguments = {});

// A wall clock that stands still at FIXED_TIME (2023-11-14 22:13:20 UTC) and
// durations that do not move, so that every text of a run is predictable.
constexpr time_t FIXED_TIME = 1700000000;
time_t fixedClock();
double fixedMonotonic();
// The time-stamp line the logs carry for when (ctime's text).
std::string stampOf(time_t when);

// How runQuilbrex runs the program.
struct ProgramRun {
    time_t (*wallClock)() = fixedClock;
    double (*durations)() = fixedMonotonic;  // nullptr: durations follow the wall clock
    HostRuntimeOp failing = hostOpCount;      // a runtime operation whose first call fails (hostOpCount: none)
    HostLaunchHook hook = nullptr;            // sees what every launch wrote
};
// The whole program (quilbrexMain) in a child in dir, on the host device
// reset to its defaults, under the clocks of how; output captured.
ChildResult runQuilbrex(const std::string& dir, const ProgramRun& how = ProgramRun());

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Runs body with the current directory changed to dir, restoring it after.
void inDirectory(const std::string& dir, const std::function<void()>& body);

// Names in dir other than the expected ones, such as temporary files a
// rewrite left behind; empty when there are none.
std::string UnexpectedFiles(const std::string& dir, std::initializer_list<std::string> expected);

// How many times what occurs in text (overlapping occurrences count).
size_t countOf(const std::string& text, const std::string& what);
// A test run once on the host's sieve ("Host") and once on the device's
// ("Device", its kernels through the stand-in); children of runInChild
// inherit the choice. The build's own choice is restored afterwards.
class BothSieves : public testing::TestWithParam<bool> {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    bool builtChoice_ = false;
};
std::string sieveName(const testing::TestParamInfo<bool>& info);

// The summary of the typical line FermatFactor=54,54,4001,5001 up to its
// time, on the sieve in use: the host device's depth keeps 47 or 35 of the
// 1001 k, the device sieve's 4,000,000 primes keep 31.
std::string typicalTested();
