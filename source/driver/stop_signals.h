// The stop signals (SIGINT, SIGTERM, SIGHUP): the first marks a stop that the
// search honours at its next batch boundary, a second ends the process at once.
#pragma once

// Installs the handlers; a received signal shows in stopSignal.
void InstallStopHandlers();

// Ends the process by the stop signal that was received (stopSignal), with
// its default action, so that the caller sees how the program ended.
[[noreturn]] void EndByStopSignal();
