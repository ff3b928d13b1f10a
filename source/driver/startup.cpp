// Entry of the program: banner, version checks, device probe, the buffers
// shared with the device, the work loop and the release of the buffers.
#include "driver/startup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "boinc/boinc_adapter.h"
#include "driver/stop_signals.h"
#include "driver/work_loop.h"
#include "fatal_exit.h"
#include "sieve/device_sieve.h"
#include "gpu/cuda_guard.h"
#include "quilbrex.h"
#include "workfiles/atomic_file.h"
#include "workfiles/folder_lock.h"
#include "workfiles/work_file_names.h"

namespace {

const char* const PROGRAM_VERSION = "2.018";

// The runtime version the binary is built against: the real toolkit's in the
// CUDA build, the 10.0 runtime that the host stand-in imitates otherwise.
#ifdef QUILBREX_CUDA
const int TOOLKIT_VERSION = CUDART_VERSION;
#else
const int TOOLKIT_VERSION = 10000;
#endif

struct Architecture {
    const char* name;
    int coresPerMultiprocessor;
};

Architecture architectureOf(int major, int minor) {
    switch (major) {
        case 3: return {"Kepler", 192};
        case 5: return {"Maxwell", 128};
        case 6: return {"Pascal", 128};
        case 7:
            if (minor == 0) return {"Volta", 64};
            if (minor == 5) return {"Turing", 64};
            return {"unknown", 64};
    }
    // Newer NVIDIA generations have 128 cores per multiprocessor or a
    // multiple of it; anything older or odd (the host processor reports 0)
    // counts one core per multiprocessor.
    return {"unknown", major >= 8 ? 128 : 1};
}

// The processor clock in kHz. Newer runtimes dropped it from the property
// record and serve it as a device attribute; a failed query shows as 0.
int clockRateKHz() {
#if defined(QUILBREX_CUDA) && CUDART_VERSION >= 13000
    int clock = 0;
    if (cudaDeviceGetAttribute(&clock, cudaDevAttrClockRate, 0) != cudaSuccess) clock = 0;
    return clock;
#else
    return deviceProp.clockRate;
#endif
}

void printVersion(const char* label, int version) {
    printf("  %s%d.%d\n", label, version / 1000, (version % 1000) / 10);
}

// Whatever a killed run left behind must not be mistaken for work, and a
// second instance must not take over this one's line.
void claimWorkFolder() {
    std::string holder;
    // A folder without worktodo.txt is refused below; the lock file would be
    // all that start left there.
    struct stat work;
    const bool workHere = lstat(WORKTODO_FILE, &work) == 0 || errno != ENOENT;
    if (!LockWorkFolder(&holder, workHere)) {
        fprintf(stderr, "\nAnother quilbrex (%s) is working in this folder; stopping without touching any file.\n",
                holder.c_str());
        FatalExit(1);
    }
    RemoveStaleTemporaries(WORKTODO_FILE);
    RemoveStaleTemporaries(CHECKPOINT_FILE);
}

}  // namespace

