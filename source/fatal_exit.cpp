// FatalExit: flush what was printed, then end the process at once (under BOINC, through the client: a failure, or a restart later for a condition that may pass).
#include "fatal_exit.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "boinc/boinc_adapter.h"

int workFileError = 0;

namespace {

bool MayPassByItself(int error) {
    switch (error) {
        case 0:
        case ENOSPC:
        case EDQUOT:
        case EIO:
        case ENOMEM:
        case EAGAIN:
        case EBUSY:
        case EINTR:
        case ENFILE:
        case EMFILE:
        case ENOLCK:
        case ETXTBSY:
            return true;
        default:
            return false;
    }
}

}  // namespace

void FatalExit(int status) {
    fflush(stdout);
    fflush(stderr);
    BoincFinishWith(status);
    _exit(status);
}

void FatalExitRetryLater(int status, const char* reason) {
    fflush(stdout);
    fflush(stderr);
    if (MayPassByItself(workFileError)) BoincLeaveTemporarily(reason);
    BoincFinishWith(status);
    _exit(status);
}
