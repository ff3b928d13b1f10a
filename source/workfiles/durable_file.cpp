// Durable appends, flushes of what was found and removals: each a write or an unlink followed by the fsyncs that make it last.
#include "workfiles/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "boinc/boinc_adapter.h"
#include "fatal_exit.h"
#include "workfiles/regular_file.h"

int durableFailAt = DURABLE_FAIL_NONE;
const char* durableFailPath = nullptr;
int durableFailSkip = 0;

namespace {

// Files whose folder entry this process has flushed: one created, or left
// unflushed by a stop, before this start lasts only once that is done.
std::set<std::pair<dev_t, ino_t>> entriesOnDisk;

bool Fail(int error, std::string* reason) {
    workFileError = error;
    *reason = strerror(error);
    return false;
}

bool Injected(int stage, const std::string& path) {
    if (durableFailAt != stage) return false;
    size_t slash = path.rfind('/');
    if (durableFailPath && path.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, durableFailPath))
        return false;
    return durableFailSkip-- <= 0;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// EINVAL: the file lives where flushing means nothing (a pipe, some special
// file systems); there is nothing more to make durable.
bool SyncDescriptor(int fd, const std::string& path, int stage, std::string* reason) {
    if (Injected(stage, path)) return Fail(EIO, reason);
    if (fsync(fd) != 0 && errno != EINVAL) return Fail(errno, reason);
    return true;
}

}  // namespace

bool SyncFolderOf(const std::string& physicalPath, std::string* reason) {
    int fd = open(FolderOf(physicalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail(errno, reason);
    bool ok = SyncDescriptor(fd, physicalPath, DURABLE_FAIL_FOLDER_SYNC, reason);
    close(fd);
    return ok;
}

bool AppendDurably(const char* logicalPath, const std::string& record, std::string* reason, bool flush) {
    RefuseForeignLink(logicalPath);
    const std::string path = BoincFileName(logicalPath);
    struct stat before;
    // A record nothing depends on may wait for the next flush; the file's
    // creation may not.
    const bool existed = stat(path.c_str(), &before) == 0;
    if (!existed) flush = true;
    // O_NONBLOCK: a FIFO without a reader in its place fails instead of
    // holding the search for ever; it changes nothing for a regular file.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(errno, reason);
    struct stat opened;
    const off_t sizeBefore = fstat(fd, &opened) == 0 ? opened.st_size : -1;
    size_t written = 0;
    while (written < record.size()) {
        ssize_t count;
        if (Injected(DURABLE_FAIL_APPEND, path)) {
            // Half the record reaches the file, as when the disk fills up.
            count = written == 0 ? write(fd, record.data(), record.size() / 2) : (errno = ENOSPC, -1);
            if (count > 0) {
                written = static_cast<size_t>(count);
                count = (errno = ENOSPC, -1);
            }
        } else {
            count = write(fd, record.data() + written, record.size() - written);
        }
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            int error = count < 0 ? errno : ENOSPC;
            // A torn record would be taken for a whole one, or glue the next
            // one to it: the file goes back to where the record began.
            if (written > 0 && sizeBefore >= 0 && ftruncate(fd, sizeBefore) != 0) {
                // Nothing more can be done here; the caller stops the run all the same.
            }
            close(fd);
            return Fail(error, reason);
        }
        written += static_cast<size_t>(count);
    }
    if (flush && !SyncDescriptor(fd, path, DURABLE_FAIL_FILE_SYNC, reason)) {
        close(fd);
        return false;
    }
    struct stat after;
    if (fstat(fd, &after) != 0) after = before;
    if (close(fd) != 0) return Fail(errno, reason);
    // A new file only lasts once its folder entry is on disk too.
    const std::pair<dev_t, ino_t> entry(after.st_dev, after.st_ino);
    if (!flush || (existed && entriesOnDisk.count(entry))) return true;
    if (!SyncFolderOf(path, reason)) return false;
    entriesOnDisk.insert(entry);
    return true;
}

bool FlushExisting(const char* logicalPath, std::string* reason) {
    RefuseForeignLink(logicalPath);
    const std::string path = BoincFileName(logicalPath);
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? true : Fail(errno, reason);
    bool ok = SyncDescriptor(fd, path, DURABLE_FAIL_FILE_SYNC, reason);
    struct stat info;
    const bool known = fstat(fd, &info) == 0;
    close(fd);
    // The file may be new since the last flush of its folder.
    if (!ok || !SyncFolderOf(path, reason)) return false;
    if (known) entriesOnDisk.insert(std::make_pair(info.st_dev, info.st_ino));
    return true;
}

bool TruncateDurably(const char* logicalPath, long long length, std::string* reason) {
    RefuseForeignLink(logicalPath);
    const std::string path = BoincFileName(logicalPath);
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(errno, reason);
    if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
        const int error = errno;
        close(fd);
        return Fail(error, reason);
    }
    const bool ok = SyncDescriptor(fd, path, DURABLE_FAIL_FILE_SYNC, reason);
    if (close(fd) != 0 && ok) return Fail(errno, reason);
    return ok;
}

bool RemoveDurably(const char* logicalPath, std::string* reason) {
    const std::string path = BoincFileName(logicalPath);
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        // Gone already, maybe by a removal whose folder entry never reached
        // the disk: absence is trusted only once flushed too.
        if (errno == ENOENT) return SyncFolderOf(path, reason);
        return Fail(errno, reason);
    }
    if (S_ISDIR(info.st_mode)) {
        workFileError = EISDIR;
        *reason = "it is a folder, not a file";
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return Fail(errno, reason);
    return SyncFolderOf(path, reason);
}
