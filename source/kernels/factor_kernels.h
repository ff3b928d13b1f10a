// Declarations of the 35 factor-test kernels, one per member of the family,
// under their plain names; their mangled names encode
// (unsigned int*, unsigned long long*, unsigned int, unsigned int*, unsigned int).
#pragma once

#include "kernels/kernel_list.h"

// nvcc must see the same __global__ qualifier as on the definitions; the host
// compilers of both builds see ordinary functions (in the CUDA build they are
// nvcc's launch stubs, which carry the same names).
#ifdef __CUDACC__
#define QUILBREX_DECLARE_KERNEL(WIDTH, BAND, LENGTH, NAME) \
    __global__ void NAME(unsigned int* factors, unsigned long long* candidates, unsigned int n, unsigned int* proofs, \
                         unsigned int t);
#else
#define QUILBREX_DECLARE_KERNEL(WIDTH, BAND, LENGTH, NAME) \
    void NAME(unsigned int* factors, unsigned long long* candidates, unsigned int n, unsigned int* proofs, unsigned int t);
#endif

QUILBREX_KERNEL_FAMILY(QUILBREX_DECLARE_KERNEL)

#undef QUILBREX_DECLARE_KERNEL
