// The checkpoint file quilbrex.cpt: CheckPoint and WriteCheckpointFile write it, ResumeAssignment reads it back when a line starts.
#include "workfiles/checkpoint.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "boinc/boinc_adapter.h"
#include "quilbrex.h"
#include "workfiles/assignment.h"
#include "workfiles/atomic_file.h"
#include "workfiles/run_log.h"

namespace {

// A value beyond 32 bits must not wrap into the line's range; saturating
// keeps it out of every range instead.
uint32_t ConvertSaturated32(const char* text) {
    unsigned long value = strtoul(text, nullptr, 0);
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

// Keys are eight characters followed by '='; anything else is not ours.
bool HasKey(const char* line, const char* key) { return strncmp(line, key, 8) == 0 && line[8] == '='; }

void ReadCheckpointValues(FILE* file) {
    char line[100];
    while (fgets(line, sizeof line, file)) {
        const char* value = line + 9;
        if (HasKey(line, "nCurrent"))
            nCurrent = ConvertSaturated32(value);
        else if (HasKey(line, "kCurrent"))
            kCurrent = strtoull(value, nullptr, 0);
        else if (HasKey(line, "kTested "))
            kTested = strtoull(value, nullptr, 0);
        else if (HasKey(line, "seconds "))
            seconds = strtod(value, nullptr);
        else if (HasKey(line, "factors "))
            foundFactors = ConvertSaturated32(value);
    }
}

}  // namespace

bool WriteCheckpointFile(uint32_t n, uint64_t k, uint64_t tested, double secs, uint32_t factors) {
    const char* format = "nCurrent=%u\nkCurrent=%llu\nkTested =%llu\nseconds =%.2f\nfactors =%u\n";
    unsigned long long kValue = k, testedValue = tested;
    int length = snprintf(nullptr, 0, format, n, kValue, testedValue, secs, factors);
    std::vector<char> text(static_cast<size_t>(length) + 1);
    snprintf(text.data(), text.size(), format, n, kValue, testedValue, secs, factors);
    BoincBeginCriticalSection();
    bool written = ReplaceFileContents(CHECKPOINT_FILE, text.data(), static_cast<size_t>(length));
    if (written) BoincCheckpointWritten();
    BoincEndCriticalSection();
    return written;
}

void CheckPoint(uint64_t k) {
    // The work loop adds only the time after the last checkpoint, so each
    // second of an exponent is counted once.
    time_t now = clockNow();
    endTime = static_cast<double>(now);
    double elapsed = difftime(now, static_cast<time_t>(startTime));
    seconds += elapsed;
    startTime = endTime;

    double distance = static_cast<double>(k - kStart);
    testedRate = distance / seconds;
    double percent = 100.0 * distance / static_cast<double>(rangeK);

    // A checkpoint that cannot be written is reported and skipped; the search is worth more.
    WriteCheckpointFile(nCurrent, k, kTested, seconds, foundFactors);

    printf("\nn=%u: k to %llu (%5.2f%% complete): rate=%.0f/sec", nCurrent, static_cast<unsigned long long>(k),
           percent, testedRate);
    fflush(stdout);
}

int ResumeAssignment() {
    if (kStart % 2 == 0) ++kStart;

    FILE* file = fopen(BoincFileName(CHECKPOINT_FILE), "r");
    if (file) {
        ReadCheckpointValues(file);
        fclose(file);
        if (nCurrent < nStart || nCurrent > nEnd) {
            printf("\nThe current value for n (nCurrent) is outside of the range of n.\n");
            return ASSIGNMENT_OBSOLETE_CHECKPOINT;
        }
        if (kCurrent < kStart || kCurrent > kEnd) {
            printf("\nThe current value for k (kCurrent) is outside of the range of k.\n");
            return ASSIGNMENT_OBSOLETE_CHECKPOINT;
        }
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
