// Delete_Assignment_Line: removes the first line of the assignment file, then the checkpoint file, each change flushed to disk.
#include "workfiles/line_removal.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include "fatal_exit.h"
#include "workfiles/assignment_result.h"
#include "workfiles/atomic_file.h"
#include "workfiles/checkpoint.h"
#include "workfiles/durable_file.h"
#include "workfiles/first_line.h"
#include "workfiles/work_file_names.h"

namespace {

// Working on with the line still in place would repeat it, or skip the next one.
[[noreturn]] void StopUnchanged(const char* path) {
    fprintf(stderr, "\nCan't remove the first line of %s; stopping with the file unchanged.\n", path);
    FatalExitRetryLater(1, "worktodo.txt cannot be rewritten");
}

// The new content is in place but its folder entry may not be on disk: a
// power cut may bring the line back, which the checkpoint of a finished line
// (kept until now) tells apart.
[[noreturn]] void StopChanged(const char* path) {
    fprintf(stderr,
            "\nRemoved the first line of %s, but the change may not be on disk; stopping. The next start goes on "
            "from whichever content the disk holds.\n",
            path);
    FatalExitRetryLater(1, "worktodo.txt cannot be flushed");
}

// A blank line or one that is no assignment never had a checkpoint: one that
// names its line belongs to a line below it and keeps that line's progress.
bool NeverWorked(const char* text) {
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    return *text == '\0' || strncmp(text, "FermatFactor=", 13) != 0;
}

}  // namespace

void RemoveLeftoverCheckpoint() {
    std::string reason;
    if (RemoveDurably(CHECKPOINT_FILE, &reason)) return;
    fprintf(stderr, "\nCan't remove the checkpoint file %s of a finished line: %s. Stopping.\n", CHECKPOINT_FILE,
            reason.c_str());
    FatalExitRetryLater(1, "the checkpoint file cannot be removed");
}

int Delete_Assignment_Line(const char* path) {
    FirstLine first = ReadFirstLine(path);
    FILE* file = first.file;
    // A line longer than the reader's buffer goes whole, in one rewrite:
    // taking it 99 characters at a time would rewrite the file once per piece.
    long lineEnd = first.lineLength;
    if (lineEnd > 0 && first.text[lineEnd - 1] != '\n') {
        int c;
        while ((c = getc(file)) != EOF && c != '\n') {
        }
        lineEnd = ftell(file);
    }
    long restLength = first.fileLength - lineEnd;

    std::vector<char> rest;
    if (restLength > 0) {
        rest.resize(static_cast<size_t>(restLength));
        if (fread(rest.data(), 1, rest.size(), file) != rest.size()) {
            fclose(file);
            StopUnchanged(path);
        }
    }
    fclose(file);

    const bool keepCheckpoint = !rest.empty() && NeverWorked(first.text) && CheckpointNamesItsLine();
    bool changed = false;
    if (!ReplaceFileContents(path, rest.data(), rest.size(), REWRITE_IN_PLACE_IF_NEEDED, &changed)) {
        if (changed) StopChanged(path);
        StopUnchanged(path);
    }
    if (keepCheckpoint) return ASSIGNMENT_OK;
    // Only now: a stop before this point must find the checkpoint with the
    // line it belongs to. One left behind names the removed line, so the
    // next line never resumes from it; and its removal is flushed, so that
    // no power cut brings it back for the same line queued again later.
    RemoveLeftoverCheckpoint();
    return rest.empty() ? ASSIGNMENT_FILE_NOW_EMPTY : ASSIGNMENT_OK;
}
