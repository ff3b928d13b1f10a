// Reading the first line of the assignment file together with the lengths
// that tell where the rest of the file begins.
#include "workfiles/first_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include "boinc/boinc_adapter.h"
#include "fatal_exit.h"
#include "workfiles/regular_file.h"


FirstLine ReadFirstLine(const char* path) {
    // A link the user made is followed; one planted by someone else (in a
    // shared folder) would have the program empty a file of the user's line
    // by line. The kernel's protected-symlinks rule draws the same line.
    struct stat link;
    if (lstat(BoincFileName(path), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != geteuid()) {
        fprintf(stderr,
                "\nCan't use worktodo file %s: it is a symbolic link owned by another user (uid %u), and only links "
                "of the user running the program (uid %u) are followed.\n",
                path, static_cast<unsigned>(link.st_uid), static_cast<unsigned>(geteuid()));
        FatalExit(1);
    }
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
