// Shared by the work-file tests: calling a work-file function in a temporary directory with its output captured, under a fixed clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "quilbrex.h"
#include "support/test_support.h"
#include "workfiles/atomic_file.h"

struct CallOutcome {
    int code = -1;
    std::string out, err;
};

// 2023-11-14 22:13:20 UTC; its ctime text under TZ=UTC is FIXED_STAMP.
inline time_t fixedNow = 1700000000;
constexpr const char* FIXED_STAMP = "Tue Nov 14 22:13:20 2023\n";
inline time_t FixedClock() { return fixedNow; }
// Durations are measured on the same fixed clock, so they are exact.
inline double FixedMonotonicClock() { return static_cast<double>(fixedNow); }

// Puts every global the work files touch back to a known state, so that no
// case sees what the one before it left.
inline void ResetWorkFileState() {
    setenv("TZ", "UTC", 1);
    tzset();
    fixedNow = 1700000000;
    clockNow = FixedClock;
    monotonicNow = FixedMonotonicClock;
    atomicWriteFailAt = ATOMIC_FAIL_NONE;
    nStart = nEnd = nCurrent = 0;
    kStart = kEnd = kCurrent = kTested = 0;
    seconds = 0;
    foundFactors = 0;
    startTime = endTime = 0;
    rangeK = 0;
    testedRate = 0;
}

// Runs call with dir as the working directory, capturing what it prints.
inline CallOutcome CaptureCall(const std::string& dir, const std::function<int()>& call) {
    CallOutcome outcome;
    fflush(stdout);
    fflush(stderr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    inDirectory(dir, [&] { outcome.code = call(); });
    fflush(stdout);
    fflush(stderr);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    return outcome;
}

inline std::string StartingRange(const std::string& values) { return "\nStarting range: " + values + "\n"; }
