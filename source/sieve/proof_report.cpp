// The proof table of each batch: read back, checked against the batch it
// belongs to, sorted and queued for proofs.txt.
#include "sieve/proof_report.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "fatal_exit.h"
#include "gpu/cuda_guard.h"
#include "quilbrex.h"
#include "workfiles/proof_log.h"

void ClearProofReports() {
    if (!d_proofs) return;
    h_proofs[0] = 0;
    CUDA_GUARD(cudaMemcpy(d_proofs, h_proofs, 4, cudaMemcpyHostToDevice));
}

void ReadProofReports(uint64_t a, uint32_t examined) {
    if (!d_proofs) return;
    CUDA_GUARD(cudaMemcpy(h_proofs, d_proofs, 4, cudaMemcpyDeviceToHost));
    const uint32_t count = h_proofs[0];
    if (count == 0) return;
    const uint32_t records = std::min(count, PROOF_RECORD_CAPACITY);
    CUDA_GUARD(cudaMemcpy(h_proofs + 1, d_proofs + 1, 8 * static_cast<size_t>(records), cudaMemcpyDeviceToHost));
    RecordProofReports(h_proofs, a, examined);
    ClearProofReports();
}

void RecordProofReports(const uint32_t* words, uint64_t a, uint32_t examined) {
    const uint32_t count = words[0];
    if (count > PROOF_RECORD_CAPACITY) {
        fprintf(stderr,
                "\nThe device's proof table of the batch at n=%u, k=%llu is full: %u proof k for room of %u. "
                "Stopping; the checkpoint and the assignment line stay before this batch.\n",
                nCurrent, static_cast<unsigned long long>(a), count, PROOF_RECORD_CAPACITY);
        FatalExit(255);
    }
    std::vector<uint64_t> ks(count);
    for (uint32_t r = 0; r < count; ++r) ks[r] = words[1 + 2 * r] | static_cast<uint64_t>(words[2 + 2 * r]) << 32;
    // Threads append in any order; the file lists an exponent's k ascending.
    std::sort(ks.begin(), ks.end());
    for (size_t i = 0; i < ks.size(); ++i) {
        const bool twice = i > 0 && ks[i] == ks[i - 1];
        if (ks[i] >= a && (ks[i] - a) % 2 == 0 && (ks[i] - a) / 2 < examined && !twice) continue;
        fprintf(stderr,
                twice ? "\nThe device reported proof k=%llu twice for the batch at n=%u, k=%llu (%u odd k). Stopping; "
                        "the checkpoint and the assignment line stay before this batch.\n"
                      : "\nThe device reported proof k=%llu, which the batch at n=%u, k=%llu (%u odd k) does not hold. "
                        "Stopping; the checkpoint and the assignment line stay before this batch.\n",
                static_cast<unsigned long long>(ks[i]), nCurrent, static_cast<unsigned long long>(a), examined);
        FatalExit(255);
    }
    AddProofs(ks.data(), ks.size());
}
