// AppendRecord and the run log's open part: records appended and flushed, and the records of the line under way read back from the end.
#include "workfiles/run_log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "fatal_exit.h"
#include "quilbrex.h"
#include "workfiles/durable_file.h"
#include "workfiles/regular_file.h"
#include "workfiles/work_file_names.h"

long long runLogBytesExamined = 0;

const char RUN_LOG_RULE[] = "--------------------------------------------------------------------------------";

namespace {

[[noreturn]] void StopUnrecorded(const char* path, const std::string& reason) {
    fprintf(stderr,
            "\nCan't write a record to %s: %s. Stopping; the assignment line and the checkpoint stay before it, so "
            "the next start writes it.\n",
            path, reason.c_str());
    FatalExitRetryLater(1, "results.txt cannot be written");
}

// What was read is only trusted once it is on disk.
void Trust(const char* path) {
    std::string reason;
    if (!FlushExisting(path, &reason)) StopUnrecorded(path, reason);
}

// The text of path after its last closing rule (all of it when there is
// none), read backwards from the end: a line's records are few, however long
// the run log has grown. Each byte is read and searched once, so a log
// without any rule costs its size, not its size squared.
std::string OpenPart(const char* path) {
    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(path, &notRegular);
    if (!file) return "";
    const std::string rule = std::string(RUN_LOG_RULE) + "\n";
    fseek(file, 0, SEEK_END);
    long end = ftell(file);
    const long CHUNK = 16384;
    std::vector<std::string> parts;  // from the end of the file backwards
    std::string following;           // what follows the part being searched, as far as a rule could reach
    size_t openFrom = std::string::npos;  // within parts.back(): where the open part begins
    while (end > 0 && openFrom == std::string::npos) {
        long start = end > CHUNK ? end - CHUNK : 0;
        // One byte more before the part: a rule counts only at a line's start.
        long from = start > 0 ? start - 1 : 0;
        std::string block(static_cast<size_t>(end - from), '\0');
        fseek(file, from, SEEK_SET);
        block.resize(fread(&block[0], 1, block.size(), file));
        runLogBytesExamined += static_cast<long long>(block.size() + following.size());
        const size_t first = static_cast<size_t>(start - from);
        if (block.size() < first) break;
        const std::string window = block + following;
        for (size_t at = window.rfind(rule); at != std::string::npos && at >= first;
             at = at > first ? window.rfind(rule, at - 1) : std::string::npos) {
            if (at == 0 || window[at - 1] == '\n') {
                openFrom = at - first + rule.size();
                break;
            }
        }
        parts.push_back(block.substr(first));
        following = parts.back().substr(0, rule.size() - 1);
        end = start;
    }
    fclose(file);
    // The rule may end in the part after the one it begins in.
    size_t skip = openFrom == std::string::npos ? 0 : openFrom;
    std::string open;
    for (size_t i = parts.size(); i-- > 0;) {
        size_t from = std::min(skip, parts[i].size());
        skip -= from;
        open.append(parts[i], from, std::string::npos);
    }
    return open;
}

// Where the records of the line begin within the open part: after its own
// Starting range record, else after the last one of any line.
size_t LineRecordsStart(const std::string& open, const char* startRecord) {
    size_t at = open.rfind(std::string("\n") + startRecord);
    if (at == std::string::npos && open.compare(0, strlen(startRecord), startRecord) == 0) return 0;
    if (at == std::string::npos) at = open.rfind("\nStarting range: ");
    return at == std::string::npos ? 0 : at + 1;
}

bool HoldsLineBeginning(const std::string& text, size_t from, const std::string& prefix) {
    for (size_t at = from; at < text.size();) {
        if (text.compare(at, prefix.size(), prefix) == 0) return true;
        size_t next = text.find('\n', at);
        if (next == std::string::npos) break;
        at = next + 1;
    }
    return false;
}

}  // namespace

bool LastLineBeginsWith(const char* path, const char* prefix) {
    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(path, &notRegular);
    if (!file) return false;
    // A record is far shorter than this; only the file's tail is read.
    char tail[512] = "";
    fseek(file, 0, SEEK_END);
    long length = ftell(file);
    long start = length > static_cast<long>(sizeof tail) - 1 ? length - static_cast<long>(sizeof tail) + 1 : 0;
    fseek(file, start, SEEK_SET);
    size_t got = fread(tail, 1, sizeof tail - 1, file);
    fclose(file);
    tail[got] = '\0';
    if (got == 0 || tail[got - 1] != '\n') return false;
    tail[got - 1] = '\0';
    const char* last = strrchr(tail, '\n');
    last = last ? last + 1 : tail;
    if (strncmp(last, prefix, strlen(prefix)) != 0) return false;
    Trust(path);
    return true;
}

void LogLineStart(const char* startRecord) {
    std::string open = OpenPart(RESULTS_FILE);
    std::string line = startRecord;
    if (open.compare(0, line.size(), line) == 0 || open.find("\n" + line) != std::string::npos) {
        Trust(RESULTS_FILE);
        return;
    }
    // On disk before any checkpoint of the line: a restart from one continues
    // the line and never writes the record again.
    AppendRecord(RESULTS_FILE, startRecord, true);
}

bool LineLogHolds(const char* startRecord, const char* prefix) {
    std::string open = OpenPart(RESULTS_FILE);
    if (!HoldsLineBeginning(open, LineRecordsStart(open, startRecord), prefix)) return false;
    Trust(RESULTS_FILE);
    return true;
}

void AppendRecord(const char* path, const char* text, bool stamped, bool flush) {
    const char* stamp = "";
    if (stamped) {
        timer = clockNow();
        const char* now = ctime(&timer);
        if (now) stamp = now;
    }
    std::string reason;
    if (!AppendDurably(path, std::string(stamp) + text, &reason, flush)) StopUnrecorded(path, reason);
}
