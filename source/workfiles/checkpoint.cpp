// The checkpoint file quilbrex.cpt: when it is written (CheckpointIfDue), what it holds (WriteCheckpointFile), and how ResumeAssignment reads it back when a line starts.
#include "workfiles/checkpoint.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boinc/boinc_adapter.h"
#include "quilbrex.h"
#include "workfiles/assignment.h"
#include "workfiles/atomic_file.h"
#include "workfiles/regular_file.h"
#include "workfiles/run_log.h"

namespace {

// When the checkpoint was last written, or the line's search began.
double checkpointClock;

const char LINE_FORMAT[] = "FermatFactor=%u,%u,%llu,%llu";

// The line being worked as the checkpoint names it: kStart as made odd.
std::string WorkedLine() {
    char text[100];
    snprintf(text, sizeof text, LINE_FORMAT, nStart, nEnd, static_cast<unsigned long long>(kStart),
             static_cast<unsigned long long>(kEnd));
    return text;
}

// A value beyond 32 bits must not wrap into the line's range; saturating
// keeps it out of every range instead.
uint32_t ConvertSaturated32(const char* text) {
    unsigned long value = strtoul(text, nullptr, 0);
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// Keys are eight characters followed by '='; anything else is not ours.
bool HasKey(const char* line, const char* key) { return strncmp(line, key, 8) == 0 && line[8] == '='; }

// Fills the resume state from the file; *line gets the line it names, if any.
void ReadCheckpointValues(FILE* file, std::string* line, bool* named) {
    char text[100];
    while (fgets(text, sizeof text, file)) {
        const char* value = text + 9;
        if (HasKey(text, "nCurrent"))
            nCurrent = ConvertSaturated32(value);
        else if (HasKey(text, "kCurrent"))
            kCurrent = strtoull(value, nullptr, 0);
        else if (HasKey(text, "kTested "))
            kTested = strtoull(value, nullptr, 0);
        else if (HasKey(text, "seconds "))
            seconds = strtod(value, nullptr);
        else if (HasKey(text, "factors "))
            foundFactors = ConvertSaturated32(value);
        else if (HasKey(text, "line    ")) {
            *named = true;
            *line = std::string(value, strcspn(value, "\r\n"));
        }
    }
}

// A checkpoint resumes only where it cannot skip a candidate: on its own
// line, at an exponent of the line and at an odd k of the line.
int JudgeCheckpoint(bool named, const std::string& line) {
    // A checkpoint left behind by a stop between a line's removal and its
    // own belongs to the removed line, never to this one.
    if (named && line != WorkedLine()) return ASSIGNMENT_OBSOLETE_CHECKPOINT;
    // Every exponent searched and summarised; only the line's end record and
    // its removal may be missing.
    if (named && nCurrent == nEnd + 1 && kCurrent == kStart) return ASSIGNMENT_OK;
    if (nCurrent < nStart || nCurrent > nEnd) {
        printf("\nThe current value for n (nCurrent) is outside of the range of n.\n");
        return ASSIGNMENT_OBSOLETE_CHECKPOINT;
    }
    // Every k tested is odd; an even position means the odd k below it is
    // not yet known to be tested.
    if (kCurrent % 2 == 0 && kCurrent != 0) --kCurrent;
    if (kCurrent < kStart || kCurrent > kEnd) {
        printf("\nThe current value for k (kCurrent) is outside of the range of k.\n");
        return ASSIGNMENT_OBSOLETE_CHECKPOINT;
    }
    return ASSIGNMENT_OK;
}

void PrintProgress(uint64_t k) {
    double distance = static_cast<double>(k - kStart);
    testedRate = distance / seconds;
    double percent = 100.0 * distance / static_cast<double>(rangeK);
    printf("\nn=%u: k to %llu (%5.2f%% complete): rate=%.0f/sec", nCurrent, static_cast<unsigned long long>(k),
           percent, testedRate);
    fflush(stdout);
}

}  // namespace

void StartCheckpointClock() { checkpointClock = monotonicNow(); }

void StartSearchTime() { startTime = monotonicNow(); }

void AccountSearchTime() {
    endTime = monotonicNow();
    seconds += endTime - startTime;
    startTime = endTime;
}

bool CheckpointIfDue(uint64_t k, CheckpointEvent event) {
    switch (event) {
        case CHECKPOINT_BATCH_DONE:
            if (!BoincCheckpointDue(monotonicNow() - checkpointClock > CHECKPOINT_INTERVAL_SECONDS)) return false;
            CheckPoint(k);
            break;
        case CHECKPOINT_FACTOR_FOUND:
            CheckPoint(k);
            break;
        case CHECKPOINT_STOP:
            AccountSearchTime();
            WriteCheckpointFile(nCurrent, k, kTested, seconds, foundFactors);
            break;
        case CHECKPOINT_EXPONENT_DONE:
            WriteCheckpointFile(nCurrent, k, kTested, seconds, foundFactors);
            break;
    }
    checkpointClock = monotonicNow();
    return true;
}

bool WriteCheckpointFile(uint32_t n, uint64_t k, uint64_t tested, double secs, uint32_t factors) {
    const char* format = "nCurrent=%u\nkCurrent=%llu\nkTested =%llu\nseconds =%.2f\nfactors =%u\nline    =%s\n";
    unsigned long long kValue = k, testedValue = tested;
    std::string line = WorkedLine();
    int length = snprintf(nullptr, 0, format, n, kValue, testedValue, secs, factors, line.c_str());
    std::vector<char> text(static_cast<size_t>(length) + 1);
    snprintf(text.data(), text.size(), format, n, kValue, testedValue, secs, factors, line.c_str());
    BoincBeginCriticalSection();
    bool written = ReplaceFileContents(CHECKPOINT_FILE, text.data(), static_cast<size_t>(length));
    if (written) BoincCheckpointWritten();
    BoincEndCriticalSection();
    return written;
}

void CheckPoint(uint64_t k) {
    AccountSearchTime();
    // A checkpoint that cannot be written is reported and skipped; the search is worth more.
    WriteCheckpointFile(nCurrent, k, kTested, seconds, foundFactors);
    PrintProgress(k);
}

int ResumeAssignment() {
    if (kStart % 2 == 0) ++kStart;

    bool notRegular = false;
    FILE* file = OpenRegularFile(CHECKPOINT_FILE, &notRegular);
    if (file || notRegular) {
        std::string line;
        bool named = false;
        if (file) {
            ReadCheckpointValues(file, &line, &named);
            fclose(file);
        }
        int verdict = JudgeCheckpoint(named, line);
        if (verdict != ASSIGNMENT_OK) return verdict;
    } else {
        kTested = 0;
        seconds = 0;
        foundFactors = 0;
        nCurrent = nStart;
        kCurrent = kStart;
    }

    int first = static_cast<int>(nStart), last = static_cast<int>(nEnd);
    unsigned long long kFirst = kStart, kLast = kEnd;
    if (nCurrent == nStart && kCurrent == kStart) {
        printf("\nStarting range: n=%d-%d and k=%llu-%llu\n", first, last, kFirst, kLast);
        char record[100];
        snprintf(record, sizeof record, "Starting range: n=%d-%d and k=%llu-%llu\n", first, last, kFirst, kLast);
        AppendRecord(RESULTS_FILE, record, true);
    } else {
        printf("\nContinue range: n=%d-%d(%d) and k=%llu-%llu(%llu)\n", first, last, static_cast<int>(nCurrent),
               kFirst, kLast, static_cast<unsigned long long>(kCurrent));
    }
    return ASSIGNMENT_OK;
}
