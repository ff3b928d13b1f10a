// quilbrex: searches for factors of Fermat numbers. All work comes from
// worktodo.txt in the working directory; there are no arguments (any prints
// a usage), except that the BOINC build takes what a BOINC client passes.
#include "boinc/boinc_adapter.h"
#include "driver/startup.h"
#include "workunit/boinc_workunit.h"

int main(int argc, char** argv) {
    if (!BOINC_BUILD) RefuseArguments(argc);
    BoincStart(argc, argv);
    return BoincFinish(quilbrexMain());
}
