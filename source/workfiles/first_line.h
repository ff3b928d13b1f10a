// Opening the assignment file and reading its first line the way every
// reader of it must: a 100-byte buffer, so at most 99 characters at a time.
#pragma once

#include <cstdio>

struct FirstLine {
    FILE* file;        // open for reading, positioned after the line
    long fileLength;   // bytes in the whole file
    long lineLength;   // bytes the line took in the file (0 when nothing was read)
    bool read;         // false when the file held nothing to read
    char text[100];
};

// Opens path and reads its first line. Ends the process with status 1 (after
// "\nCan't open worktodo file" through perror) when path cannot be opened, and
// when it is not a regular file (a FIFO, a device or a folder), or when it is
// a symbolic link owned by another user than the one running the program.
FirstLine ReadFirstLine(const char* path);
