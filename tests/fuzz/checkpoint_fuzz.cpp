// Fuzzes the checkpoint reader: whatever quilbrex.cpt holds, a resumed line
// continues at one of its exponents and at an odd k of its range, so that no
// candidate is ever skipped, or is one the program wrote itself after the
// line's last exponent (nEnd + 1 at kStart); a value that cannot be taken
// refuses the checkpoint.
#include <cstdint>
#include <cstdlib>

#include "fuzz_folder.h"
#include "quilbrex.h"
#include "workfiles/assignment.h"
#include "workfiles/checkpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = EnterFuzzFolder();
    (void)ready;
    if (size < 4) return 0;
    // The line: the first four bytes, the checkpoint: the rest.
    nStart = 32 + data[0] % 576;
    nEnd = nStart + data[1] % (608 - nStart) % 32;
    kStart = 2 + static_cast<uint64_t>(data[2]) * 1000;
    kEnd = kStart + static_cast<uint64_t>(data[3]) * 100000 + 1;
    nCurrent = 0;
    kCurrent = 0;
    unlink(RESULTS_FILE);
    WriteWholeFile(CHECKPOINT_FILE, data + 4, size - 4);

    int code = ResumeAssignment();
    if (code == ASSIGNMENT_OBSOLETE_CHECKPOINT || code == ASSIGNMENT_CORRUPT_CHECKPOINT) return 0;
    if (code != ASSIGNMENT_OK) abort();
    if (nCurrent == nEnd + 1 && kCurrent == kStart) return 0;
    if (nCurrent < nStart || nCurrent > nEnd) abort();
    if (kCurrent % 2 == 0 || kCurrent < kStart || kCurrent > kEnd) abort();
    return 0;
}
