// The checkpoint file quilbrex.cpt: when it is written (CheckpointIfDue), what it holds (WriteCheckpointFile), and how ResumeAssignment reads it back when a line starts.
#include "workfiles/checkpoint.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boinc/boinc_adapter.h"
#include "quilbrex.h"
#include "workfiles/assignment_result.h"
#include "workfiles/atomic_file.h"
#include "workfiles/proof_log.h"
#include "workfiles/regular_file.h"
#include "workfiles/run_log.h"
#include "workfiles/work_file_names.h"

namespace {

// When the checkpoint was last written, or the line's search began.
double checkpointClock;
// When the last batch of the exponent was done (or its search began): a stop
// abandons the batch under way, and its time is not the exponent's.
double batchBoundary;

const char LINE_FORMAT[] = "FermatFactor=%u,%u,%llu,%llu";

// The line being worked as the checkpoint names it: kStart as made odd.
std::string WorkedLine() {
    char text[100];
    snprintf(text, sizeof text, LINE_FORMAT, nStart, nEnd, static_cast<unsigned long long>(kStart),
             static_cast<unsigned long long>(kEnd));
    return text;
}

// The assignment file's size in bytes, or -1 when it cannot be measured.
// Checkpoints of lines searched through once recorded it; they are still read.
long long WorktodoSize() {
    struct stat status;
    return stat(BoincFileName(WORKTODO_FILE), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

// The whole assignment file, false when it cannot be read.
bool ReadWorktodo(std::string* content) {
    bool notRegular = false;
    FILE* file = OpenRegularFile(WORKTODO_FILE, &notRegular);
    if (!file) return false;
    content->clear();
    char buffer[16384];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) content->append(buffer, got);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

// A digest of a file's content (64-bit FNV-1a, 16 hexadecimal digits): the
// checkpoint of a line searched through records the assignment file's digest
// before and after the line's removal, so that the next start tells which of
// the two it finds, or an edit, whatever the sizes.
std::string ContentDigest(const std::string& content) {
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : content) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// The file as the removal of its first line leaves it: everything after the
// first newline.
std::string WithoutFirstLine(const std::string& content) {
    size_t newline = content.find('\n');
    return newline == std::string::npos ? std::string() : content.substr(newline + 1);
}

bool IsDigest(const char* text) {
    size_t length = strcspn(text, "\r\n");
    if (length != 16) return false;
    for (size_t i = 0; i < length; ++i)
        if (!isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

struct FinishedLineKeys {
    long long worktodoSize = -1;
    std::string before, after;  // digests of worktodo.txt around the removal
};

// Keys are eight characters followed by '='; anything else is not ours.
bool HasKey(const char* line, const char* key) { return strncmp(line, key, 8) == 0 && line[8] == '='; }

// A value read as the program writes it: a whole number (decimal, 0x
// hexadecimal or 0 octal) within limit, or for seconds a finite number not
// below 0; only white space may follow. Anything else would wrap or poison a
// count, so the reader refuses it.
bool ConvertWhole(const char* text, uint64_t limit, uint64_t* value) {
    const char* start = text;
    while (isspace(static_cast<unsigned char>(*start))) ++start;
    if (*start == '-' || *start == '+') return false;
    char* stop;
    errno = 0;
    unsigned long long converted = strtoull(start, &stop, 0);
    if (stop == start || errno == ERANGE || converted > limit) return false;
    while (isspace(static_cast<unsigned char>(*stop))) ++stop;
    if (*stop != '\0') return false;
    *value = converted;
    return true;
}

bool ConvertSeconds(const char* text, double* value) {
    char* stop;
    double converted = strtod(text, &stop);
    if (stop == text || !std::isfinite(converted) || converted < 0) return false;
    while (isspace(static_cast<unsigned char>(*stop))) ++stop;
    if (*stop != '\0') return false;
    *value = converted;
    return true;
}

// Fills the resume state from the file; *line gets the line it names, if
// any, and *corrupt the first field whose value cannot be taken.
void ReadCheckpointValues(FILE* file, std::string* line, bool* named, FinishedLineKeys* finished,
                          const char** corrupt) {
    char text[100];
    while (fgets(text, sizeof text, file)) {
        const char* value = text + 9;
        uint64_t whole = 0;
        const char* field = nullptr;  // set when the value cannot be taken
        if (HasKey(text, "nCurrent")) {
            if (ConvertWhole(value, UINT32_MAX, &whole)) nCurrent = static_cast<uint32_t>(whole);
            else field = "nCurrent";
        } else if (HasKey(text, "kCurrent")) {
            if (ConvertWhole(value, UINT64_MAX, &whole)) kCurrent = whole;
            else field = "kCurrent";
        } else if (HasKey(text, "kTested ")) {
            if (ConvertWhole(value, UINT64_MAX, &whole)) kTested = whole;
            else field = "kTested";
        } else if (HasKey(text, "seconds ")) {
            if (!ConvertSeconds(value, &seconds)) field = "seconds";
        } else if (HasKey(text, "factors ")) {
            if (ConvertWhole(value, UINT32_MAX, &whole)) foundFactors = static_cast<uint32_t>(whole);
            else field = "factors";
        } else if (HasKey(text, "line    ")) {
            *named = true;
            *line = std::string(value, strcspn(value, "\r\n"));
        } else if (HasKey(text, "worktodo")) {
            if (ConvertWhole(value, INT64_MAX, &whole)) finished->worktodoSize = static_cast<long long>(whole);
            else field = "worktodo";
        } else if (HasKey(text, "before  ")) {
            if (IsDigest(value)) finished->before.assign(value, 16);
            else field = "before";
        } else if (HasKey(text, "after   ")) {
            if (IsDigest(value)) finished->after.assign(value, 16);
            else field = "after";
        }
        if (field && !*corrupt) *corrupt = field;
    }
}

// A checkpoint resumes only where it cannot skip a candidate: on its own
// line, at an exponent of the line and at an odd k of the line.
int JudgeCheckpoint(bool named, const std::string& line, const FinishedLineKeys& finished) {
    // A checkpoint left behind by a stop between a line's removal and its
    // own belongs to the removed line, never to this one.
    if (named && line != WorkedLine()) return ASSIGNMENT_OBSOLETE_CHECKPOINT;
    // Every exponent searched and summarised; only the line's end record and
    // its removal may be missing. The file as it was before the removal: the
    // removal is still to do. As it was to be after: done, and the line first
    // now is another copy, which starts afresh. Anything else is an edit
    // made while stopped: the line is searched again, which repeats work but
    // skips none.
    if (named && nCurrent == nEnd + 1 && kCurrent == kStart) {
        if (!finished.before.empty() && !finished.after.empty()) {
            std::string content;
            const std::string now = ReadWorktodo(&content) ? ContentDigest(content) : "";
            if (now == finished.before) return ASSIGNMENT_OK;
            if (now != finished.after)
                printf("\nThe assignment file was edited after its first line was searched through; that line is "
                       "searched again rather than taken for done.\n");
            return ASSIGNMENT_OBSOLETE_CHECKPOINT;
        }
        if (finished.worktodoSize >= 0 && finished.worktodoSize != WorktodoSize()) return ASSIGNMENT_OBSOLETE_CHECKPOINT;
        return ASSIGNMENT_OK;
    }
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

void FormatStartRecord(char* text, size_t size) {
    snprintf(text, size, "Starting range: n=%d-%d and k=%llu-%llu\n", static_cast<int>(nStart), static_cast<int>(nEnd),
             static_cast<unsigned long long>(kStart), static_cast<unsigned long long>(kEnd));
}

void StartCheckpointClock() { checkpointClock = monotonicNow(); }

void StartSearchTime() { batchBoundary = startTime = monotonicNow(); }

void AccountSearchTime() {
    endTime = monotonicNow();
    seconds += endTime - startTime;
    startTime = endTime;
}

bool CheckpointIfDue(uint64_t k, CheckpointEvent event) {
    if (event == CHECKPOINT_BATCH_DONE || event == CHECKPOINT_FACTOR_FOUND) batchBoundary = monotonicNow();
    switch (event) {
        case CHECKPOINT_BATCH_DONE:
            if (!BoincCheckpointDue(monotonicNow() - checkpointClock > CHECKPOINT_INTERVAL_SECONDS)) return false;
            CheckPoint(k);
            break;
        case CHECKPOINT_FACTOR_FOUND:
            CheckPoint(k);
            break;
        case CHECKPOINT_STOP:
            if (batchBoundary > startTime) {
                seconds += batchBoundary - startTime;
                startTime = batchBoundary;
            }
            WriteCheckpointFile(nCurrent, k, kTested, seconds, foundFactors);
            break;
        case CHECKPOINT_EXPONENT_DONE:
            if (!WriteCheckpointFile(nCurrent, k, kTested, seconds, foundFactors)) return false;
            break;
    }
    checkpointClock = monotonicNow();
    return true;
}

bool WriteCheckpointFile(uint32_t n, uint64_t k, uint64_t tested, double secs, uint32_t factors) {
    // The proof k of the batches before k go to disk first: a checkpoint
    // past a batch whose proof k are lost would leave them out for good.
    FlushProofLog();
    const char* format = "nCurrent=%u\nkCurrent=%llu\nkTested =%llu\nseconds =%.2f\nfactors =%u\nline    =%s\n";
    unsigned long long kValue = k, testedValue = tested;
    std::string line = WorkedLine();
    int length = snprintf(nullptr, 0, format, n, kValue, testedValue, secs, factors, line.c_str());
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    snprintf(buffer.data(), buffer.size(), format, n, kValue, testedValue, secs, factors, line.c_str());
    std::string text(buffer.data(), static_cast<size_t>(length));
    std::string content;
    if (n == nEnd + 1 && k == kStart && ReadWorktodo(&content))
        text += "before  =" + ContentDigest(content) + "\nafter   =" + ContentDigest(WithoutFirstLine(content)) + "\n";
    BoincBeginCriticalSection();
    bool written = ReplaceFileContents(CHECKPOINT_FILE, text.data(), text.size());
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

bool CheckpointOfFinishedLine() {
    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(CHECKPOINT_FILE, &notRegular);
    if (!file) return false;
    unsigned n = 0, first = 0, last = 0;
    unsigned long long low = 0, high = 0;
    bool hasN = false, named = false;
    char text[100];
    while (fgets(text, sizeof text, file)) {
        if (HasKey(text, "nCurrent")) hasN = sscanf(text + 9, "%u", &n) == 1;
        if (HasKey(text, "line    "))
            named = sscanf(text + 9, "FermatFactor=%u,%u,%llu,%llu", &first, &last, &low, &high) == 4;
    }
    fclose(file);
    return hasN && named && n == last + 1;
}

bool CheckpointNamesItsLine() {
    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(CHECKPOINT_FILE, &notRegular);
    if (!file) return false;
    bool named = false;
    char text[100];
    while (fgets(text, sizeof text, file)) named = named || HasKey(text, "line    ");
    fclose(file);
    return named;
}

int ResumeAssignment() {
    if (kStart % 2 == 0) ++kStart;

    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(CHECKPOINT_FILE, &notRegular);
    if (file || notRegular) {
        std::string line;
        bool named = false;
        FinishedLineKeys finished;
        const char* corrupt = nullptr;
        if (file) {
            ReadCheckpointValues(file, &line, &named, &finished, &corrupt);
            fclose(file);
        }
        // Resuming from a wrapped or poisoned value would print a wrong count
        // or skip candidates; starting afresh would throw the position away.
        // The user decides.
        if (corrupt) {
            fflush(stdout);
            fprintf(stderr,
                    "\nThe checkpoint file %s is corrupt: the value of %s is not a number the program writes there. "
                    "Stopping without touching any file; correct or remove it to go on.\n",
                    CHECKPOINT_FILE, corrupt);
            return ASSIGNMENT_CORRUPT_CHECKPOINT;
        }
        int verdict = JudgeCheckpoint(named, line, finished);
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
        FormatStartRecord(record, sizeof record);
        LogLineStart(record);
    } else {
        printf("\nContinue range: n=%d-%d(%d) and k=%llu-%llu(%llu)\n", first, last, static_cast<int>(nCurrent),
               kFirst, kLast, static_cast<unsigned long long>(kCurrent));
    }
    return ASSIGNMENT_OK;
}
