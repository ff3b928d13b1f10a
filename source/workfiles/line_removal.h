// Removal of the finished or rejected first line of the assignment file.
#pragma once

// Removes quilbrex.cpt and the first line of path (at most 99 characters of
// it); returns 0 when something is left, 6 when the file is left empty.
// Ends the process with status 1 when path cannot be read or written back
// (the file is then left as it was).
int Delete_Assignment_Line(const char* path);
