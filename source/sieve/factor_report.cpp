// Factor reports: every hit the kernel recorded and the host confirms reaches
// standard output and factors.txt, however many one launch found, or the run stops.
#include "sieve/factor_report.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "fatal_exit.h"
#include "gpu/cuda_guard.h"
#include "quilbrex.h"
#include "verify/hit_check.h"
#include "verify/rejected_hits.h"
#include "workfiles/factor_log.h"

namespace {

// The count and three records: what almost every read-back needs.
const size_t SHORT_REPORT_BYTES = 40;

void Announce(const char* line) {
    size_t stars = strlen(line) - 1;
    char frame[79];
    memset(frame, ' ', 78);
    memset(frame, '*', stars);
    frame[78] = '\0';
    printf("\n%s\n%s%s", frame, line, frame);
    fflush(stdout);
}

}  // namespace

void RecordFactor(uint64_t k, uint32_t n) {
    char line[80];
    snprintf(line, sizeof line, "!!! Found factor %llu*2^%u+1 !!!\n", static_cast<unsigned long long>(k), n);
    Announce(line);
    std::string reason;
    if (RecordFactorLine(line, &reason) != FACTOR_NOT_RECORDED) return;
    // Going on would let the checkpoint or the line's removal pass a factor
    // that exists nowhere but on this screen.
    fprintf(stderr,
            "\n%sCan't record this factor in factors.txt: %s. Stopping; the assignment line and the checkpoint "
            "stay before it, so the next start finds it again.\n",
            line, reason.c_str());
    FatalExitRetryLater(1, "a factor cannot be recorded in factors.txt");
}

void ClearFactorReports() {
    memset(h_factors, 0, SHORT_REPORT_BYTES);
    CUDA_GUARD(cudaMemcpy(d_factors, h_factors, SHORT_REPORT_BYTES, cudaMemcpyHostToDevice));
}

uint32_t ReadFactorReports() {
    CUDA_GUARD(cudaMemcpy(h_factors, d_factors, SHORT_REPORT_BYTES, cudaMemcpyDeviceToHost));
    uint32_t count = h_factors[0];
    if (count == 0) return 0;

    uint32_t records = count < FACTOR_RECORD_CAPACITY ? count : FACTOR_RECORD_CAPACITY;
    size_t usedBytes = 4 * (1 + 3 * static_cast<size_t>(records));
    if (usedBytes > SHORT_REPORT_BYTES)
        CUDA_GUARD(cudaMemcpy(reinterpret_cast<char*>(h_factors) + SHORT_REPORT_BYTES,
                              reinterpret_cast<const char*>(d_factors) + SHORT_REPORT_BYTES,
                              usedBytes - SHORT_REPORT_BYTES, cudaMemcpyDeviceToHost));
    uint32_t confirmed = RecordFactorReports(h_factors);
    memset(h_factors, 0, usedBytes);
    CUDA_GUARD(cudaMemcpy(d_factors, h_factors, usedBytes, cudaMemcpyHostToDevice));
    StopIfDeviceUnreliable();
    return confirmed;
}

uint32_t RecordFactorReports(const uint32_t* words) {
    const uint32_t records = words[0] < FACTOR_RECORD_CAPACITY ? words[0] : FACTOR_RECORD_CAPACITY;
    // A device that computes wrongly must not put a false factor on record.
    uint32_t confirmed = 0;
    for (uint32_t r = 0; r < records; ++r) {
        uint64_t k = words[1 + 3 * r] | static_cast<uint64_t>(words[2 + 3 * r]) << 32;
        if (confirmHit(k, nCurrent)) {
            RecordFactor(k, nCurrent);
            ++confirmed;
        } else {
            ReportRejectedHit(k, nCurrent);
        }
    }
    StopIfDeviceUnreliable();
    return confirmed;
}
