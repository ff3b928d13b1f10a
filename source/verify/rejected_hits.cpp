// Rejected hits: the message, the run-log record, the counts and the stop.
#include "verify/rejected_hits.h"

#include <cstdio>
#include <cstdlib>

#include "fatal_exit.h"
#include "workfiles/assignment.h"
#include "workfiles/run_log.h"

uint32_t rejectedHits;
uint32_t rejectedHitsInLine;

void ReportRejectedHit(uint64_t k, uint32_t n) {
    ++rejectedHits;
    ++rejectedHitsInLine;
    // A device gone wrong can fill a whole batch with hits: beyond those that
    // stop the run they are only counted, so the run log is not flooded.
    if (rejectedHitsInLine > REJECTED_HITS_TO_STOP) return;
    char record[160];
    snprintf(record, sizeof record,
             "Rejected hit %llu*2^%u+1: reported by the device, not a factor by the host check\n",
             static_cast<unsigned long long>(k), n);
    fflush(stdout);
    fprintf(stderr, "\n%s", record);
    AppendRecord(RESULTS_FILE, record, true);
}

void StopIfDeviceUnreliable() {
    if (rejectedHitsInLine < REJECTED_HITS_TO_STOP) return;
    fprintf(stderr,
            "\n%u hits of this line were rejected by the host check: the device computes wrongly. Stopping; the "
            "checkpoint stays before this batch, so it is searched again on the next start.\n",
            rejectedHitsInLine);
    FatalExit(255);
}

void RejectedHitsNote(char* text, size_t size) {
    if (rejectedHits == 0)
        snprintf(text, size, "%s", "");
    else
        snprintf(text, size, ", %u hit(s) rejected by the host check", rejectedHits);
}
