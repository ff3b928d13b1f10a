// Delete_Assignment_Line: removes the first line (at most 99 characters) of the assignment file, then the checkpoint file.
#include "workfiles/line_removal.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "boinc/boinc_adapter.h"
#include "fatal_exit.h"
#include "workfiles/assignment.h"
#include "workfiles/atomic_file.h"
#include "workfiles/first_line.h"

namespace {

// Working on with the line still in place would repeat it, or skip the next one.
[[noreturn]] void StopUnchanged(const char* path) {
    fprintf(stderr, "\nCan't remove the first line of %s; stopping with the file unchanged.\n", path);
    FatalExit(1);
}

}  // namespace

int Delete_Assignment_Line(const char* path) {
    FirstLine first = ReadFirstLine(path);
    FILE* file = first.file;
    long restLength = first.fileLength - first.lineLength;

    std::vector<char> rest;
    if (restLength > 0) {
        rest.resize(static_cast<size_t>(restLength));
        if (fread(rest.data(), 1, rest.size(), file) != rest.size()) {
            fclose(file);
            StopUnchanged(path);
        }
    }
    fclose(file);

    if (!ReplaceFileContents(path, rest.data(), rest.size(), REWRITE_IN_PLACE_IF_NEEDED)) StopUnchanged(path);
    // Only now: a stop before this point must find the checkpoint with the
    // line it belongs to. One left behind names the removed line, so the
    // next line never resumes from it.
    remove(BoincFileName(CHECKPOINT_FILE));
    return rest.empty() ? ASSIGNMENT_FILE_NOW_EMPTY : ASSIGNMENT_OK;
}
