// The GPU runtime operations the program relies on: the real CUDA runtime in
// the CUDA build, our host stand-in otherwise. Driver code includes only this.
#pragma once

#ifdef QUILBREX_CUDA
#include <cuda_runtime.h>
// A GPU batch is short: a stop simply waits for it.
inline void AbandonRunningLaunches() {}
#else
#include "gpu/host_runtime.h"
#endif
