// The BOINC platform: start, device, file names, checkpoint timing, critical sections, fraction done and the end, over BOINC's application library or, without it, nothing.
#include "boinc/boinc_adapter.h"

#ifdef QUILBREX_BOINC
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "app_ipc.h"
#include "boinc_api.h"
#include "version.h"
#endif

#ifndef QUILBREX_BOINC

void BoincInitialize(int, char**) {}
bool BoincActive() { return false; }
int BoincDevice() { return 0; }
const char* BoincFileName(const char* name) { return name; }
bool BoincCheckpointDue(bool ownClockSaysDue) { return ownClockSaysDue; }
void BoincCheckpointWritten() {}
void BoincBeginCriticalSection() {}
void BoincEndCriticalSection() {}
void BoincReportFraction(double) {}
void BoincFinishWith(int) {}
void BoincLeaveAfterRuntimeError(int, const char*) {}
void BoincLeaveTemporarily(const char*) {}

#else

// The project's update_versions reads the API version of an app version from
// this marker in its main program. BOINC's API library carries it too, but it
// ships as a library of its own, so the executable needs its own copy; without
// one the client takes the program for a pre-7.5 application.
extern "C" __attribute__((used)) const char quilbrexBoincApiVersion[] = "API_VERSION_" BOINC_VERSION_STRING;

namespace {

bool active = false;
int device = 0;
bool checkpointPending = false;

// How long the client waits before restarting a task whose device failed.
const int TEMPORARY_EXIT_SECONDS = 300;

// Runtime errors after which the same device may well work later: out of
// memory (another program holds it), not initialisable, busy or unavailable,
// no device, ECC error, illegal address, out of resources, time-out, launch
// failure, unknown. Numbers, not names: the host stand-in lacks most of them.
const int TRANSIENT_ERRORS[] = {2, 3, 46, 100, 214, 700, 701, 702, 719, 999};

}  // namespace

void BoincInitialize(int argc, char** argv) {
    int code = boinc_init();
    if (code != 0) {
        fprintf(stderr, "boinc_init failed with %d\n", code);
        exit(code);
    }
    active = true;
    // boinc_init has sent standard error to stderr.txt, which reaches the project.
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);

    APP_INIT_DATA initData;
    boinc_get_init_data(initData);
    if (initData.gpu_device_num >= 0) device = initData.gpu_device_num;
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], "--device") == 0) device = atoi(argv[i + 1]);
}

bool BoincActive() { return active; }

int BoincDevice() { return device; }

const char* BoincFileName(const char* name) {
    if (!active) return name;
    static std::map<std::string, std::string> resolved;
    auto found = resolved.find(name);
    if (found == resolved.end()) {
        std::string physical;
        if (boinc_resolve_filename_s(name, physical) != 0) physical = name;
        found = resolved.emplace(name, physical).first;
    }
    return found->second.c_str();
}

bool BoincCheckpointDue(bool ownClockSaysDue) {
    if (!active) return ownClockSaysDue;
    // A yes also opens a critical section, which the written checkpoint closes.
    if (!checkpointPending) checkpointPending = boinc_time_to_checkpoint() != 0;
    return checkpointPending;
}

void BoincCheckpointWritten() {
    if (!active) return;
    // A checkpoint the program chose to write itself (after a factor) is
    // reported too; completing one closes the section a yes opened.
    if (!checkpointPending) boinc_begin_critical_section();
    boinc_checkpoint_completed();
    checkpointPending = false;
}

void BoincBeginCriticalSection() {
    if (active) boinc_begin_critical_section();
}

void BoincEndCriticalSection() {
    if (active) boinc_end_critical_section();
}

void BoincReportFraction(double fraction) {
    if (active) boinc_fraction_done(fraction);
}

void BoincFinishWith(int code) {
    if (active) boinc_finish(code);
}

void BoincLeaveAfterRuntimeError(int error, const char* text) {
    if (!active) return;
    for (int transient : TRANSIENT_ERRORS) {
        if (error != transient) continue;
        char reason[200];
        snprintf(reason, sizeof reason, "GPU busy or failing (%s); the task will be restarted", text);
        boinc_temporary_exit(TEMPORARY_EXIT_SECONDS, reason);
    }
    boinc_finish(255);
}

void BoincLeaveTemporarily(const char* reason) {
    if (!active) return;
    boinc_temporary_exit(TEMPORARY_EXIT_SECONDS, reason);
}

#endif
