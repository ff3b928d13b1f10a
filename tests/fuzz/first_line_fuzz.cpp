// Fuzzes the first-line reader with validation, cutting and a fresh start:
// whatever the file holds, a loaded line is one a kernel band can serve and
// is the file's first line, and the rest of the file comes back unchanged.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_folder.h"
#include "quilbrex.h"
#include "workfiles/assignment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = EnterFuzzFolder();
    (void)ready;
    unlink(CHECKPOINT_FILE);
    unlink(RESULTS_FILE);
    WriteWholeFile(WORKTODO_FILE, data, size);
    const std::string before(reinterpret_cast<const char*>(data), size);

    int code = Read_Assignment_Line(WORKTODO_FILE);
    const std::string after = ReadWholeFile(WORKTODO_FILE);
    if (code < ASSIGNMENT_OK || code > ASSIGNMENT_INVALID_LINE) abort();
    if (code == ASSIGNMENT_EMPTY_FILE && size != 0) abort();
    if (code != ASSIGNMENT_OK) {
        if (after != before) abort();  // only a loaded line may be cut
        return 0;
    }
    if (nStart < 32 || nEnd > 607 || nStart > nEnd || nStart / 32 != nEnd / 32) abort();
    if (kStart % 2 == 0 || kStart > kEnd || nCurrent != nStart || kCurrent != kStart) abort();

    // The first line of the file, as written, is the loaded line.
    unsigned n0 = 0, n1 = 0;
    unsigned long long k0 = 0, k1 = 0;
    if (after != before) {
        int fields = sscanf(after.c_str(), "FermatFactor=%u,%u,%llu,%llu\n", &n0, &n1, &k0, &k1);
        if (fields != 4 || n0 != nStart || n1 != nEnd || (k0 | 1) != kStart || k1 != kEnd) abort();
        // The rest of the file follows the cut lines byte for byte.
        size_t firstLength = before.find('\n');
        firstLength = firstLength == std::string::npos ? before.size() : firstLength + 1;
        if (firstLength > 99) firstLength = 99;  // the reader sees 99 characters of a line
        const std::string rest = before.substr(firstLength);
        if (after.size() < rest.size() || after.compare(after.size() - rest.size(), rest.size(), rest) != 0) abort();
    }
    return 0;
}
