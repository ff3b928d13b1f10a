// The BOINC adapter: start, file names, checkpoint timing, critical sections, progress and the end, over BOINC's application library or, without it, nothing.
#include "boinc/boinc_adapter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quilbrex.h"

#ifdef QUILBREX_BOINC
#include <unistd.h>

#include <map>
#include <string>

#include "app_ipc.h"
#include "boinc_api.h"
#include "workfiles/assignment.h"
#include "workfiles/atomic_file.h"
#include "workfiles/durable_file.h"
#endif

double WorkOfLine(const AssignmentLine& line) {
    uint64_t first = line.kStart | 1;
    if (first > line.kEnd || line.nStart > line.nEnd) return 0;
    return (static_cast<double>((line.kEnd - first) / 2) + 1) * (line.nEnd - line.nStart + 1);
}

double FractionDone(const AssignmentLine& original, double left) {
    double total = WorkOfLine(original);
    if (total <= 0) return 0;
    double fraction = 1 - left / total;
    return fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
}

bool ParseWorkLine(const char* text, AssignmentLine* line) {
    unsigned n1, n2;
    unsigned long long k1, k2;
    if (sscanf(text, "FermatFactor=%u,%u,%llu,%llu", &n1, &n2, &k1, &k2) != 4) return false;
    *line = AssignmentLine{n1, n2, k1, k2};
    return true;
}

#ifndef QUILBREX_BOINC

void BoincStart(int, char**) {}
int BoincDevice() { return 0; }
const char* BoincFileName(const char* name) { return name; }
bool BoincCheckpointDue(bool ownClockSaysDue) { return ownClockSaysDue; }
void BoincCheckpointWritten() {}
void BoincBeginCriticalSection() {}
void BoincEndCriticalSection() {}
void BoincLineLoaded(const char*) {}
void BoincReportProgress(uint64_t) {}
int BoincFinish(int status) { return status; }
void BoincLeaveAfterRuntimeError(int, const char*) {}
void BoincLeaveTemporarily(const char*) {}

#else

namespace {

bool active = false;
int device = 0;
bool checkpointPending = false;
AssignmentLine original = {0, 0, 0, 0};
double laterWork = 0;

// How long the client waits before restarting a task whose device failed.
const int TEMPORARY_EXIT_SECONDS = 300;

// Runtime errors after which the same device may well work later: out of
// memory (another program holds it), not initialisable, busy or unavailable,
// no device, ECC error, illegal address, out of resources, time-out, launch
// failure, unknown. Numbers, not names: the host stand-in lacks most of them.
const int TRANSIENT_ERRORS[] = {2, 3, 46, 100, 214, 700, 701, 702, 719, 999};

bool readFirstLine(const char* path, char* text, size_t size) {
    FILE* file = fopen(path, "r");
    if (!file) return false;
    bool read = fgets(text, static_cast<int>(size), file) != nullptr;
    fclose(file);
    return read;
}

// The first start of a task keeps worktodo.txt's first line; later starts
// read it back, whatever the program has cut since.
void rememberWorkunitLine() {
    char text[100];
    if (!readFirstLine(WORKUNIT_LINE_FILE, text, sizeof text)) {
        if (!readFirstLine(BoincFileName("worktodo.txt"), text, sizeof text)) return;
        ReplaceFileContents(WORKUNIT_LINE_FILE, text, strlen(text));
    }
    ParseWorkLine(text, &original);
}

// Whether the run log ends with a range's closing row of dashes.
bool runLogComplete() {
    static const char DASHES[] = "--------------------------------------------------------------------------------\n";
    const long length = sizeof DASHES - 1;
    FILE* file = fopen(BoincFileName(RESULTS_FILE), "r");
    if (!file) return false;
    char tail[sizeof DASHES] = {0};
    bool complete = fseek(file, -length, SEEK_END) == 0 && fread(tail, 1, length, file) == static_cast<size_t>(length) &&
                    strcmp(tail, DASHES) == 0;
    fclose(file);
    return complete;
}

}  // namespace

void BoincStart(int argc, char** argv) {
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

    // A result without factors still hands back an (empty) factors.txt, on
    // disk by its physical name. One that cannot be made stops the first
    // factor's record, which asks the client to retry later.
    std::string reason;
    AppendDurably(FACTORS_FILE, "", &reason);
    rememberWorkunitLine();
}

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

void BoincLineLoaded(const char* worktodoPath) {
    if (!active) return;
    laterWork = 0;
    FILE* file = fopen(BoincFileName(worktodoPath), "r");
    if (!file) return;
    char text[100];
    AssignmentLine line;
    for (bool first = true; fgets(text, sizeof text, file); first = false)
        if (!first && ParseWorkLine(text, &line)) laterWork += WorkOfLine(line);
    fclose(file);
}

void BoincReportProgress(uint64_t oddKLeft) {
    if (!active) return;
    AssignmentLine rest = {nCurrent + 1, nEnd, kStart, kEnd};
    double left = static_cast<double>(oddKLeft) + (nCurrent < nEnd ? WorkOfLine(rest) : 0) + laterWork;
    boinc_fraction_done(FractionDone(original, left));
}

int BoincFinish(int status) {
    if (!active) return status;
    if (status == ASSIGNMENT_FILE_NOW_EMPTY) boinc_finish(0);
    // A restart after the line was finished and removed, before the client
    // heard of it: the run log still proves the work done, once it is on disk.
    std::string reason;
    if (status == ASSIGNMENT_EMPTY_FILE && runLogComplete() && FlushExisting(RESULTS_FILE, &reason)) boinc_finish(0);
    boinc_finish(status < 0 ? 255 : status);
    return status;
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
