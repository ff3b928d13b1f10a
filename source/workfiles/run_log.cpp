// AppendRecord: one record appended to the run log or the factor log, the file opened and closed around it.
#include "workfiles/run_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boinc/boinc_adapter.h"
#include "quilbrex.h"

bool AppendRecord(const char* path, const char* text, bool stamped) {
    const char* stamp = "";
    if (stamped) {
        timer = clockNow();
        const char* now = ctime(&timer);
        if (now) stamp = now;
    }
    FILE* file = fopen(BoincFileName(path), "a+");
    if (!file) {
        fprintf(stderr, "\nCan't open %s to add a record: %s. The record is lost; the search goes on.\n", path,
                strerror(errno));
        return false;
    }
    bool ok = fprintf(file, "%s%s", stamp, text) >= 0;
    int closeError = fclose(file) == 0 ? 0 : errno;
    if (!ok || closeError != 0) {
        fprintf(stderr, "\nCan't write a record to %s: %s. The search goes on.\n", path,
                strerror(closeError ? closeError : EIO));
        return false;
    }
    return true;
}
