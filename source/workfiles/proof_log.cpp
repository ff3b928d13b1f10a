// The proof log proofs.txt: a block of proof k per exponent and its closing
// record, queued per batch, appended and flushed before each checkpoint, and
// mended at the start of a block so that a repeated search neither doubles
// nor loses a record.
#include "workfiles/proof_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fatal_exit.h"
#include "workfiles/durable_file.h"
#include "workfiles/regular_file.h"
#include "workfiles/work_file_names.h"

namespace {

enum BlockState { BLOCK_NONE, BLOCK_WRITING, BLOCK_WRITTEN };

BlockState state = BLOCK_NONE;
uint32_t blockN, blockT;
uint64_t blockCount;
std::string pending;

// The whole of a work file, "" when it is missing; stops the run when it is
// there and cannot be read.
std::string ReadWhole(const char* name) {
    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(name, &notRegular);
    std::string text;
    if (!file) return text;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    fclose(file);
    return text;
}

[[noreturn]] void StopUnwritten(const char* what, const std::string& reason) {
    fprintf(stderr,
            "\nCan't %s %s: %s. Stopping; the assignment line and the checkpoint stay before the proof k not on "
            "disk, so the next start finds them again.\n",
            what, PROOFS_FILE, reason.c_str());
    FatalExitRetryLater(1, "proofs.txt cannot be written");
}

struct ProofLine {
    bool closing;
    uint32_t n, t;
    uint64_t k;
};

// One line of proofs.txt without its newline; false when it is no record.
bool ParseLine(const std::string& line, ProofLine& parsed) {
    unsigned n, t, primes;
    unsigned long long k, tested, proofs;
    int used = -1;
    if (sscanf(line.c_str(), "n=%u t=%u k=%llu%n", &n, &t, &k, &used) == 3 && used == (int)line.size()) {
        parsed = {false, n, t, k};
        return true;
    }
    used = -1;
    if (sscanf(line.c_str(), "n=%u t=%u tested=%llu proofs=%llu primes=%u%n", &n, &t, &tested, &proofs, &primes,
               &used) == 5 &&
        used == (int)line.size()) {
        parsed = {true, n, t, 0};
        return true;
    }
    return false;
}

// The exponent summaries in the run log: one per closing record of proofs.txt
// once both are written.
size_t SummariesLogged() {
    const std::string log = ReadWhole(RESULTS_FILE);
    size_t count = 0, at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(at, end - at);
        unsigned n;
        int used = -1;
        if (sscanf(line.c_str(), "n=%u: tested %n", &n, &used) == 1 && used > 0) ++count;
        at = end + 1;
    }
    return count;
}

void Append(const std::string& text) {
    if (text.empty()) return;
    std::string reason;
    if (!AppendDurably(PROOFS_FILE, text, &reason)) StopUnwritten("append proof records to", reason);
}

}  // namespace

std::string ProofRecord(uint32_t n, uint32_t t, uint64_t k) {
    char line[80];
    snprintf(line, sizeof line, "n=%u t=%u k=%llu\n", n, t, static_cast<unsigned long long>(k));
    return line;
}

void BeginProofBlock(uint32_t n, uint32_t t, uint64_t kResume, bool summaryLogged) {
    blockN = n;
    blockT = t;
    blockCount = 0;
    pending.clear();
    state = BLOCK_WRITING;
    if (summaryLogged) {
        state = BLOCK_WRITTEN;
        return;
    }
    const std::string text = ReadWhole(PROOFS_FILE);
    // Complete records only: a power cut may have cut the last line.
    size_t keep = 0, closings = 0;
    bool lastCloses = false;
    ProofLine last{};
    std::vector<std::pair<size_t, ProofLine>> open;  // the records after the last closing record
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        ProofLine line;
        if (!ParseLine(text.substr(at, end - at), line)) {
            // Only the program writes this file: a last line that is no
            // record is one whose bytes a power cut kept from the disk. One
            // with records after it stays as it is, for the checker to name.
            if (end + 1 == text.size()) break;
            at = keep = end + 1;
            continue;
        }
        if (line.closing) {
            ++closings;
            open.clear();
        } else {
            open.emplace_back(at, line);
        }
        last = line;
        lastCloses = line.closing;
        at = keep = end + 1;
    }
    if (lastCloses && last.n == n && last.t == t && closings > SummariesLogged()) {
        // Closed, and the summary that follows it never written: the block is
        // whole, and the search is repeated for the run log only.
        state = BLOCK_WRITTEN;
        return;
    }
    // Of the open block only this exponent's records below kResume stay.
    size_t cutAt = keep;
    for (const auto& record : open) {
        const ProofLine& line = record.second;
        if (line.n != n || line.t != t || line.k >= kResume) {
            cutAt = record.first;
            break;
        }
        ++blockCount;
    }
    if (cutAt < text.size()) {
        std::string reason;
        if (!TruncateDurably(PROOFS_FILE, cutAt, &reason)) StopUnwritten("mend", reason);
    }
}

void AddProofs(const uint64_t* ks, size_t count) {
    if (state != BLOCK_WRITING) return;
    for (size_t i = 0; i < count; ++i) pending += ProofRecord(blockN, blockT, ks[i]);
    blockCount += count;
}

void FlushProofLog() {
    if (state != BLOCK_WRITING) {
        pending.clear();
        return;
    }
    Append(pending);
    pending.clear();
}

void EndProofBlock(uint64_t tested, uint32_t primes) {
    if (state == BLOCK_WRITING) {
        char closing[160];
        snprintf(closing, sizeof closing, "n=%u t=%u tested=%llu proofs=%llu primes=%u\n", blockN, blockT,
                 static_cast<unsigned long long>(tested), static_cast<unsigned long long>(blockCount), primes);
        // One append: the block's last records and its closing go together.
        Append(pending + closing);
    }
    pending.clear();
    state = BLOCK_NONE;
}

uint64_t ProofCount() { return blockCount; }
