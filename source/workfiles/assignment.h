// Reading the first line of the assignment file: validation, cutting it into
// lines one kernel can serve, and resuming from the checkpoint file.
#pragma once

#include <cstdint>

#include "workfiles/assignment_result.h"
#include "workfiles/work_file_names.h"

// Loads the first line of path into nStart, nEnd, kStart (made odd), kEnd and
// the resume state nCurrent, kCurrent, kTested, seconds, foundFactors.
// Ends the process with status 1 when path cannot be opened, or when a cut
// line cannot be written back (the file is then left as it was).
int Read_Assignment_Line(const char* path);
