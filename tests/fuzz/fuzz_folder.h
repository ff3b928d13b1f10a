// A private working folder for a fuzz target whose code under test works on
// files in the current folder, with standard output silenced.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline bool EnterFuzzFolder() {
    char pattern[] = "/tmp/quilbrex-fuzz-XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0) abort();
    if (!freopen("/dev/null", "w", stdout)) abort();
    return true;
}

inline void WriteWholeFile(const char* path, const uint8_t* data, size_t size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
    close(fd);
}

inline std::string ReadWholeFile(const char* path) {
    std::string content;
    if (FILE* file = fopen(path, "rb")) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
        fclose(file);
    }
    return content;
}
