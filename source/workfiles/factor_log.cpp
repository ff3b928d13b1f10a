// RecordFactorLine: a duplicate check over factors.txt (a record found is flushed), then one append flushed to disk.
#include "workfiles/factor_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quilbrex.h"
#include "workfiles/durable_file.h"
#include "workfiles/regular_file.h"
#include "workfiles/work_file_names.h"

namespace {

// A stop between a factor's record and the next checkpoint finds the factor
// again on the next start; the record must not be doubled then.
bool AlreadyRecorded(const char* line) {
    bool notRegular = false;
    FILE* file = OpenRegularFileOrStop(FACTORS_FILE, &notRegular);
    if (!file) return false;
    bool found = false;
    char* text = nullptr;
    size_t capacity = 0;
    while (!found && getline(&text, &capacity, file) >= 0) found = strcmp(text, line) == 0;
    free(text);
    fclose(file);
    return found;
}

}  // namespace

FactorLogResult RecordFactorLine(const char* line, std::string* reason) {
    if (AlreadyRecorded(line)) {
        // The record may be one a stop cut off before its flush: only once
        // it is on disk may the search move past the factor.
        return FlushExisting(FACTORS_FILE, reason) ? FACTOR_ALREADY_RECORDED : FACTOR_NOT_RECORDED;
    }
    timer = clockNow();
    const char* stamp = ctime(&timer);
    std::string record = std::string(stamp ? stamp : "") + line;
    return AppendDurably(FACTORS_FILE, record, reason) ? FACTOR_APPENDED : FACTOR_NOT_RECORDED;
}
