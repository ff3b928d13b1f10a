// RecordFactorLine: a duplicate check over factors.txt, then one append flushed to disk.
#include "workfiles/factor_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "boinc/boinc_adapter.h"
#include "quilbrex.h"
#include "workfiles/regular_file.h"
#include "workfiles/work_file_names.h"

namespace {

// A stop between a factor's record and the next checkpoint finds the factor
// again on the next start; the record must not be doubled then.
bool AlreadyRecorded(const char* line) {
    bool notRegular = false;
    FILE* file = OpenRegularFile(FACTORS_FILE, &notRegular);
    if (!file) return false;
    bool found = false;
    char* text = nullptr;
    size_t capacity = 0;
    while (!found && getline(&text, &capacity, file) >= 0) found = strcmp(text, line) == 0;
    free(text);
    fclose(file);
    return found;
}

bool Fail(int error, std::string* reason) {
    *reason = strerror(error);
    return false;
}

bool AppendDurably(const std::string& record, std::string* reason) {
    struct stat before;
    const bool existed = stat(FACTORS_FILE, &before) == 0;
    // O_NONBLOCK: a FIFO without a reader in its place fails instead of
    // holding the search for ever; it changes nothing for a regular file.
    int fd = open(BoincFileName(FACTORS_FILE), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return Fail(errno, reason);
    size_t written = 0;
    while (written < record.size()) {
        ssize_t count = write(fd, record.data() + written, record.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            int error = count < 0 ? errno : ENOSPC;
            close(fd);
            return Fail(error, reason);
        }
        written += static_cast<size_t>(count);
    }
    if (fsync(fd) != 0 && errno != EINVAL) {
        int error = errno;
        close(fd);
        return Fail(error, reason);
    }
    if (close(fd) != 0) return Fail(errno, reason);
    // A new file only lasts once its folder entry is on disk too.
    if (!existed) {
        int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            fsync(folder);
            close(folder);
        }
    }
    return true;
}

}  // namespace

FactorLogResult RecordFactorLine(const char* line, std::string* reason) {
    if (AlreadyRecorded(line)) return FACTOR_ALREADY_RECORDED;
    timer = clockNow();
    const char* stamp = ctime(&timer);
    std::string record = std::string(stamp ? stamp : "") + line;
    return AppendDurably(record, reason) ? FACTOR_APPENDED : FACTOR_NOT_RECORDED;
}
