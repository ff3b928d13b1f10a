// Hits the device reported and the host check rejected: each is told on
// standard error and in the run log and counted; a line that keeps producing
// them stops the run, since its device cannot be trusted.
#pragma once

#include <cstddef>
#include <cstdint>

// So many rejected hits in one assignment line stop the run.
constexpr uint32_t REJECTED_HITS_TO_STOP = 3;

// Rejected hits of the current exponent (for its summary) and of the current
// line; the work loop resets them like kTested.
extern uint32_t rejectedHits;
extern uint32_t rejectedHitsInLine;

// Tells that the device reported k*2^n+1 and the host check rejected it, and
// counts it; past REJECTED_HITS_TO_STOP in the line it only counts. Nothing
// is announced or recorded as a factor.
void ReportRejectedHit(uint64_t k, uint32_t n);

// Ends the process with status 255 once the line has had REJECTED_HITS_TO_STOP
// rejected hits. Called after a batch's confirmed factors are recorded and
// before any checkpoint moves past the batch, so the batch is searched again.
void StopIfDeviceUnreliable();

// The summary's note on rejected hits: "" when there were none.
void RejectedHitsNote(char* text, size_t size);
