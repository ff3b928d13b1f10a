// The checkpoint file quilbrex.cpt: the position of the search in the current
// line, rewritten as a whole so that a stop at any moment leaves a usable
// file, and the one place that decides when it is written and that keeps the
// search time of an exponent.
#pragma once

#include <cstddef>
#include <cstdint>

// Why the search offers to save its position.
enum CheckpointEvent {
    CHECKPOINT_BATCH_DONE,     // saved once CHECKPOINT_INTERVAL_SECONDS have passed since the last save
    CHECKPOINT_FACTOR_FOUND,   // saved now: the factor count moved on
    CHECKPOINT_STOP,           // saved now, without a progress line: a signal asked the program to stop
    CHECKPOINT_EXPONENT_DONE   // saved now, without a progress line: nCurrent is the next exponent (nEnd + 1
                               // once the line is searched through), at kStart
};

constexpr double CHECKPOINT_INTERVAL_SECONDS = 60;

// The moment a line's search begins: the interval counts from here.
void StartCheckpointClock();
// The search of an exponent (re)starts now: startTime is set.
void StartSearchTime();
// Adds the time since startTime to seconds and moves startTime to now, so
// that each second of an exponent is counted once however often it is saved.
void AccountSearchTime();

// Offers the position k (the first k of nCurrent not yet searched, every
// factor before it already recorded) for saving; writes the checkpoint when
// event calls for it and returns whether it did (for CHECKPOINT_EXPONENT_DONE:
// whether it is on disk). A stop counts the time up to the last batch done,
// not that of the batch it abandons.
bool CheckpointIfDue(uint64_t k, CheckpointEvent event);

// Saves the position k with the time accounting and prints the progress line.
void CheckPoint(uint64_t k);

// Writes the checkpoint file with these values and the line being worked
// (nStart, nEnd, kStart, kEnd), atomically, after the proof k queued so far
// (FlushProofLog). Returns false, after a message
// on standard error, when it could not be written; the old file is then
// unchanged.
bool WriteCheckpointFile(uint32_t n, uint64_t k, uint64_t tested, double secs, uint32_t factors);

// Whether quilbrex.cpt is the checkpoint of a line searched through (it names
// its line, and nCurrent is that line's nEnd + 1): a leftover once the line is
// gone, which must not stand in for the same line queued again.
bool CheckpointOfFinishedLine();

// Whether quilbrex.cpt names the line it belongs to (as every checkpoint
// this program writes does), so that no other line can take it for its own.
bool CheckpointNamesItsLine();

// The line's Starting range record, without its stamp: "Starting range:
// n=%d-%d and k=%llu-%llu\n" with the loaded line (kStart made odd).
void FormatStartRecord(char* text, size_t size);

// The last stage of Read_Assignment_Line, after the line has been cut: makes
// kStart odd, restores the position from quilbrex.cpt or starts the line
// afresh, and announces which. Returns 0, or 5 when the checkpoint does not
// fit the line (a message has been printed when its position is outside), or
// 7 when a value in it is corrupt (named on standard error; nothing touched).
int ResumeAssignment();
