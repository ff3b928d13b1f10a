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

// The end of a work file from the start of a line on, `from` bytes into it:
// at least from the last line that `holds` accepts (the whole file when none
// does); "" when the file is missing. Read backwards in growing pieces, so
// that each exponent's start reads its own block, not the whole file. Stops
// the run when the file is there and cannot be read.
std::string ReadTail(const char* name, bool (*holds)(const std::string& line), size_t& from) {
    from = 0;
    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(name, &notRegular);
    if (!file) return "";
    std::string text;
    long size = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    for (long piece = 65536;; piece *= 2) {
        const long start = size > piece ? size - piece : 0;
        text.assign(static_cast<size_t>(size > start ? size - start : 0), '\0');
        if (size < 0 || fseek(file, start, SEEK_SET) != 0 || fread(&text[0], 1, text.size(), file) != text.size()) {
            // Read as a whole instead: a file whose size cannot be told.
            text.clear();
            rewind(file);
            char buffer[65536];
            size_t got;
            while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
            from = 0;
            break;
        }
        from = static_cast<size_t>(start);
        if (start > 0) {
            // The first line of the piece may have begun before it.
            const size_t newline = text.find('\n');
            if (newline == std::string::npos) continue;
            text.erase(0, newline + 1);
            from += newline + 1;
        }
        bool found = start == 0;
        for (size_t at = 0, end; !found && (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            found = holds(text.substr(at, end - at));
        if (found) break;
    }
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

// The closing record names the residue whose low bits the property is on, so
// that a checker need not guess it; records of older files lack it.
const char kResidueLabel[] = " r=2^-(2^(n-1))";

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
        (used == (int)line.size() || line.compare(used, std::string::npos, kResidueLabel) == 0)) {
        parsed = {true, n, t, 0};
        return true;
    }
    return false;
}

// The exponent summaries in the run log: one per closing record of proofs.txt
// once both are written.
bool never(const std::string&) { return false; }

size_t SummariesLogged() {
    size_t from;
    const std::string log = ReadTail(RESULTS_FILE, never, from);
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

bool isClosing(const std::string& line) {
    ProofLine parsed;
    return ParseLine(line, parsed) && parsed.closing;
}

// The closing records in proofs.txt: one per summary in the run log once
// both are written. Read whole, but only when the file ends in a closing
// record of the exponent about to be searched.
size_t ClosingsRecorded() {
    size_t from, count = 0;
    const std::string text = ReadTail(PROOFS_FILE, never, from);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        count += isClosing(text.substr(at, end - at));
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
    size_t from;
    const std::string text = ReadTail(PROOFS_FILE, isClosing, from);
    // Complete records only: a power cut may have cut the last line.
    size_t keep = 0;
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
        if (line.closing)
            open.clear();
        else
            open.emplace_back(at, line);
        last = line;
        lastCloses = line.closing;
        at = keep = end + 1;
    }
    if (lastCloses && last.n == n && last.t == t && ClosingsRecorded() > SummariesLogged()) {
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
        if (!TruncateDurably(PROOFS_FILE, static_cast<long long>(from + cutAt), &reason)) StopUnwritten("mend", reason);
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
        snprintf(closing, sizeof closing, "n=%u t=%u tested=%llu proofs=%llu primes=%u%s\n", blockN, blockT,
                 static_cast<unsigned long long>(tested), static_cast<unsigned long long>(blockCount), primes,
                 kResidueLabel);
        // One append: the block's last records and its closing go together.
        Append(pending + closing);
    }
    pending.clear();
    state = BLOCK_NONE;
}

uint64_t ProofCount() { return blockCount; }
