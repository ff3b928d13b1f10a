// checkCudaErrors: the runtime's error text on standard error, then status 255.
#include "gpu/cuda_guard.h"

#include <cstdio>
#include <cstring>

#include "boinc/boinc_adapter.h"
#include "fatal_exit.h"

namespace {

// The source path below source/, so messages do not depend on where the
// tree was built.
const char* sourceName(const char* file) {
    const char* marker = std::strstr(file, "source/");
    return marker ? marker + 7 : file;
}

}  // namespace

void checkCudaErrors(cudaError_t error, const char* file, int line) {
    fprintf(stderr, "%s(%i) : CUDA Runtime API error %d: %s.\n", sourceName(file), line, static_cast<int>(error),
            cudaGetErrorString(error));
    BoincLeaveAfterRuntimeError(static_cast<int>(error), cudaGetErrorString(error));
    FatalExit(255);
}
