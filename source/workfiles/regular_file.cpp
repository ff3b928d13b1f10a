// OpenRegularFile: a non-blocking open, a type check, then an ordinary stream.
#include "workfiles/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fatal_exit.h"

#include "boinc/boinc_adapter.h"

FILE* OpenRegularFile(const char* path, bool* notRegular) {
    *notRegular = false;
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
    fprintf(stderr, "\nCan't read %s: %s. Stopping; the next start reads it again.\n", path, strerror(errno));
    FatalExitRetryLater(1, "a work file cannot be read");
}
