// OpenRegularFile: a non-blocking open, a type check, then an ordinary stream.
#include "workfiles/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fatal_exit.h"

#include "boinc/boinc_adapter.h"
#include "workfiles/work_file_names.h"

void RefuseForeignLink(const char* path) {
    // A link the user made is followed; one planted by someone else (in a
    // folder others may write) would have the program write its records, or
    // empty a file line by line, wherever that user points it. The kernel's
    // protected-symlinks rule draws the same line.
    struct stat link;
    if (lstat(BoincFileName(path), &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid == geteuid()) return;
    fprintf(stderr,
            "\nCan't use %s%s: it is a symbolic link owned by another user (uid %u), and only links of the user running "
            "the program (uid %u) are followed.\n",
            strcmp(path, WORKTODO_FILE) == 0 ? "worktodo file " : "", path, static_cast<unsigned>(link.st_uid), static_cast<unsigned>(geteuid()));
    FatalExit(1);
}

FILE* OpenRegularFile(const char* path, bool* notRegular) {
    *notRegular = false;
    RefuseForeignLink(path);
    // O_NONBLOCK only matters for the open itself: a FIFO without a writer
    // would otherwise hold it for ever.
    int fd = open(BoincFileName(path), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *notRegular = true;
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "r");
    if (!file) close(fd);
    return file;
}

FILE* OpenRegularFileOrStop(const char* path, bool* notRegular) {
    FILE* file = OpenRegularFile(path, notRegular);
    if (file || *notRegular || errno == ENOENT) return file;
    workFileError = errno;
    fprintf(stderr, "\nCan't read %s: %s. Stopping; the next start reads it again.\n", path, strerror(errno));
    FatalExitRetryLater(1, "a work file cannot be read");
}
