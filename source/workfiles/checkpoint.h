// The checkpoint file quilbrex.cpt: the position of the search in the current
// line, rewritten as a whole so that a stop at any moment leaves a usable file.
#pragma once

#include <cstdint>

// Saves the position k (the first k of nCurrent not yet searched) with the
// time accounting shared with the work loop, and prints the progress line.
void CheckPoint(uint64_t k);

// Writes the five-line checkpoint file with these values, atomically. Returns
// false, after a message on standard error, when it could not be written; the
// old file is then unchanged.
bool WriteCheckpointFile(uint32_t n, uint64_t k, uint64_t tested, double secs, uint32_t factors);

// The last stage of Read_Assignment_Line, after the line has been cut: makes
// kStart odd, restores the position from quilbrex.cpt or starts the line
// afresh, and announces which. Returns 0, or 5 when the checkpoint does not
// fit the line (a message has been printed).
int ResumeAssignment();
