// What quilbrex does differently when a BOINC client runs it. Every BOINC call
// of the program is made here; in a build without BOINC each function does
// nothing or hands its argument back, so the program behaves as if it were not
// called at all.
#pragma once

#include <cstdint>

#include "workfiles/range_split.h"

#ifdef QUILBREX_BOINC
constexpr bool BOINC_BUILD = true;
#else
constexpr bool BOINC_BUILD = false;
#endif

// The workunit's original line, kept beside the work files so that progress is
// measured against it after the program has cut it and across restarts.
constexpr const char* WORKUNIT_LINE_FILE = "quilbrex_workunit.txt";

// Starts the BOINC runtime: standard output joins standard error (the client
// discards standard output), factors.txt is created when missing, the
// workunit's line is remembered, and the device is chosen: --device N from the
// command line, else gpu_device_num from the init data, else 0.
void BoincStart(int argc, char** argv);

// The device the program is to use (0 without BOINC).
int BoincDevice();

// The name under which a work file is opened: BOINC's resolution of a logical
// name (following <soft_link> files); the name itself without BOINC.
const char* BoincFileName(const char* name);

// Whether a checkpoint is to be written now. Without BOINC the program's own
// clock decides (ownClockSaysDue); under BOINC the volunteer's period does, and
// the answer stays yes until BoincCheckpointWritten.
bool BoincCheckpointDue(bool ownClockSaysDue);
// Tells the client that the position on disk is complete and current.
void BoincCheckpointWritten();

// Work-file rewrites between these two are never cut short by the client.
void BoincBeginCriticalSection();
void BoincEndCriticalSection();

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
// After a failed runtime call: a busy or failing device asks the client to
// restart the task later; anything else finishes with status 255. Returns
// only without BOINC.
void BoincLeaveAfterRuntimeError(int error, const char* text);
// A fatal condition that a later start may get past (a record or a line that
// cannot be written now): asks the client to restart the task in five
// minutes, which also releases the slot's lock. Returns only without BOINC.
void BoincLeaveTemporarily(const char* reason);
