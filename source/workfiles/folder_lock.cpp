// LockWorkFolder: flock on the folder itself, so the lock needs no file that
// could be missing or unwritable; quilbrex.lock only tells who holds it.
#include "workfiles/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "workfiles/regular_file.h"
#include "workfiles/work_file_names.h"

namespace {

std::string HolderNamed() {
    bool notRegular = false;
    FILE* file = OpenRegularFile(LOCK_FILE, &notRegular);
    if (!file) return "another process";
    char text[100] = "";
    if (!fgets(text, sizeof text, file)) text[0] = '\0';
    fclose(file);
    text[strcspn(text, "\n")] = '\0';
    return text[0] ? std::string(text) : std::string("another process");
}

void NameThisProcess() {
    int fd = open(LOCK_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;  // a read-only folder: the lock holds all the same
    char text[40];
    int length = snprintf(text, sizeof text, "process %ld\n", static_cast<long>(getpid()));
    if (write(fd, text, static_cast<size_t>(length)) != length) {
        // Only a name for the message of a second instance; the lock is what counts.
    }
    close(fd);
}

}  // namespace

bool LockWorkFolder(std::string* holder, bool nameHolder) {
    // Never closed: the lock lasts as long as the process and goes with it.
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) {
            *holder = HolderNamed();
            close(fd);
            return false;
        }
        // A file system without locks: nothing can be enforced there.
        return true;
    }
    if (nameHolder) NameThisProcess();
    return true;
}
