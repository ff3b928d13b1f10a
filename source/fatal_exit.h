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
