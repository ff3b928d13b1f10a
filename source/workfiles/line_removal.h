// Removal of the finished or rejected first line of the assignment file.
#pragma once

// Removes the first line of path (at most 99 characters of it), then
// quilbrex.cpt; returns 0 when something is left, 6 when the file is left
// empty. Ends the process with status 1 when path cannot be read or written
// back (the file and the checkpoint are then left as they were).
int Delete_Assignment_Line(const char* path);
