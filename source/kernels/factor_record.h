// How a factor-test thread reports a hit or a proof k: one record per k in
// the factor report buffer or the proof table, counted in its first word.
#pragma once

#include "kernels/portable.h"
#include "quilbrex.h"

// Records beyond the buffer's capacity are counted but not written (the
// buffer has a record per thread of the largest grid, so this only guards
// against a grid larger than the program ever launches).
__device__ __forceinline__ void appendFactorRecord(unsigned int* factors, unsigned long long k) {
    const unsigned int r = atomicAdd(&factors[0], 1u);
    if (r < FACTOR_RECORD_CAPACITY) {
        factors[1 + 3 * r] = (unsigned int)k;
        factors[2 + 3 * r] = (unsigned int)(k >> 32);
    }
}

// Records beyond the table's room are counted but not written: the host finds
// the count above the room and stops the run.
__device__ __forceinline__ void appendProofRecord(unsigned int* proofs, unsigned long long k) {
    const unsigned int r = atomicAdd(&proofs[0], 1u);
    if (r < PROOF_RECORD_CAPACITY) {
        proofs[1 + 2 * r] = (unsigned int)k;
        proofs[2 + 2 * r] = (unsigned int)(k >> 32);
    }
}
