// The BOINC workunit: its original line remembered at the start, the fraction
// done measured against it, and the program's final status told to the
// client. Without BOINC each function does nothing or hands its argument back.
#pragma once

#include <cstdint>

#include "workfiles/range_split.h"

// The workunit's original line, kept beside the work files so that progress is
// measured against it after the program has cut it and across restarts.
constexpr const char* WORKUNIT_LINE_FILE = "quilbrex_workunit.txt";

// Starts the BOINC runtime (BoincInitialize), creates factors.txt and proofs.txt when missing
// and remembers the workunit's line.
void BoincStart(int argc, char** argv);

// A new line was loaded: notes how much work the lines after it in worktodo
// hold, for the progress of the workunit.
void BoincLineLoaded(const char* worktodoPath);
// Reports the fraction done of the workunit: the exponents of the current line
// after nCurrent, oddKLeft odd k of nCurrent and the later lines are what is left.
void BoincReportProgress(uint64_t oddKLeft);

// Work is counted in candidates: odd k of the k range times exponents. Lines
// cut from the original leave out the k too small for their band, so the
// fraction done jumps by their share at the cut; that work is indeed done.
double WorkOfLine(const AssignmentLine& line);
// 1 - left / the original line's work, kept within 0 to 1.
double FractionDone(const AssignmentLine& original, double left);
// Parses "FermatFactor=n1,n2,k1,k2"; false for anything else.
bool ParseWorkLine(const char* text, AssignmentLine* line);

// Ends the process for the program's final status: 6 (all work done) finishes
// with 0, and so does 1 (no assignment) when results.txt ends with a range's
// closing record (a restart after the end); any other status finishes with
// itself, -1 as 255. Without BOINC returns status.
int BoincFinish(int status);
