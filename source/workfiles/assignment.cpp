// Read_Assignment_Line: validates the first line of the assignment file, cuts it where one kernel cannot serve it all, then resumes or starts it.
#include "workfiles/assignment.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fatal_exit.h"
#include "quilbrex.h"
#include "workfiles/atomic_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/first_line.h"
#include "workfiles/range_split.h"
#include "workfiles/run_log.h"

namespace {

const char PREFIX[] = "FermatFactor=";
const size_t PREFIX_LENGTH = sizeof PREFIX - 1;

// One value of the line. A field whose comma is missing has no text and
// reads as 0, like an empty field, so it fails the same check.
struct Field {
    uint64_t value;
    const char* end;   // where the conversion stopped; nullptr for a missing field
    bool outOfRange;   // negative, or too big for its type
};

Field ConvertField(const char* text, bool wide) {
    Field field = {0, nullptr, false};
    if (!text) return field;
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    char* stop;
    errno = 0;
    unsigned long long value = wide ? strtoull(text, &stop, 10) : strtoul(text, &stop, 10);
    // strtoul negates a minus sign silently, and a 32-bit value would wrap:
    // either way a huge or wrong number would pass for a valid one.
    bool negative = *text == '-' && stop != text;
    field.value = value;
    field.end = stop;
    field.outOfRange = errno == ERANGE || negative || (!wide && value > UINT32_MAX);
    return field;
}

// The text after the next comma, searched only within the line as read.
const char* NextFieldText(const Field& previous) {
    if (!previous.end) return nullptr;
    const char* comma = strchr(previous.end, ',');
    return comma ? comma + 1 : nullptr;
}

int ValidateAssignmentLine(const char* line) {
    const char* text = line;
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    if (*text == '\0') return ASSIGNMENT_BLANK_LINE;
    if (strncmp(text, PREFIX, PREFIX_LENGTH) != 0) return ASSIGNMENT_FOREIGN_LINE;

    Field first = ConvertField(text + PREFIX_LENGTH, false);
    Field last = ConvertField(NextFieldText(first), false);
    nStart = static_cast<uint32_t>(first.value);
    nEnd = static_cast<uint32_t>(last.value);
    if (first.outOfRange || last.outOfRange || first.value < 32 || last.value > 607) {
        printf("\nThe values of n must be in the range from nMin = 32 to nMax = 607.\n");
        return ASSIGNMENT_INVALID_LINE;
    }
    if (last.value < first.value) {
        printf("\nThe ending value for n (nEnd) was not set or less than the starting value of n (nStart).\n");
        return ASSIGNMENT_INVALID_LINE;
    }

    Field low = ConvertField(NextFieldText(last), true);
    Field high = ConvertField(NextFieldText(low), true);
    kStart = low.value;
    kEnd = high.value;
    if (low.outOfRange || high.outOfRange || low.value < 2) {
        printf("\nThe values of k must be in the range from kMin = 3 to kMax = 2^64-1.\n");
        return ASSIGNMENT_INVALID_LINE;
    }
    if (high.value < low.value || (high.value == low.value && low.value % 2 == 0)) {
        printf("\nThe ending value for k (kEnd) was not set or less than the starting value of k (kStart).\n");
        return ASSIGNMENT_INVALID_LINE;
    }
    return ASSIGNMENT_OK;
}

// Working the line as read after a failed rewrite would repeat or skip work
// on the next start, so the file stays as it was and the program stops.
[[noreturn]] void StopUnchanged(const char* path) {
    fprintf(stderr, "\nCan't write the cut assignment lines to %s; stopping with the file unchanged.\n", path);
    FatalExitRetryLater(1, "worktodo.txt cannot be rewritten");
}

void KeepLineAsRead(const char* text) {
    snprintf(assignmentLineText, sizeof assignmentLineText, "%s", text);
    size_t length = strlen(assignmentLineText);
    while (length > 0 && (assignmentLineText[length - 1] == '\n' || assignmentLineText[length - 1] == '\r'))
        assignmentLineText[--length] = '\0';
}

// The user asked for these k; the closing record of the range says nothing
// about them, so the cut says so once, where it leaves them out.
void logLeftOut(const LeftOutMultipliers* records, int count) {
    if (count == 0) return;
    std::string text;
    for (int i = 0; i < count; ++i) {
        char record[160];
        FormatLeftOut(records[i], record, sizeof record);
        text += record;
    }
    printf("\n%s", text.c_str());
    AppendRecord(RESULTS_FILE, text.c_str(), false);
}

// Replaces the first line by its cut lines, keeping the rest of the file
// byte for byte, and loads the first of them; closes file.
void CutFirstLine(FILE* file, long fileLength, long lineLength, const char* lineText, const char* path) {
    AssignmentLine lines[MAX_CUT_LINES];
    LeftOutMultipliers leftOut[MAX_LEFT_OUT];
    int leftOutCount = 0;
    AssignmentLine read = {nStart, nEnd, kStart, kEnd};
    int count = CutAssignmentLine(read, lines, leftOut, &leftOutCount);
    if (count == 0) {
        fclose(file);
        return;
    }

    std::vector<char> content;
    for (int i = 0; i < count; ++i) {
        char text[100];
        int length = FormatAssignmentLine(lines[i], text, sizeof text);
        content.insert(content.end(), text, text + length);
    }
    // A line that cuts into itself (an even first k it keeps, say) is left
    // alone: rewriting it at every start gains nothing.
    const bool same = content.size() == static_cast<size_t>(lineLength) &&
                      std::equal(content.begin(), content.end(), lineText);
    long restLength = same ? 0 : fileLength - lineLength;
    if (restLength > 0) {
        size_t cutLength = content.size();
        content.resize(cutLength + static_cast<size_t>(restLength));
        if (fread(content.data() + cutLength, 1, static_cast<size_t>(restLength), file) !=
            static_cast<size_t>(restLength)) {
            fclose(file);
            StopUnchanged(path);
        }
    }
    fclose(file);
    if (!same) {
        bool changed = false;
        if (!ReplaceFileContents(path, content.data(), content.size(), REWRITE_IN_PLACE_IF_NEEDED, &changed)) {
            // The cut lines are in place but may not last; cutting again gives the same.
            if (changed) {
                fprintf(stderr,
                        "\nWrote the cut assignment lines to %s, but the change may not be on disk; stopping. The "
                        "next start goes on from whichever content the disk holds.\n",
                        path);
                FatalExitRetryLater(1, "worktodo.txt cannot be flushed");
            }
            StopUnchanged(path);
        }
        // Only once the cut is made: a failed rewrite leaves every file as it
        // was, and the next start tells it then.
        logLeftOut(leftOut, leftOutCount);
    }

    nStart = lines[0].nStart;
    nEnd = lines[0].nEnd;
    kStart = lines[0].kStart;
    kEnd = lines[0].kEnd;
}

// A line that could not be removed once searched would be searched again on
// every start, so the file must be writable before the line starts: before
// its Starting range record too.
void EnsureLineCanBeRemoved(const char* path) {
    std::string why = WhyNotReplaceable(path, REWRITE_IN_PLACE_IF_NEEDED);
    if (why.empty()) return;
    fprintf(stderr, "\nCan't rewrite worktodo file %s: %s. Stopping before the search.\n", path, why.c_str());
    FatalExit(1);
}

// Foreign lines are removed one by one from a file that is evidently an
// assignment file. One with no assignment line at all and several others (a
// link to the wrong file, say) would be emptied line by line: it is refused,
// untouched. Reads the rest of file.
void RefuseUnlessAssignmentFile(FILE* file, const char* path) {
    int foreign = 1;  // the first line
    char* text = nullptr;
    size_t capacity = 0;
    bool assignment = false;
    while (!assignment && getline(&text, &capacity, file) >= 0) {
        const char* start = text;
        while (isspace(static_cast<unsigned char>(*start))) ++start;
        if (*start == '\0') continue;
        if (strncmp(start, PREFIX, PREFIX_LENGTH) == 0) assignment = true;
        else ++foreign;
    }
    free(text);
    if (assignment || foreign < 2) return;
    fclose(file);
    fprintf(stderr,
            "\nCan't use worktodo file %s: none of its lines begins with FermatFactor= and %d lines hold something "
            "else, so it is not taken for an assignment file and no line of it is removed.\n",
            path, foreign);
    FatalExit(1);
}

}  // namespace

int Read_Assignment_Line(const char* path) {
    nStart = nEnd = nCurrent = 0;
    kStart = kEnd = kCurrent = 0;

    FirstLine first = ReadFirstLine(path);
    KeepLineAsRead(first.read ? first.text : "");
    if (!first.read) {
        fclose(first.file);
        return ASSIGNMENT_EMPTY_FILE;
    }
    int result = ValidateAssignmentLine(first.text);
    if (result == ASSIGNMENT_FOREIGN_LINE) {
        // The first line's rest, when longer than the buffer, is no line of its own.
        if (first.lineLength > 0 && first.text[first.lineLength - 1] != '\n') {
            int c;
            while ((c = getc(first.file)) != EOF && c != '\n') {
            }
        }
        RefuseUnlessAssignmentFile(first.file, path);
    }
    if (result != ASSIGNMENT_OK) {
        fclose(first.file);
        return result;
    }
    CutFirstLine(first.file, first.fileLength, first.lineLength, first.text, path);
    EnsureLineCanBeRemoved(path);
    return ResumeAssignment();
}
