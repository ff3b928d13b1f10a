// The fatal reporter of failing GPU runtime calls and the guard that calls it.
#pragma once

#include "gpu/runtime.h"

// Reports a failed runtime call on standard error and ends the process with
// status 255. Callers test the result themselves and call it only on failure.
[[noreturn]] void checkCudaErrors(cudaError_t error, const char* file, int line);

// Guards a runtime call: a non-zero result goes to checkCudaErrors with the
// call site's file and line.
#define CUDA_GUARD(call)                                                         \
    do {                                                                         \
        cudaError_t guardedResult_ = (call);                                     \
        if (guardedResult_ != cudaSuccess)                                       \
            checkCudaErrors(guardedResult_, __FILE__, __LINE__);                 \
    } while (0)
