// Replacing a file's whole content so that a crash, a power cut or a full disk
// leaves either the old content or the new one, never a torn file.
#pragma once

#include <cstddef>

// Writes data to a temporary file beside path, flushes it to disk and renames
// it over path. On any failure the temporary file is removed, path keeps its
// old content, a message naming path goes to standard error and the result is
// false.
bool ReplaceFileContents(const char* path, const char* data, size_t size);

// Stages at which ReplaceFileContents can be made to fail on purpose.
enum AtomicWriteStage {
    ATOMIC_FAIL_NONE = 0,
    ATOMIC_FAIL_OPEN,    // the temporary file cannot be created
    ATOMIC_FAIL_WRITE,   // a short write, as on a full disk
    ATOMIC_FAIL_SYNC,    // the flush to disk fails
    ATOMIC_FAIL_RENAME   // the rename over path fails
};
// Only tests set this, to reach the failure paths even when running as root;
// the program leaves it at ATOMIC_FAIL_NONE.
extern int atomicWriteFailAt;
