// Appending records to the run log and the factor log: opened in mode "a+",
// one record, closed again, so that every finished record is on disk.
#pragma once

// Appends text to path, preceded by the ctime stamp of the current time when
// stamped is true (timer is set to that time). When path cannot be opened the
// record is lost, a message goes to standard error and the result is false;
// the search goes on.
bool AppendRecord(const char* path, const char* text, bool stamped);

// Whether the last line of path begins with prefix (false when path cannot be
// read). Lets a record that a stop made the program write again be told from
// a new one.
bool LastLineBeginsWith(const char* path, const char* prefix);
