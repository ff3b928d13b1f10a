// The one way a fatal condition ends the process: what was printed reaches
// its stream, and nothing else runs.
#pragma once

// Flushes standard output and standard error and ends the process with
// status at once. Files stay as they are, so the next start meets the same
// assignment line and checkpoint; the folder lock goes with the process.
// Destructors and exit handlers are skipped on purpose: the host device's
// launch threads may still be running, and tearing down what they use would
// turn a clean refusal into a crash. Under BOINC the task fails at once with
// status (boinc_finish), so that the client reports it instead of retrying.
[[noreturn]] void FatalExit(int status);

// The error (errno) of the last work-file operation that failed, 0 when none
// is known; the work files set it where they fail.
extern int workFileError;

// The same for a file that cannot be written, read or flushed now. Under
// BOINC a condition that may pass by itself (workFileError a full disk, an
// I/O error, a lack of memory or descriptors, or not known) asks the client
// to restart the task later, for reason; any other (a folder in a file's
// place, no permission) fails the task at once, as FatalExit does.
[[noreturn]] void FatalExitRetryLater(int status, const char* reason);
