// Reading the first line of the assignment file together with the lengths
// that tell where the rest of the file begins.
#include "workfiles/first_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include "boinc/boinc_adapter.h"
#include "fatal_exit.h"
#include "workfiles/regular_file.h"


FirstLine ReadFirstLine(const char* path) {
    FirstLine line;
    bool notRegular = false;
    line.file = OpenRegularFile(path, &notRegular);
    if (notRegular) {
        fprintf(stderr, "\nCan't use worktodo file %s: it is not a regular file.\n", path);
        FatalExit(1);
    }
    if (!line.file) {
        perror("\nCan't open worktodo file");
        FatalExit(1);
    }
    fseek(line.file, 0, SEEK_END);
    line.fileLength = ftell(line.file);
    fseek(line.file, 0, SEEK_SET);
    line.read = fgets(line.text, sizeof line.text, line.file) != nullptr;
    // The position after fgets, not strlen: a NUL byte inside the line must
    // not make the rest of the line count as the rest of the file.
    line.lineLength = line.read ? ftell(line.file) : 0;
    if (!line.read) line.text[0] = '\0';
    return line;
}
