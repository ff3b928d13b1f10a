// ReplaceFileContents: a whole-file rewrite through a synced temporary file renamed over the old one, so the old content survives any failure.
#include "workfiles/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "boinc/boinc_adapter.h"

int atomicWriteFailAt = ATOMIC_FAIL_NONE;

namespace {

bool ReportFailure(const char* path, const char* stage, int error, const std::string& temporary) {
    if (!temporary.empty()) unlink(temporary.c_str());
    fprintf(stderr, "\nCan't replace file %s: %s failed: %s. The file keeps its previous content.\n", path, stage,
            strerror(error));
    return false;
}

// The rename itself only lasts once the directory entry is on disk.
void SyncDirectoryOf(const char* path) {
    const char* slash = strrchr(path, '/');
    std::string directory = slash ? std::string(path, slash == path ? 1 : slash - path) : std::string(".");
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Writes everything or fails; a write that makes no progress counts as a full disk.
bool WriteAll(int fd, const char* data, size_t size, int* error) {
    size_t written = 0;
    while (written < size) {
        ssize_t count = write(fd, data + written, size - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            *error = count < 0 ? errno : ENOSPC;
            return false;
        }
        written += static_cast<size_t>(count);
    }
    return true;
}

}  // namespace

bool ReplaceFileContents(const char* logicalPath, const char* data, size_t size) {
    const char* path = BoincFileName(logicalPath);
    struct stat old;
    mode_t mode;
    if (stat(path, &old) == 0) {
        // Root could write it anyway, but whoever took every write bit away meant it.
        if ((old.st_mode & 0222) == 0) {
            fprintf(stderr, "\nCan't replace file %s: it has no write permission. The file keeps its previous content.\n",
                    path);
            return false;
        }
        mode = old.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = -1;
    if (atomicWriteFailAt == ATOMIC_FAIL_OPEN)
        errno = EACCES;
    else
        fd = mkstemp(&temporary[0]);
    if (fd < 0) return ReportFailure(path, "creating a temporary file beside it", errno, "");

    int error = 0;
    bool written;
    if (atomicWriteFailAt == ATOMIC_FAIL_WRITE) {
        // Half the content reaches the file, as when the disk fills up.
        WriteAll(fd, data, size / 2, &error);
        error = ENOSPC;
        written = false;
    } else {
        written = WriteAll(fd, data, size, &error);
    }
    if (!written) {
        close(fd);
        return ReportFailure(path, "writing the new content", error, temporary);
    }
    if (fchmod(fd, mode) != 0) {
        error = errno;
        close(fd);
        return ReportFailure(path, "setting the permissions", error, temporary);
    }
    if (atomicWriteFailAt == ATOMIC_FAIL_SYNC || fsync(fd) != 0) {
        error = atomicWriteFailAt == ATOMIC_FAIL_SYNC ? EIO : errno;
        close(fd);
        return ReportFailure(path, "flushing the new content to disk", error, temporary);
    }
    if (close(fd) != 0) return ReportFailure(path, "closing the new content", errno, temporary);
    if (atomicWriteFailAt == ATOMIC_FAIL_RENAME)
        return ReportFailure(path, "renaming the new content over it", EXDEV, temporary);
    if (rename(temporary.c_str(), path) != 0)
        return ReportFailure(path, "renaming the new content over it", errno, temporary);
    SyncDirectoryOf(path);
    return true;
}
