// The registry of the 35 factor-test kernels: plain and mangled names, width
// and band of each member, lookup by name or by the candidates it serves, and
// the launch glue used for every batch.
#pragma once

#include <cstdint>

#include "gpu/runtime.h"

// The host-side entry of every member: factor report buffer, candidate table,
// n, proof table, proof bits t.
typedef void (*KernelFunction)(unsigned int*, unsigned long long*, unsigned int, unsigned int*, unsigned int);

struct KernelEntry {
    const char* name;         // plain name, as printed in the Runtime options block
    const char* mangledName;  // device name, e.g. "_Z20quilbrex96bit_n32_63PjPyjS_j"
    uint32_t width;           // words of p
    uint32_t band;            // serves n from 32*band to 32*band+31
    KernelFunction function;
};

constexpr int KERNEL_COUNT = 35;
extern const KernelEntry kernelTable[KERNEL_COUNT];

// The member with this plain name, or nullptr.
const KernelEntry* findKernel(const char* name);
// The member of band n/32 and the given width, or nullptr when no member serves them.
const KernelEntry* kernelFor(uint32_t n, uint32_t width);

// Launches entry over blocks x 256 threads on stream (the default stream
// unless given) with the kernel arguments: the proof k go to proofs, at
// proof bits t; without a proof table (nullptr) the launch reports factors
// only. Returns whether the device took the launch; a failure while it runs,
// as with a real launch, is only seen at the next synchronisation.
cudaError_t launchKernel(const KernelEntry* entry, uint32_t blocks, unsigned int* factors, unsigned long long* table,
                         uint32_t n, unsigned int* proofs, uint32_t t, cudaStream_t stream = 0);
// The same without a proof table.
cudaError_t launchKernel(const KernelEntry* entry, uint32_t blocks, unsigned int* factors, unsigned long long* table,
                         uint32_t n, cudaStream_t stream = 0);
