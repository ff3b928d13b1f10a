// The cases of the self-test, each run through the real launch path of the
// build and decided against the host's GMP reference: known factors inside
// full batches, the edges of every member's range, and short sieved ranges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/kernel_registry.h"
#include "verify/known_factors.h"

// What one member's cases came to. A failed case adds a line to `failures`.
struct CaseTally {
    uint32_t cases = 0;
    uint32_t passed = 0;
    std::vector<std::string> failures;
};

// The member that serves k*2^n+1, or nullptr.
const KernelEntry* MemberFor(uint64_t k, uint32_t n);

// Candidates per launch of the known-factor cases for this member.
uint32_t SelfTestBatchSize(const KernelEntry& member);

// The known factor at the start, the middle and the end of a full batch of
// neighbouring multipliers that are provably not factors, and the proof k of
// the first of these batches against GMP's; four cases.
void CheckKnownFactor(const KernelEntry& member, const KnownFactor& factor, uint32_t batch, CaseTally& tally);

// The smallest and largest k of the member's width at the lowest and highest
// n of its band; four cases.
void CheckRangeEdges(const KernelEntry& member, CaseTally& tally);

// The odd k around the factor, sieved and tested by Sieve as a run would, in a
// temporary folder; one case: exactly the known factors of the range are
// announced and recorded.
void CheckSievedRange(const KnownFactor& factor, CaseTally& tally);

// With the sieve on the device: segments of the member's width sieved by the
// device and by the host, whose batches must be equal entry for entry: its
// first k, a batch that fills part way, its last k, a batch filled exactly,
// jumps of 2^32-1 and 2^32 odd k from the batch before (six cases), and the
// consecutive batches of a queued range, the device carrying each start to
// the next (one case per batch, at least five).
void CheckDeviceSieve(const KernelEntry& member, CaseTally& tally);
