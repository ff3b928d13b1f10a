// A preloaded library that counts the file operations of a process and kills
// it with SIGKILL at the start of the chosen one, so that tests can stop the
// program at every file operation in turn instead of at a moment in time.
//
// QUILBREX_KILL_AT=N   kill at the start of the Nth operation (unset or 0: never)
// QUILBREX_SIGNAL=S    send signal S instead of SIGKILL (the process goes on)
// QUILBREX_FAIL_ERRNO=E  instead of a signal, the Nth operation fails with
//                      errno E (28 a full disk, 5 an I/O error), doing nothing
// QUILBREX_OP_COUNT=F  at a normal end, write the number of operations to F
// QUILBREX_OP_LOG=F    append to F what each operation did to the files of the
//                      working folder, for a model of what a power cut leaves:
//                        create NAME INO | rename FROM TO INO | unlink NAME
//                        data INO HEX (the file's whole content after a change)
//                        fsync INO HEX (its content as flushed) | dirsync
// The operation that is cut short is named on standard error first.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <dirent.h>
#include <fcntl.h>

#include <atomic>
#include <string>

namespace {

std::atomic<long> operations(0);

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long killAt() {
    static long at = [] {
        const char* text = getenv("QUILBREX_KILL_AT");
        return text ? atol(text) : 0L;
    }();
    return at;
}

int failErrno() {
    static int value = getenv("QUILBREX_FAIL_ERRNO") ? atoi(getenv("QUILBREX_FAIL_ERRNO")) : 0;
    return value;
}

// Whether the operation starting now is the one to fail (then errno is set).
bool operation(const char* name, const char* path) {
    long n = ++operations;
    if (n != killAt()) return false;
    if (failErrno()) {
        errno = failErrno();
        return true;
    }
    static const int signal = getenv("QUILBREX_SIGNAL") ? atoi(getenv("QUILBREX_SIGNAL")) : SIGKILL;
    char text[512];
    int length = snprintf(text, sizeof text, "kill_shim: %s at operation %ld, %s %s\n",
                          signal == SIGKILL ? "killed" : "signalled", n, name, path ? path : "");
    static auto realWrite = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (length > 0 && signal == SIGKILL) realWrite(2, text, static_cast<size_t>(length));
    kill(getpid(), signal);
    return false;
}

// The operation log: only the working folder's files count, named as in it.
struct Recorder {
    int fd = -1;
    std::string folder;
    Recorder() {
        const char* path = getenv("QUILBREX_OP_LOG");
        if (!path) return;
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return;
        folder = cwd;
        fd = next<int (*)(const char*, int, ...)>("open")(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    void put(const std::string& line) {
        static auto realWrite = next<ssize_t (*)(int, const void*, size_t)>("write");
        std::string text = line + "\n";
        if (fd >= 0 && realWrite(fd, text.data(), text.size()) < 0) {
        }
    }
};

Recorder& recorder() {
    static Recorder r;
    return r;
}

bool recording() { return recorder().fd >= 0; }

// The name within the working folder, or "" for anything elsewhere.
std::string localName(const char* path) {
    if (!path) return "";
    std::string p = path;
    const std::string& folder = recorder().folder;
    if (p.compare(0, folder.size() + 1, folder + "/") == 0) p = p.substr(folder.size() + 1);
    if (p.compare(0, 2, "./") == 0) p = p.substr(2);
    return p.empty() || p.find('/') != std::string::npos ? "" : p;
}

std::string fdPath(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) return "";
    target[length] = '\0';
    return target;
}

unsigned long inodeOf(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0 ? static_cast<unsigned long>(info.st_ino) : 0;
}

// The whole content of the file open as fd, in hexadecimal.
std::string contentOf(int fd) {
    int reader = next<int (*)(const char*, int, ...)>("open")(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY);
    std::string hex;
    if (reader < 0) return hex;
    static const char digits[] = "0123456789abcdef";
    unsigned char buffer[4096];
    ssize_t got;
    while ((got = read(reader, buffer, sizeof buffer)) > 0)
        for (ssize_t i = 0; i < got; ++i) {
            hex += digits[buffer[i] >> 4];
            hex += digits[buffer[i] & 15];
        }
    close(reader);
    return hex.empty() ? "-" : hex;
}

// For an operation on descriptor fd: "" when it is not one of the folder's
// regular files, else its inode number.
std::string localInode(int fd, bool* isFolder) {
    *isFolder = false;
    if (!recording()) return "";
    std::string path = fdPath(fd);
    struct stat info;
    if (fstat(fd, &info) != 0) return "";
    if (S_ISDIR(info.st_mode)) {
        *isFolder = path == recorder().folder;
        return "";
    }
    if (!S_ISREG(info.st_mode) || localName(path.c_str()).empty()) return "";
    return std::to_string(static_cast<unsigned long>(info.st_ino));
}

void recordData(int fd, const char* kind) {
    bool folder;
    std::string inode = localInode(fd, &folder);
    if (!inode.empty()) recorder().put(std::string(kind) + " " + inode + " " + contentOf(fd));
}

void recordCreate(const char* path, bool existed, int fd) {
    if (!recording() || existed || fd < 0) return;
    std::string name = localName(path);
    struct stat info;
    if (name.empty() || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return;
    recorder().put("create " + name + " " + std::to_string(static_cast<unsigned long>(info.st_ino)));
}

bool exists(const char* path) {
    struct stat info;
    return path && lstat(path, &info) == 0;
}

bool regular(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

struct CountWriter {
    ~CountWriter() {
        const char* path = getenv("QUILBREX_OP_COUNT");
        if (!path) return;
        static auto realFopen = next<FILE* (*)(const char*, const char*)>("fopen");
        static auto realFclose = next<int (*)(FILE*)>("fclose");
        if (FILE* file = realFopen(path, "w")) {
            fprintf(file, "%ld\n", operations.load());
            realFclose(file);
        }
    }
} countWriter;

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    if (operation("open", path)) return -1;
    static auto real = next<int (*)(const char*, int, ...)>("open");
    bool existed = exists(path);
    int fd = real(path, flags, mode);
    if (fd >= 0 && (flags & O_CREAT)) recordCreate(path, existed, fd);
    if (fd >= 0 && (flags & O_TRUNC) && existed) recordData(fd, "data");
    return fd;
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    if (operation("openat", path)) return -1;
    static auto real = next<int (*)(int, const char*, int, ...)>("openat");
    bool existed = exists(path);
    int fd = real(dir, path, flags, mode);
    if (fd >= 0 && dir == AT_FDCWD && (flags & O_CREAT)) recordCreate(path, existed, fd);
    if (fd >= 0 && dir == AT_FDCWD && (flags & O_TRUNC) && existed) recordData(fd, "data");
    return fd;
}

FILE* fopen(const char* path, const char* mode) {
    if (operation("fopen", path)) return nullptr;
    static auto real = next<FILE* (*)(const char*, const char*)>("fopen");
    bool existed = exists(path);
    FILE* file = real(path, mode);
    if (file && mode[0] != 'r') recordCreate(path, existed, fileno(file));
    if (file && mode[0] == 'w' && existed) recordData(fileno(file), "data");
    return file;
}

FILE* fopen64(const char* path, const char* mode) {
    if (operation("fopen", path)) return nullptr;
    static auto real = next<FILE* (*)(const char*, const char*)>("fopen64");
    bool existed = exists(path);
    FILE* file = real(path, mode);
    if (file && mode[0] != 'r') recordCreate(path, existed, fileno(file));
    if (file && mode[0] == 'w' && existed) recordData(fileno(file), "data");
    return file;
}

int fclose(FILE* file) {
    bool fail = operation("fclose", nullptr);
    static auto real = next<int (*)(FILE*)>("fclose");
    if (fail) {
        int error = errno;
        real(file);
        errno = error;
        return EOF;
    }
    // What the stream still buffers reaches the file now.
    if (recording() && (fcntl(fileno(file), F_GETFL) & O_ACCMODE) != O_RDONLY) {
        fflush(file);
        recordData(fileno(file), "data");
    }
    return real(file);
}

int mkstemp(char* pattern) {
    if (operation("mkstemp", pattern)) return -1;
    static auto real = next<int (*)(char*)>("mkstemp");
    int fd = real(pattern);
    recordCreate(pattern, false, fd);
    return fd;
}

ssize_t write(int fd, const void* data, size_t size) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (regular(fd) && operation("write", nullptr)) return -1;
    ssize_t written = real(fd, data, size);
    if (written > 0 && recording() && regular(fd)) recordData(fd, "data");
    return written;
}

int fsync(int fd) {
    if (operation("fsync", nullptr)) return -1;
    static auto real = next<int (*)(int)>("fsync");
    int result = real(fd);
    if (result == 0 && recording()) {
        bool folder;
        std::string inode = localInode(fd, &folder);
        if (folder) recorder().put("dirsync");
        if (!inode.empty()) recorder().put("fsync " + inode + " " + contentOf(fd));
    }
    return result;
}

int ftruncate(int fd, off_t length) {
    if (operation("ftruncate", nullptr)) return -1;
    static auto real = next<int (*)(int, off_t)>("ftruncate");
    int result = real(fd, length);
    if (result == 0) recordData(fd, "data");
    return result;
}

int fchmod(int fd, mode_t mode) {
    if (operation("fchmod", nullptr)) return -1;
    static auto real = next<int (*)(int, mode_t)>("fchmod");
    return real(fd, mode);
}

int rename(const char* from, const char* to) {
    if (operation("rename", to)) return -1;
    static auto real = next<int (*)(const char*, const char*)>("rename");
    unsigned long inode = inodeOf(from);
    int result = real(from, to);
    if (result == 0 && recording() && !localName(from).empty() && !localName(to).empty())
        recorder().put("rename " + localName(from) + " " + localName(to) + " " + std::to_string(inode));
    return result;
}

int unlink(const char* path) {
    if (operation("unlink", path)) return -1;
    static auto real = next<int (*)(const char*)>("unlink");
    int result = real(path);
    if (result == 0 && recording() && !localName(path).empty()) recorder().put("unlink " + localName(path));
    return result;
}

int remove(const char* path) {
    if (operation("remove", path)) return -1;
    static auto real = next<int (*)(const char*)>("remove");
    bool file = exists(path) && inodeOf(path) != 0;
    struct stat info;
    bool folder = path && lstat(path, &info) == 0 && S_ISDIR(info.st_mode);
    int result = real(path);
    if (result == 0 && file && !folder && recording() && !localName(path).empty())
        recorder().put("unlink " + localName(path));
    return result;
}

}  // extern "C"
