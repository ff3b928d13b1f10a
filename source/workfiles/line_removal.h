// Removal of the finished or rejected first line of the assignment file.
#pragma once

// Removes the first line of path (the whole line, however long), then
// quilbrex.cpt, unless the line was blank or no assignment and the checkpoint
// names its own line (one further down); returns 0 when something is left, 6
// when the file is left
// empty. Ends the process with status 1 when path cannot be read or written
// back (the file and the checkpoint are then left as they were), or when the
// checkpoint cannot be removed.
int Delete_Assignment_Line(const char* path);

// Removes quilbrex.cpt, whose line is gone, and flushes the folder; stops
// with status 1 when it cannot (a folder in its place, say).
void RemoveLeftoverCheckpoint();