void StartDevice() {
    // Users follow long runs through redirected output: keep each line visible
    // as soon as it is complete.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("Quilbrex_CUDA version %s\n", PROGRAM_VERSION);
    printf("\nCUDA version info\n");
    printVersion("binary compiled for CUDA  ", TOOLKIT_VERSION);
    int runtimeVersion = 0, driverVersion = 0;
    cudaRuntimeGetVersion(&runtimeVersion);
    printVersion("CUDA runtime version      ", runtimeVersion);
    cudaDriverGetVersion(&driverVersion);
    printVersion("CUDA driver version       ", driverVersion);

    if (driverVersion < TOOLKIT_VERSION) {
        printf("\nERROR: current CUDA driver version is lower than the CUDA toolkit version used during compile!\n");
        // The runtime reports version 0 when it finds no driver at all: an
        // update would not help, installing one would.
        if (driverVersion == 0)
            printf("\nERROR: no NVIDIA driver found. Install NVIDIA's driver for this GPU, or use the host build, "
                   "which needs none.\n");
        FatalExit(1);
    }
    if (runtimeVersion != TOOLKIT_VERSION) {
        printf("\nERROR: CUDA runtime version must match the CUDA toolkit version used during compile!\n");
        FatalExit(1);
    }

    const int device = BoincDevice();
    CUDA_GUARD(cudaSetDevice(device));
    CUDA_GUARD(cudaGetDeviceProperties(&deviceProp, device));
    if (deviceProp.major == 1) {
        printf("\nSorry, devices with compute capability 1.x are not supported!\n");
        FatalExit(1);
    }
    if (deviceProp.major == 2) {
        printf("\nSorry, devices with compute capability 2.x are not supported since version CUDA 9.0!\n");
        FatalExit(1);
    }

    Architecture arch = architectureOf(deviceProp.major, deviceProp.minor);
    printf("\nCUDA device info\n");
    // A BOINC client assigns the device; the block says which one it got.
    if (BOINC_BUILD) printf("  device number             %d\n", device);
    printf("  name (architecture)       %s (%s)\n", deviceProp.name, arch.name);
    printf("  compute capability        %d.%d\n", deviceProp.major, deviceProp.minor);
    printf("  streaming multiprocessors %d (%d CUDA cores)\n", deviceProp.multiProcessorCount,
           static_cast<int>(static_cast<unsigned>(arch.coresPerMultiprocessor) *
                            static_cast<unsigned>(deviceProp.multiProcessorCount)));
    printf("  processor clock           %dMHz\n", clockRateKHz() / 1000);

    cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync);

    // The candidate table is sized from the initial sizeTable: later batches
    // overwrite it with their own byte counts.
    const size_t tableBytes = 8 * static_cast<size_t>(MAX_BATCH);
    CUDA_GUARD(cudaHostAlloc(reinterpret_cast<void**>(&h_candidateTable), tableBytes, cudaHostAllocDefault));
    CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_candidateTable), tableBytes));
    CUDA_GUARD(cudaHostAlloc(reinterpret_cast<void**>(&h_factors), FACTOR_BUFFER_BYTES, cudaHostAllocDefault));
    CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_factors), FACTOR_BUFFER_BYTES));
    CUDA_GUARD(cudaHostAlloc(reinterpret_cast<void**>(&h_proofs), PROOF_TABLE_BYTES, cudaHostAllocDefault));
    CUDA_GUARD(cudaMalloc(reinterpret_cast<void**>(&d_proofs), PROOF_TABLE_BYTES));
}

void ReleaseDevice() {
    ReleaseDeviceSieve();
    CUDA_GUARD(cudaFreeHost(h_candidateTable));
    CUDA_GUARD(cudaFree(d_candidateTable));
    CUDA_GUARD(cudaFree(d_factors));
    CUDA_GUARD(cudaFreeHost(h_factors));
    CUDA_GUARD(cudaFree(d_proofs));
    CUDA_GUARD(cudaFreeHost(h_proofs));
    h_candidateTable = nullptr;
    d_candidateTable = nullptr;
    h_factors = nullptr;
    d_factors = nullptr;
    h_proofs = nullptr;
    d_proofs = nullptr;
}

void RefuseArguments(int argc) {
    if (argc <= 1) return;
    fputs("Usage: quilbrex (no arguments)\n"
          "\n"
          "quilbrex searches for factors k*2^n+1 of Fermat numbers and works in the current folder:\n"
          "  worktodo.txt  its assignments, one per line: FermatFactor=nStart,nEnd,kStart,kEnd\n"
          "                (the first line is worked and removed when it is finished)\n"
          "  factors.txt   every factor found (also shown on standard output)\n"
          "  results.txt   the run log: what was searched, in how long, and what was found\n"
          "  proofs.txt    the proof k of each searched exponent, by which anyone can check the search\n"
          "  quilbrex.cpt  the checkpoint from which a stopped run continues\n"
          "  quilbrex.lock the process that holds the folder\n"
          "Start it with no arguments in a folder that holds worktodo.txt; Ctrl-C stops it and the next start\n"
          "continues. README.md at the top of quilbrex's source tree tells more.\n",
          stdout);
    FatalExit(1);
}

int quilbrexMain() {
    StartDevice();
    claimWorkFolder();
    InstallStopHandlers();
    int result = WorkLoop();
    ReleaseDevice();
    return result;
}
