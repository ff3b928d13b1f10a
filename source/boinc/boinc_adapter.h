// The BOINC platform: every call into BOINC's application library is made
// here, and it knows nothing of the program's work files. In a build without
// BOINC each function does nothing or hands its argument back, so the program
// behaves as if it were not called at all.
#pragma once

#ifdef QUILBREX_BOINC
constexpr bool BOINC_BUILD = true;
#else
constexpr bool BOINC_BUILD = false;
#endif

// Starts the BOINC runtime: standard output joins standard error (the client
// discards standard output), and the device is chosen: --device N from the
// command line, else gpu_device_num from the init data, else 0.
void BoincInitialize(int argc, char** argv);
// Whether BoincInitialize has started the runtime (never without BOINC).
bool BoincActive();

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

// Tells the client the fraction of the workunit done, from 0 to 1.
void BoincReportFraction(double fraction);

// Ends the task with the client's exit code (0: success). Returns only
// without BOINC.
void BoincFinishWith(int code);
// After a failed runtime call: a busy or failing device asks the client to
// restart the task later; anything else finishes with status 255. Returns
// only without BOINC.
void BoincLeaveAfterRuntimeError(int error, const char* text);
// A fatal condition that a later start may get past (a record or a line that
// cannot be written now): asks the client to restart the task in five
// minutes, which also releases the slot's lock. Returns only without BOINC.
void BoincLeaveTemporarily(const char* reason);
