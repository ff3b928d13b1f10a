// Factor reports: every hit the kernel recorded and the host confirms reaches
// standard output and factors.txt, however many one launch found.
#include "sieve/factor_report.h"

#include <cstdio>
#include <cstring>

#include "driver/startup.h"
#include "quilbrex.h"
#include "verify/hit_check.h"
#include "verify/rejected_hits.h"
#include "workfiles/assignment.h"
#include "workfiles/run_log.h"

namespace {

// The count and three records: what almost every read-back needs.
const size_t SHORT_REPORT_BYTES = 40;

}  // namespace

void AnnounceFactor(uint64_t k, uint32_t n) {
    char line[80];
    snprintf(line, sizeof line, "!!! Found factor %llu*2^%u+1 !!!\n", static_cast<unsigned long long>(k), n);
    size_t stars = strlen(line) - 1;
    char frame[79];
    memset(frame, ' ', 78);
    memset(frame, '*', stars);
    frame[78] = '\0';
    printf("\n%s\n%s%s", frame, line, frame);
    fflush(stdout);
    AppendRecord(FACTORS_FILE, line, true);
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
    // A device that computes wrongly must not put a false factor on record.
    uint32_t confirmed = 0;
    for (uint32_t r = 0; r < records; ++r) {
        uint64_t k = h_factors[1 + 3 * r] | static_cast<uint64_t>(h_factors[2 + 3 * r]) << 32;
        if (confirmHit(k, nCurrent)) {
            AnnounceFactor(k, nCurrent);
            ++confirmed;
        } else {
            ReportRejectedHit(k, nCurrent);
        }
    }

    memset(h_factors, 0, usedBytes);
    CUDA_GUARD(cudaMemcpy(d_factors, h_factors, usedBytes, cudaMemcpyHostToDevice));
    StopIfDeviceUnreliable();
    return confirmed;
}
