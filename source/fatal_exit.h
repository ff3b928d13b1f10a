// The one way a fatal condition ends the process: what was printed reaches
// its stream, and nothing else runs.
#pragma once

// Flushes standard output and standard error and ends the process with
// status at once. Files stay as they are, so the next start meets the same
// assignment line and checkpoint; the folder lock goes with the process.
// Destructors and exit handlers are skipped on purpose: the host device's
// launch threads may still be running, and tearing down what they use would
// turn a clean refusal into a crash.
[[noreturn]] void FatalExit(int status);

// The same for a condition a later start may well get past (a full disk, a
// file that cannot be written now): under BOINC the client is asked to
// restart the task later, for reason, instead of failing it for good.
[[noreturn]] void FatalExitRetryLater(int status, const char* reason);
