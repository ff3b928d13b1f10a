// Reading a launch's proof table back from the device: its proof k, checked
// against the batch and sorted, queued for proofs.txt before the checkpoint
// moves past the batch; a table that overflowed stops the run.
#pragma once

#include <cstdint>

// Zeroes the proof table's count on both sides (nothing when the run has no
// proof table).
void ClearProofReports();

// Copies the proof table back, queues its proof k (RecordProofReports) and
// clears its count on both sides, for the batch that took `examined` odd k
// from a.
void ReadProofReports(uint64_t a, uint32_t examined);

// Queues the proof k of a copy of a proof table already on the host (its
// count and min(count, PROOF_RECORD_CAPACITY) records) in ascending order.
// A count above the table's room, or a k that is not one of the batch's odd
// k, is a device fault: the run stops with status 255, the checkpoint and the
// line before the batch.
void RecordProofReports(const uint32_t* words, uint64_t a, uint32_t examined);
