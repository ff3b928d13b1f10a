// Cutting a validated assignment line into lines that one kernel each can serve.
#pragma once

#include <cstddef>
#include <cstdint>

// One assignment line's four values.
struct AssignmentLine {
    uint32_t nStart, nEnd;
    uint64_t kStart, kEnd;
};

// A band piece has at most 32 exponents, of which at most 31 give two lines;
// with the r = 0 exponent and the band remainder that is 64 lines.
constexpr int MAX_CUT_LINES = 64;

// Word-count thresholds of exponent n for k: from L(n) on p has two words
// more than the band number, from U(n) on three (2^64-1 stands in for 2^64
// at the bottom of a band), and M(n) is U(n+1) within a band.
uint64_t LowerWordThreshold(uint32_t n);
uint64_t UpperWordThreshold(uint32_t n);
uint64_t HalfWordThreshold(uint32_t n);

// Odd multipliers of one exponent that a cut leaves to no line: those under
// L(n) (p too short for the band's kernels) or, in the top band, those from
// U(n) on (p too long for its one kernel).
struct LeftOutMultipliers {
    uint32_t n;
    uint64_t count;  // odd k of the line's range
    uint64_t bound;  // L(n), or U(n) when tooLong
    bool tooLong;
};

// At most one record per end of each of a band piece's 32 exponents.
constexpr int MAX_LEFT_OUT = 64;

// Fills lines with the lines that take the place of line in the assignment
// file, in file order, and returns their number; 0 when the line needs no cut
// and the file is to stay untouched. When leftOut is given, it receives in
// ascending n what the cut leaves out and *leftOutCount their number.
int CutAssignmentLine(const AssignmentLine& line, AssignmentLine lines[MAX_CUT_LINES],
                      LeftOutMultipliers* leftOut = nullptr, int* leftOutCount = nullptr);

// The record of the run log and standard output for what a cut leaves out at
// one exponent, newline included; returns its length.
int FormatLeftOut(const LeftOutMultipliers& record, char* buffer, size_t size);

// Writes line in the assignment file's format, newline included, into buffer
// and returns its length.
int FormatAssignmentLine(const AssignmentLine& line, char* buffer, size_t size);
