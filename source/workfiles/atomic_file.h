// Replacing a file's whole content so that a crash, a power cut or a full disk
// leaves either the old content or the new one, never a torn file.
#pragma once

#include <cstddef>

// Writes data to a temporary file beside path, flushes it to disk and renames
// it over path. On any failure the temporary file is removed, path keeps its
// old content, a message naming path goes to standard error and the result is
// false.
bool ReplaceFileContents(const char* path, const char* data, size_t size);
