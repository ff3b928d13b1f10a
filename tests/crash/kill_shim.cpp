// A preloaded library that counts the file operations of a process and kills
// it with SIGKILL at the start of the chosen one, so that tests can stop the
// program at every file operation in turn instead of at a moment in time.
//
// QUILBREX_KILL_AT=N   kill at the start of the Nth operation (unset or 0: never)
// QUILBREX_OP_COUNT=F  at a normal end, write the number of operations to F
// The operation that is cut short is named on standard error first.
#include <dlfcn.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

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

void operation(const char* name, const char* path) {
    long n = ++operations;
    if (n != killAt()) return;
    char text[512];
    int length = snprintf(text, sizeof text, "kill_shim: killed at operation %ld, %s %s\n", n, name, path ? path : "");
    static auto realWrite = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (length > 0) realWrite(2, text, static_cast<size_t>(length));
    kill(getpid(), SIGKILL);
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
    operation("open", path);
    static auto real = next<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    operation("openat", path);
    static auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(dir, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
    operation("fopen", path);
    static auto real = next<FILE* (*)(const char*, const char*)>("fopen");
    return real(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    operation("fopen", path);
    static auto real = next<FILE* (*)(const char*, const char*)>("fopen64");
    return real(path, mode);
}

int fclose(FILE* file) {
    operation("fclose", nullptr);
    static auto real = next<int (*)(FILE*)>("fclose");
    return real(file);
}

int mkstemp(char* pattern) {
    operation("mkstemp", pattern);
    static auto real = next<int (*)(char*)>("mkstemp");
    return real(pattern);
}

ssize_t write(int fd, const void* data, size_t size) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (regular(fd)) operation("write", nullptr);
    return real(fd, data, size);
}

int fsync(int fd) {
    operation("fsync", nullptr);
    static auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

int ftruncate(int fd, off_t length) {
    operation("ftruncate", nullptr);
    static auto real = next<int (*)(int, off_t)>("ftruncate");
    return real(fd, length);
}

int fchmod(int fd, mode_t mode) {
    operation("fchmod", nullptr);
    static auto real = next<int (*)(int, mode_t)>("fchmod");
    return real(fd, mode);
}

int rename(const char* from, const char* to) {
    operation("rename", to);
    static auto real = next<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

int unlink(const char* path) {
    operation("unlink", path);
    static auto real = next<int (*)(const char*)>("unlink");
    return real(path);
}

int remove(const char* path) {
    operation("remove", path);
    static auto real = next<int (*)(const char*)>("remove");
    return real(path);
}

}  // extern "C"
