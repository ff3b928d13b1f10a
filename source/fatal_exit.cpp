// FatalExit: flush what was printed, then end the process at once.
#include "fatal_exit.h"

#include <unistd.h>

#include <cstdio>

void FatalExit(int status) {
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}
