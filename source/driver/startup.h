// The program's entry: banner, versions, device probe, the buffers shared with
// the device, the work loop, release. Also the fatal reporter of failing
// runtime calls.
#pragma once

#include "gpu/runtime.h"

// Runs the whole program and returns its exit status (it may also exit).
int quilbrexMain();

// Banner, versions and device block, refusing what the build cannot use, then
// the buffers shared with the device: everything before the first assignment.
void StartDevice();
// Releases the buffers StartDevice allocated.
void ReleaseDevice();

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
