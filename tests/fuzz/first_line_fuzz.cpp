// Fuzzes the first-line reader with validation, cutting and a fresh start:
// whatever the file holds, a loaded line is one a kernel band can serve and
// is the file's first line, and the rest of the file comes back unchanged.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_folder.h"
#include "quilbrex.h"
#include "workfiles/assignment.h"

// A file whose first line is foreign, with no assignment line and another
// foreign line, is refused with status 1 (the run-safety tests check it):
// the process ends, so the fuzzer keeps to files the reader returns from.
static bool RefusedAsNoAssignmentFile(const std::string& content) {
    auto kind = [](const std::string& line) {  // 0 blank, 1 assignment, 2 anything else
        const char* text = line.c_str();
        while (isspace(static_cast<unsigned char>(*text))) ++text;
        return *text == '\0' ? 0 : strncmp(text, "FermatFactor=", 13) == 0 ? 1 : 2;
    };
    size_t end = content.find('\n');
    if (kind(content.substr(0, std::min<size_t>(end == std::string::npos ? content.size() : end + 1, 99))) != 2)
        return false;
    int foreign = 1;
    for (size_t at = end == std::string::npos ? content.size() : end + 1; at < content.size();) {
        end = content.find('\n', at);
        const std::string line = content.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
        at = end == std::string::npos ? content.size() : end + 1;
        int k = kind(line);
        if (k == 1) return false;
        foreign += k == 2;
    }
    return foreign >= 2;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = EnterFuzzFolder();
    (void)ready;
    unlink(CHECKPOINT_FILE);
    unlink(RESULTS_FILE);
    WriteWholeFile(WORKTODO_FILE, data, size);
    const std::string before(reinterpret_cast<const char*>(data), size);
    if (RefusedAsNoAssignmentFile(before)) return 0;

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
