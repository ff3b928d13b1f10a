// The registry of the 35 factor-test kernels: names, width and band of each
// member, lookup by name or by the candidates it serves, and the launch glue.
#include "kernels/kernel_registry.h"

#include <cstring>

#include "kernels/factor_kernels.h"
#include "kernels/kernel_list.h"

#define QUILBREX_KERNEL_ENTRY(WIDTH, BAND, LENGTH, NAME) {#NAME, "_Z" #LENGTH #NAME QUILBREX_KERNEL_PARAMETERS_MANGLED, WIDTH, BAND, NAME},

const KernelEntry kernelTable[KERNEL_COUNT] = {QUILBREX_KERNEL_FAMILY(QUILBREX_KERNEL_ENTRY)};

#undef QUILBREX_KERNEL_ENTRY

const KernelEntry* findKernel(const char* name) {
    for (const KernelEntry& entry : kernelTable)
        if (std::strcmp(entry.name, name) == 0) return &entry;
    return nullptr;
}

const KernelEntry* kernelFor(uint32_t n, uint32_t width) {
    const uint32_t band = n / 32;
    if (band < 1 || band > 18) return nullptr;
    // Band 18 has only its narrow member: a three-word K would need 21 words.
    const bool served = band == 18 ? width == 20 : (width == band + 2 || width == band + 3);
    if (!served) return nullptr;
    for (const KernelEntry& entry : kernelTable)
        if (entry.band == band && entry.width == width) return &entry;
    return nullptr;
}

cudaError_t launchKernel(const KernelEntry* entry, uint32_t blocks, unsigned int* factors, unsigned long long* table,
                         uint32_t n, unsigned int* proofs, uint32_t t, cudaStream_t stream) {
    void* args[] = {&factors, &table, &n, &proofs, &t};
    return cudaLaunchKernel(reinterpret_cast<const void*>(entry->function), dim3(blocks), dim3(256), args, 0, stream);
}

cudaError_t launchKernel(const KernelEntry* entry, uint32_t blocks, unsigned int* factors, unsigned long long* table,
                         uint32_t n, cudaStream_t stream) {
    return launchKernel(entry, blocks, factors, table, n, nullptr, 0, stream);
}
