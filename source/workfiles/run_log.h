// The run log results.txt (and other append-only records): every record on
// disk before the state that depends on it moves, each written once whatever
// the stops.
#pragma once

// Appends text to path, preceded by the ctime stamp of the current time when
// stamped is true (timer is set to that time), and flushes it to disk unless
// flush is false (a record nothing depends on goes to disk with the next
// one). A record that cannot be written stops the run with status 1 (under
// BOINC a temporary exit): the line and the checkpoint stay before it, so the
// next start writes it.
void AppendRecord(const char* path, const char* text, bool stamped, bool flush = true);

// Whether the last line of path begins with prefix (false when path cannot be
// read). Lets a record that a stop made the program write again be told from
// a new one. A record found is flushed before the answer is trusted.
bool LastLineBeginsWith(const char* path, const char* prefix);

// The Starting range record of the line (text without stamp, ending in a
// newline) begins the line's part of the run log, unless that part is open
// already: a start after a stop that left no checkpoint must not open it twice.
void LogLineStart(const char* startRecord);

// Whether the line's part of the run log (the records after its Starting
// range record, or after the last closing record) already holds a line
// beginning with prefix: an exponent summary that a stop has the program
// write again. A record found is flushed before the answer is trusted.
bool LineLogHolds(const char* startRecord, const char* prefix);

// Bytes of the run log read and searched for its open part so far (tests
// count them: the work is linear in the log's size).
extern long long runLogBytesExamined;

// The line of 80 minus signs that closes the records of a line.
extern const char RUN_LOG_RULE[];
