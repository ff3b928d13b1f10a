// The host stand-in's CUDA types: error codes, copy kinds, streams and
// events, grid shapes and the device property record, with the CUDA runtime's
// names; shared by the runtime and the tests' controls of it.
#pragma once

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchFailure = 719,
    cudaErrorUnknown = 999,
};

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

typedef struct CUstream_st* cudaStream_t;
typedef struct CUevent_st* cudaEvent_t;

constexpr unsigned int cudaEventDefault = 0;
constexpr unsigned int cudaEventBlockingSync = 1;
constexpr unsigned int cudaEventDisableTiming = 2;

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

struct uint3 {
    unsigned int x, y, z;
};

// The fields the program reads, as in the CUDA runtime's property record.
struct cudaDeviceProp {
    char name[256];
    int major;
    int minor;
    int multiProcessorCount;
    int clockRate;  // kHz
};
