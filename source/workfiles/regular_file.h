// Opening a work file for reading only when it is a regular file, so that a
// FIFO or a device in its place can never block the program.
#pragma once

#include <cstdio>

// Ends the process with status 1, after saying why, when the work file path is
// a symbolic link owned by another user than the one running the program.
void RefuseForeignLink(const char* path);

// Opens path for reading (refusing a foreign link). Returns nullptr with errno set when it cannot be
// opened, and nullptr with *notRegular set (errno EINVAL) when it is not a
// regular file; the open never waits for a writer.
FILE* OpenRegularFile(const char* path, bool* notRegular);

// The same for a file whose content decides what the program writes next (a
// record already there, the checkpoint): one that is missing gives nullptr,
// but one that is there and cannot be read (an I/O error, no permission)
// stops the run with status 1 (a temporary exit under BOINC) after a message,
// for guessing "empty" could double a record or search a line again.
FILE* OpenRegularFileOrStop(const char* path, bool* notRegular);
