// The BOINC workunit: the remembered original line, progress against it, and the final status mapped for the client.
#include "workunit/boinc_workunit.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "boinc/boinc_adapter.h"
#include "quilbrex.h"
#include "workfiles/assignment.h"
#include "workfiles/atomic_file.h"
#include "workfiles/durable_file.h"

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
void BoincLineLoaded(const char*) {}
void BoincReportProgress(uint64_t) {}
int BoincFinish(int status) { return status; }

#else

namespace {

AssignmentLine original = {0, 0, 0, 0};
double laterWork = 0;

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
    BoincInitialize(argc, argv);
    // A result without factors still hands back an (empty) factors.txt, on
    // disk by its physical name, and likewise proofs.txt. One that cannot be
    // made stops the first record, which asks the client to retry later.
    std::string reason;
    AppendDurably(FACTORS_FILE, "", &reason);
    AppendDurably(PROOFS_FILE, "", &reason);
    rememberWorkunitLine();
}

void BoincLineLoaded(const char* worktodoPath) {
    if (!BoincActive()) return;
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
    if (!BoincActive()) return;
    AssignmentLine rest = {nCurrent + 1, nEnd, kStart, kEnd};
    double left = static_cast<double>(oddKLeft) + (nCurrent < nEnd ? WorkOfLine(rest) : 0) + laterWork;
    BoincReportFraction(FractionDone(original, left));
}

int BoincFinish(int status) {
    if (!BoincActive()) return status;
    if (status == ASSIGNMENT_FILE_NOW_EMPTY) BoincFinishWith(0);
    // A restart after the line was finished and removed, before the client
    // heard of it: the run log still proves the work done, once it is on disk.
    std::string reason;
    if (status == ASSIGNMENT_EMPTY_FILE && runLogComplete() && FlushExisting(RESULTS_FILE, &reason)) BoincFinishWith(0);
    BoincFinishWith(status < 0 ? 255 : status);
    return status;
}

#endif
