// Making work files last through a power cut: data and folder entries reach
// the disk before anything that depends on them moves on, and what the
// program finds on disk is flushed before it is trusted.
#pragma once

#include <string>

// Flushes the folder that holds the file at physicalPath (the name as opened,
// after BOINC's resolution), so that a creation, rename or removal there lasts.
// Returns false with reason set when the flush fails.
bool SyncFolderOf(const std::string& physicalPath, std::string* reason);

// These refuse a work file that is a symbolic link owned by another user
// (RefuseForeignLink).

// Appends record to the work file named logicalPath (created when missing),
// flushes it to disk (unless flush is false; a new file is always flushed),
// and flushes its folder at the first flush of the file in this process.
// Returns
// false with reason set when any step fails; a partial record may then be in
// the file, never a record that claims to be on disk and is not.
bool AppendDurably(const char* logicalPath, const std::string& record, std::string* reason, bool flush = true);

// Flushes the existing work file logicalPath and its folder, so that what was
// read from it is what a power cut leaves. A missing file is nothing to flush.
bool FlushExisting(const char* logicalPath, std::string* reason);

// Removes the work file logicalPath, if it is there, and flushes its folder.
// Refuses a folder in its place ("it is a folder, not a file").
bool RemoveDurably(const char* logicalPath, std::string* reason);

// Cuts the work file logicalPath back to its first length bytes and flushes
// it: a record that a repeated search writes again, or one a power cut tore,
// goes. Returns false with reason set when any step fails.
bool TruncateDurably(const char* logicalPath, long long length, std::string* reason);

// Stages at which these can be made to fail on purpose (tests only).
enum DurableFailStage {
    DURABLE_FAIL_NONE = 0,
    DURABLE_FAIL_APPEND,       // half the record is written, then the disk is full
    DURABLE_FAIL_FILE_SYNC,    // flushing a file fails with an I/O error
    DURABLE_FAIL_FOLDER_SYNC   // flushing a folder fails with an I/O error
};
// The program leaves it at DURABLE_FAIL_NONE; path limits it to one file
// (nullptr: every file).
extern int durableFailAt;
extern const char* durableFailPath;
// How many operations of that stage on that file succeed before the failure.
extern int durableFailSkip;
