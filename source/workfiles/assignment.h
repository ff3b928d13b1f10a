// Reading the first line of the assignment file: validation, cutting it into
// lines one kernel can serve, and resuming from the checkpoint file.
#pragma once

#include <cstdint>

#include "workfiles/work_file_names.h"

// Results of Read_Assignment_Line (0 to 5) and Delete_Assignment_Line (0 or 6).
enum AssignmentResult {
    ASSIGNMENT_OK = 0,             // a valid line is loaded
    ASSIGNMENT_EMPTY_FILE = 1,     // nothing to read
    ASSIGNMENT_BLANK_LINE = 2,     // first line empty or white space only
    ASSIGNMENT_FOREIGN_LINE = 3,   // first line does not begin with "FermatFactor="
    ASSIGNMENT_INVALID_LINE = 4,   // a value out of range; a message was printed
    ASSIGNMENT_OBSOLETE_CHECKPOINT = 5,  // the checkpoint does not fit the line
    ASSIGNMENT_FILE_NOW_EMPTY = 6,  // Delete_Assignment_Line removed the last line
    ASSIGNMENT_CORRUPT_CHECKPOINT = 7  // a checkpoint value is unreadable; a message was printed
};


// Loads the first line of path into nStart, nEnd, kStart (made odd), kEnd and
// the resume state nCurrent, kCurrent, kTested, seconds, foundFactors.
// Ends the process with status 1 when path cannot be opened, or when a cut
// line cannot be written back (the file is then left as it was).
int Read_Assignment_Line(const char* path);
