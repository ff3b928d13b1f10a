// The main loop: assignment lines one at a time, exponent by exponent, with
// the run log results.txt.
#pragma once

// Works worktodo.txt until it is empty or unusable; returns the exit status:
// 1 (no available assignment), 6 (work done) or -1 (an obsolete checkpoint
// file could not be removed).
int WorkLoop();
