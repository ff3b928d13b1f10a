// AppendRecord: one record appended to the run log or the factor log, the file opened and closed around it.
#include "workfiles/run_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "boinc/boinc_adapter.h"
#include "quilbrex.h"
#include "workfiles/regular_file.h"

bool LastLineBeginsWith(const char* path, const char* prefix) {
    bool notRegular = false;
    FILE* file = OpenRegularFile(path, &notRegular);
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
    return strncmp(last, prefix, strlen(prefix)) == 0;
}

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
