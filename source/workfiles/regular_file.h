// Opening a work file for reading only when it is a regular file, so that a
// FIFO or a device in its place can never block the program.
#pragma once

#include <cstdio>

// Opens path for reading. Returns nullptr with errno set when it cannot be
// opened, and nullptr with *notRegular set (errno EINVAL) when it is not a
// regular file; the open never waits for a writer.
FILE* OpenRegularFile(const char* path, bool* notRegular);
