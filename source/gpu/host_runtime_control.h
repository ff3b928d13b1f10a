// Controls of the host runtime stand-in for tests: other versions, other
// device properties and injected failures, so that every start-up and batch
// path can be exercised without a GPU. The program itself never calls these.
#pragma once

#include <string>

#include "gpu/host_runtime_types.h"

enum HostRuntimeOp {
    hostOpSetDevice,
    hostOpGetDeviceProperties,
    hostOpHostAlloc,
    hostOpMalloc,
    hostOpFreeHost,
    hostOpFree,
    hostOpMemcpy,
    hostOpMemcpyAsync,
    hostOpLaunchKernel,
    hostOpDeviceSynchronize,
    hostOpMemset,
    hostOpStreamCreate,
    hostOpEventCreate,
    hostOpEventRecord,
    hostOpEventSynchronize,
    hostOpMemsetAsync,
    hostOpEventQuery,
    hostOpStreamSynchronize,
    hostOpStreamWaitEvent,
    hostOpCount
};

// Back to the honest host device: versions 10000, real properties, no
// failures, no launch hook.
void hostRuntimeReset();
void hostRuntimeSetVersions(int runtimeVersion, int driverVersion);
void hostRuntimeSetProperties(const cudaDeviceProp& prop);
// The property record the host device reports by itself.
cudaDeviceProp hostRuntimeHostProperties();
// Make the nth call of op from now on (1 = the next one) fail with code.
void hostRuntimeFailCall(HostRuntimeOp op, int nth, cudaError_t code);
// Make the nth launch from now on (1 = the next one) on stream number
// `stream` (1 = the first stream made since the last reset, 2 the next, ...) fault as
// it runs, as a kernel does on a device: the launch is accepted, writes
// nothing, and the synchronising call that waits for it, or any after it,
// reports code; launches after it fail until one has.
void hostRuntimeFaultOnStream(int stream, int nth, cudaError_t code);
// Hold back the work issued on stream number `stream` (0: none) until
// something needs it: a wait for one of its events (on the host or by another
// stream), a synchronisation, work on the legacy default stream. It then runs
// as a slow stream would, after work issued later on other streams that did
// not wait for it, so that a missing wait between streams shows.
void hostRuntimeHoldStream(int stream);
// A faulty program's waits: cudaStreamWaitEvent accepts and does nothing
// (reset: off), so that a test can show a missing wait caught.
void hostRuntimeDropStreamWaits(bool dropped);
// Launches that have started to run since the last reset: as a kernel runs,
// its own launch's serial number (launches issued on a held stream start
// later than their call).
unsigned long long hostRuntimeLaunchesStarted();
// Calls of op since the last reset.
int hostRuntimeCallCount(HostRuntimeOp op);

// Called once for every launch, after all its threads have finished and
// before anything that waits for it goes on, with the launch's kernel, shape
// and arguments (the values the kernel was given). It may change what the
// launch wrote, as a faulty device would, whichever way the kernel ran.
typedef void (*HostLaunchHook)(const void* func, dim3 grid, dim3 block, void** args);
// nullptr: no hook.
void hostRuntimeSetLaunchHook(HostLaunchHook hook);

// The seed of the order in which block-cooperative kernels run their threads
// between barriers (reset: 1). The order also varies with the launch, the
// block and the barrier.
void hostRuntimeSetScheduleSeed(unsigned long long seed);

// Whether launches watch their kernels' memory for races (reset: on).
void hostRuntimeWatchRaces(bool on);
// The last race that failed a launch, as printed on standard error ("" after
// a reset or when none was found).
std::string hostRuntimeLastRace();
