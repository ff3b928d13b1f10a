// Host stand-in for the CUDA runtime: the same names, types and error codes as
// the operations the program uses, served by the host processor (device 0).
// Memory is ordinary host memory; a launch runs the grid's logical threads on
// all hardware threads and cudaDeviceSynchronize waits for them.
#pragma once

#include <cstddef>

#include "gpu/host_runtime_types.h"

constexpr unsigned int cudaDeviceScheduleBlockingSync = 4;
// The host processor answers to this many device numbers, all the same
// device, so that a BOINC client may assign any of its GPUs to the host build.
constexpr int HOST_DEVICE_COUNT = 8;
constexpr unsigned int cudaHostAllocDefault = 0;

cudaError_t cudaRuntimeGetVersion(int* runtimeVersion);
cudaError_t cudaDriverGetVersion(int* driverVersion);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaSetDeviceFlags(unsigned int flags);
cudaError_t cudaHostAlloc(void** ptr, size_t size, unsigned int flags);
cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaLaunchKernel(const void* func, dim3 gridDim, dim3 blockDim, void** args, size_t sharedMem,
                             cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();
// Streams, events and asynchronous copies. The host device runs all work in
// the order it was issued, whatever the stream, which is one of the orders
// CUDA allows (a test may hold one stream back to try another order); an event is complete once everything issued before its record
// has finished. Waiting on an event reports a failed launch as
// cudaDeviceSynchronize does. An asynchronous copy or memset runs when the
// work before it has finished, not when it is issued: a copy into page-locked
// memory fills its destination with 0xA5 bytes until then, so a host that
// reads it before waiting sees garbage, not a plausible stale value. Copies
// to or from pageable memory behave as CUDA's do: a copy back returns once it
// is done, a copy in takes its source at once.
cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream = nullptr);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
// The stream's later work waits for the work before the event's last record.
cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags = 0);
cudaError_t cudaEventQuery(cudaEvent_t event);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
// Not a CUDA call: the host device's batches take seconds, so a stop request
// makes running and later launches end after their current blocks, leaving
// the rest of the grid untested. Safe to call from a signal handler.
void AbandonRunningLaunches();
const char* cudaGetErrorString(cudaError_t error);

// What a kernel sees of its launch, one value per logical thread.
extern thread_local uint3 blockIdx;
extern thread_local uint3 threadIdx;
extern thread_local dim3 blockDim;
extern thread_local dim3 gridDim;

// Binding of a kernel's host-side entry to its device name, as the CUDA
// runtime's module registration does. `invoke` calls the entry with argument
// addresses; `argSizes` (argCount entries) tells a launch how many bytes of
// each argument to copy, since the caller's arguments need not outlive it.
typedef void (*HostKernelInvoker)(const void* func, void** args);
// Runs the logical threads first..first+count-1 of a launch in one call, so a
// kernel can work a whole range its own way instead of thread by thread.
typedef void (*HostRangeInvoker)(const void* func, void** args, unsigned first, unsigned count);
// With a range invoker the launch hands out ranges of one block each and
// `invoke` is not used (it may be null).
void hostRegisterFunction(const void* func, const char* deviceName, HostKernelInvoker invoke, int argCount,
                          const size_t* argSizes, HostRangeInvoker invokeRange = nullptr);
// A kernel that uses shared memory and barriers: each block's logical
// threads run as fibers on one host thread, every one up to its next
// __syncthreads in a seeded shuffled order that changes at every barrier, so
// that a missing barrier or a race changes the result.
void hostRegisterBlockFunction(const void* func, const char* deviceName, HostKernelInvoker invoke, int argCount,
                               const size_t* argSizes);
// __syncthreads of the stand-in. Aborts outside a block-cooperative kernel.
void hostSyncThreads();

// The stand-in's race watch. Kernels reach their shared and global memory
// through watched references (kernels/portable.h), which report each access
// here while a launch runs. Within one barrier interval of a block (for
// global memory also between any two blocks of the launch), two accesses by
// different logical threads to the same 32-bit word race unless both read or
// both are atomic (so a plain write and any other access race, and so do an
// atomic and a plain read): the launch then fails at the next synchronising call, which reports
// cudaErrorLaunchFailure, and the race is printed on standard error naming
// the kernel, the word and both threads.
enum HostAccessKind { hostAccessRead, hostAccessWrite, hostAccessAtomic };
// One logical thread's access: its block, its thread and the barrier
// interval of its block (thread 0xFFFF: none).
struct HostAccessor {
    unsigned int block;
    unsigned short thread, interval;
};
// What a word has seen within its current tag (a launch, or a block's run
// for shared memory): of its plain accesses, plain writes and atomics, two
// accessors each that stand for all.
struct HostWordShadow {
    unsigned int tag;
    HostAccessor plain[2], write[2], atomic[2];
};
extern thread_local bool hostWatching;
// shadow: the word's shadow in shared memory, nullptr for global memory;
// index: the word's index in its shared array.
void hostWatchAccess(const void* word, HostWordShadow* shadow, unsigned int index, HostAccessKind kind);
void hostUnregisterFunctions();
// What the registered module adds to the device name, e.g. "AVX-512 IFMA":
// the name reads "host CPU: <model> (<note>)". Set before the device is read.
void hostSetDeviceNote(const char* note);
