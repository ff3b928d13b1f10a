// ReplaceFileContents: a whole-file rewrite through a synced temporary file renamed over the old one, so the old content survives any failure.
#include "workfiles/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boinc/boinc_adapter.h"
#include "fatal_exit.h"
#include "workfiles/durable_file.h"
#include "workfiles/regular_file.h"

int atomicWriteFailAt = ATOMIC_FAIL_NONE;

namespace {

// Temporary files are named after the file they replace, so that a start can
// tell its own leftovers from anything else in the folder.
const char TEMPORARY_INFIX[] = ".tmp-";
const size_t TEMPORARY_SUFFIX_LENGTH = 6;  // mkstemp's XXXXXX

bool ReportFailure(const char* path, const char* stage, int error, const std::string& temporary) {
    workFileError = error;
    if (!temporary.empty()) unlink(temporary.c_str());
    fprintf(stderr, "\nCan't replace file %s: %s failed: %s. The file keeps its previous content.\n", path, stage,
            strerror(error));
    return false;
}

// A symlinked file is rewritten where it really lives, so the link survives.
std::string TargetOf(const char* logicalPath) {
    const char* path = BoincFileName(logicalPath);
    struct stat link;
    if (lstat(path, &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    char resolved[PATH_MAX];
    return realpath(path, resolved) ? std::string(resolved) : std::string(path);
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Only root may give a file away. Anyone else replacing another user's file
// makes it their own: said on standard error, with the file's group kept
// where the process belongs to it, so that whoever wrote the file through
// its group still can.
bool KeepOwner(int fd, const struct stat& old, bool* ownerChanged) {
    *ownerChanged = false;
    if (old.st_uid == geteuid() && old.st_gid == getegid()) return true;
    if (geteuid() == 0) return fchown(fd, old.st_uid, old.st_gid) == 0;
    if (old.st_gid != getegid() && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
        // Not a member of the file's group: the copy has ours.
    }
    *ownerChanged = old.st_uid != geteuid();
    return true;
}

bool FolderTakesTemporary(const std::string& target) {
    if (atomicWriteFailAt == ATOMIC_FAIL_OPEN) return false;
    return access(DirectoryOf(target).c_str(), W_OK | X_OK) == 0;
}

// The last resort, in a folder that takes no temporary file. A shorter
// content is padded with newlines to the old length and written in one write
// over the old, flushed, and only then is the file cut to its new length and
// flushed again: a stop in between leaves the new lines followed by blank
// lines, which later passes remove as blank lines, never a file emptied by a
// truncation whose write did not follow.
bool RewriteInPlace(const char* path, const std::string& target, const char* data, size_t size, off_t oldSize) {
    int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return ReportFailure(path, "opening it for a rewrite in place", errno, "");
    std::string padded(data, size);
    if (static_cast<off_t>(size) < oldSize) padded.append(static_cast<size_t>(oldSize) - size, '\n');
    int error = 0;
    bool ok = WriteAll(fd, padded.data(), padded.size(), &error);
    ok = ok && (fsync(fd) == 0 || (error = errno, false));
    if (ok && padded.size() != size) {
        ok = ftruncate(fd, static_cast<off_t>(size)) == 0 || (error = errno, false);
        ok = ok && (fsync(fd) == 0 || (error = errno, false));
    }
    if (close(fd) != 0 && ok) ok = (error = errno, false);
    if (!ok) {
        workFileError = error;
        fprintf(stderr, "\nCan't rewrite file %s in place: %s. Its content may be incomplete.\n", path,
                strerror(error));
        return false;
    }
    return true;
}

}  // namespace

std::string WhyNotReplaceable(const char* path, RewriteFallback fallback) {
    std::string target = TargetOf(path);
    struct stat old;
    if (stat(target.c_str(), &old) != 0) return strerror(errno);
    if (!S_ISREG(old.st_mode)) return "it is not a regular file";
    // Root could write it anyway, but whoever took every write bit away meant it.
    if ((old.st_mode & 0222) == 0) return "it has no write permission";
    if (FolderTakesTemporary(target)) return "";
    if (fallback == REWRITE_IN_PLACE_IF_NEEDED && access(target.c_str(), W_OK) == 0) return "";
    return "its folder cannot take a temporary file beside it";
}

bool ReplaceFileContents(const char* path, const char* data, size_t size, RewriteFallback fallback, bool* changed) {
    if (changed) *changed = false;
    RefuseForeignLink(path);
    const std::string target = TargetOf(path);
    struct stat old;
    const bool exists = stat(target.c_str(), &old) == 0;
    mode_t mode;
    if (exists) {
        if (!S_ISREG(old.st_mode)) {
            workFileError = EINVAL;
            fprintf(stderr, "\nCan't replace file %s: it is not a regular file. It stays as it is.\n", path);
            return false;
        }
        if ((old.st_mode & 0222) == 0) {
            workFileError = EACCES;
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
    const bool inPlaceAllowed = exists && fallback == REWRITE_IN_PLACE_IF_NEEDED;

    std::string temporary = target + TEMPORARY_INFIX + std::string(TEMPORARY_SUFFIX_LENGTH, 'X');
    int fd = -1;
    if (atomicWriteFailAt == ATOMIC_FAIL_OPEN)
        errno = EACCES;
    else
        fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        if (inPlaceAllowed) return RewriteInPlace(path, target, data, size, old.st_size);
        return ReportFailure(path, "creating a temporary file beside it", errno, "");
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);

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
    // A root run must not leave a user's file owned by root.
    bool ownerChanged = false;
    if (exists && !KeepOwner(fd, old, &ownerChanged)) {
        error = errno;
        close(fd);
        return ReportFailure(path, "keeping the owner", error, temporary);
    }
    if (atomicWriteFailAt == ATOMIC_FAIL_SYNC || fsync(fd) != 0) {
        error = atomicWriteFailAt == ATOMIC_FAIL_SYNC ? EIO : errno;
        close(fd);
        return ReportFailure(path, "flushing the new content to disk", error, temporary);
    }
    if (close(fd) != 0) return ReportFailure(path, "closing the new content", errno, temporary);
    if (atomicWriteFailAt == ATOMIC_FAIL_RENAME)
        return ReportFailure(path, "renaming the new content over it", EXDEV, temporary);
    if (rename(temporary.c_str(), target.c_str()) != 0)
        return ReportFailure(path, "renaming the new content over it", errno, temporary);
    if (changed) *changed = true;
    if (ownerChanged)
        fprintf(stderr,
                "\n%s belonged to another user (uid %u) and was replaced whole: it now belongs to the user running "
                "the program (uid %u), with the same permissions, since only root can keep a file's owner.\n",
                path, static_cast<unsigned>(old.st_uid), static_cast<unsigned>(geteuid()));
    // The rename itself only lasts once the folder entry is on disk.
    std::string reason;
    if (!SyncFolderOf(target, &reason)) {
        fprintf(stderr, "\nCan't make the new content of %s last: flushing its folder failed: %s. A power cut may "
                "bring the previous content back.\n", path, reason.c_str());
        return false;
    }
    return true;
}

void RemoveStaleTemporaries(const char* path) {
    const std::string target = TargetOf(path);
    const std::string prefix = BaseNameOf(target) + TEMPORARY_INFIX;
    const std::string folder = DirectoryOf(target);
    DIR* listing = opendir(folder.c_str());
    if (!listing) return;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() == prefix.size() + TEMPORARY_SUFFIX_LENGTH && name.compare(0, prefix.size(), prefix) == 0)
            unlink((folder + "/" + name).c_str());
    }
    closedir(listing);
}
