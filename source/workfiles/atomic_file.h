// Replacing a file's whole content so that a crash, a power cut or a full disk
// leaves either the old content or the new one, never a torn file.
#pragma once

#include <cstddef>
#include <string>

// What may be done when the folder cannot take a temporary file.
enum RewriteFallback {
    REWRITE_ATOMIC_ONLY,        // fail and keep the old content
    REWRITE_IN_PLACE_IF_NEEDED  // truncate, write and flush the file itself
};

// Writes data to a temporary file beside path, flushes it to disk and renames
// it over path. A symlink is followed: its target is rewritten and the link
// stays. The file keeps its mode and, where the process may set it, its
// owner: a process other than root replacing another user's file says on
// standard error that the file is now its own. On any failure the temporary
// file is removed, path keeps its old content, a message naming path goes to
// standard error and the result is false. A failing flush of the folder after
// the rename is reported and gives false too: the new content is in place
// (*changed is set) but might not survive a power cut. With
// REWRITE_IN_PLACE_IF_NEEDED the file is rewritten in place only when the
// folder takes no temporary file, padded so that a stop leaves the old
// content, the new, or the new followed by blank lines.
bool ReplaceFileContents(const char* path, const char* data, size_t size,
                         RewriteFallback fallback = REWRITE_ATOMIC_ONLY, bool* changed = nullptr);

// Why ReplaceFileContents could not rewrite the existing file path now ("it
// is not a regular file", ...), or an empty text when it could.
std::string WhyNotReplaceable(const char* path, RewriteFallback fallback);

// Removes temporary files that rewrites of path left behind when the process
// was killed in the middle of one. Only safe while no other instance works in
// the folder.
void RemoveStaleTemporaries(const char* path);

// Stages at which ReplaceFileContents can be made to fail on purpose.
enum AtomicWriteStage {
    ATOMIC_FAIL_NONE = 0,
    ATOMIC_FAIL_OPEN,    // the temporary file cannot be created (as in a read-only folder)
    ATOMIC_FAIL_WRITE,   // a short write, as on a full disk
    ATOMIC_FAIL_SYNC,    // the flush to disk fails
    ATOMIC_FAIL_RENAME   // the rename over path fails
};
// Only tests set this, to reach the failure paths even when running as root;
// the program leaves it at ATOMIC_FAIL_NONE.
extern int atomicWriteFailAt;
