// quilbrex: searches for factors of Fermat numbers. All work comes from
// worktodo.txt in the working directory; there are no arguments, except that
// the BOINC build takes the device a BOINC client passes as --device N.
#include "driver/startup.h"
#include "workunit/boinc_workunit.h"

int main(int argc, char** argv) {
    BoincStart(argc, argv);
    return BoincFinish(quilbrexMain());
}
