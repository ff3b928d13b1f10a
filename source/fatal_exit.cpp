// FatalExit: flush what was printed, then end the process at once (under BOINC, through the client for a condition that may pass).
#include "fatal_exit.h"

#include <unistd.h>

#include <cstdio>

#include "boinc/boinc_adapter.h"

void FatalExit(int status) {
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

void FatalExitRetryLater(int status, const char* reason) {
    fflush(stdout);
    fflush(stderr);
    BoincLeaveTemporarily(reason);
    _exit(status);
}
