// Delete_Assignment_Line: removes the checkpoint file and the first line (at most 99 characters) of the assignment file.
#include "workfiles/line_removal.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "workfiles/assignment.h"
#include "workfiles/atomic_file.h"

namespace {

// Working on with the line still in place would repeat it, or skip the next one.
[[noreturn]] void StopUnchanged(const char* path) {
    fprintf(stderr, "\nCan't remove the first line of %s; stopping with the file unchanged.\n", path);
    exit(1);
}

}  // namespace

int Delete_Assignment_Line(const char* path) {
    remove(CHECKPOINT_FILE);

    FILE* file = fopen(path, "r");
    if (!file) {
        perror("\nCan't open worktodo file");
        exit(1);
    }
    fseek(file, 0, SEEK_END);
    long fileLength = ftell(file);
    fseek(file, 0, SEEK_SET);

    // The position after fgets, not strlen: a NUL byte inside the line must
    // not leave the rest of the line behind as a line of its own.
    char line[100];
    long lineLength = fgets(line, sizeof line, file) ? ftell(file) : 0;
    long restLength = fileLength - lineLength;

    std::vector<char> rest;
    if (restLength > 0) {
        rest.resize(static_cast<size_t>(restLength));
        if (fread(rest.data(), 1, rest.size(), file) != rest.size()) {
            fclose(file);
            StopUnchanged(path);
        }
    }
    fclose(file);

    if (!ReplaceFileContents(path, rest.data(), rest.size())) StopUnchanged(path);
    return rest.empty() ? ASSIGNMENT_FILE_NOW_EMPTY : ASSIGNMENT_OK;
}
