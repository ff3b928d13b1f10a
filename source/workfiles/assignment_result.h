// What reading or removing an assignment line came to: the codes the work
// loop acts on, shared by the readers of the line and of the checkpoint.
#pragma once

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
