// Lets one source of kernel arithmetic compile both as CUDA device code (nvcc)
// and as ordinary host code (g++), where the launch variables come from the
// host runtime stand-in and the device atomics map to compiler builtins.
#pragma once

#include <cstdint>
#include <memory>

#ifndef __CUDACC__

#include "gpu/runtime.h"

#ifndef __host__
#define __host__
#endif
#ifndef __device__
#define __device__
#endif
#ifndef __global__
#define __global__
#endif
#ifndef __forceinline__
#define __forceinline__ inline __attribute__((always_inline))
#endif

// Returns the old value, as the device's atomicAdd does. Sequentially
// consistent because hits are rare and the host reads the records only after
// joining the launch anyway.
inline unsigned int atomicAdd(unsigned int* address, unsigned int value) {
    return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}

#ifndef QUILBREX_CUDA
// The same for the device sieve's bit words, in shared or global memory.
inline unsigned int atomicOr(unsigned int* address, unsigned int value) {
    return __atomic_fetch_or(address, value, __ATOMIC_SEQ_CST);
}
inline int __popc(unsigned int x) { return __builtin_popcount(x); }
inline int __ffs(unsigned int x) { return __builtin_ffs(static_cast<int>(x)); }

// A block's shared memory: the stand-in runs all threads of a block on one
// host thread (as fibers), and one block at a time there.
#define __shared__ static thread_local
// Suspends the calling logical thread until every thread of its block has
// arrived (host_runtime.cpp).
inline void __syncthreads() { hostSyncThreads(); }

// Kernels that cooperate reach memory through these, so that the stand-in
// sees every access and can tell a race (host_runtime.h); the device build
// has plain pointers and arrays in their place.
template <class T>
struct WatchedAddress {
    T* address;
    HostWordShadow* shadow;
    unsigned int index;
    void watch(HostAccessKind kind) const {
        if (hostWatching) hostWatchAccess(address, shadow, index, kind);
    }
};

template <class T>
class WatchedRef {
public:
    WatchedRef(T* address, HostWordShadow* shadow, unsigned int index) : at{address, shadow, index} {}
    operator T() const {
        at.watch(hostAccessRead);
        return *at.address;
    }
    WatchedRef& operator=(T value) {
        at.watch(hostAccessWrite);
        *at.address = value;
        return *this;
    }
    WatchedRef& operator=(const WatchedRef& other) { return *this = static_cast<T>(other); }
    // A plain read-modify-write: one access, a write.
    WatchedRef& operator|=(T value) {
        at.watch(hostAccessWrite);
        *at.address |= value;
        return *this;
    }
    WatchedRef& operator+=(T value) {
        at.watch(hostAccessWrite);
        *at.address += value;
        return *this;
    }
    WatchedRef& operator-=(T value) {
        at.watch(hostAccessWrite);
        *at.address -= value;
        return *this;
    }
    WatchedAddress<T> operator&() const { return at; }

private:
    WatchedAddress<T> at;
};

// A pointer to global memory, as a kernel argument.
template <class T>
class DevicePointer {
public:
    DevicePointer(T* pointer = nullptr) : p(pointer) {}
    WatchedRef<T> operator[](size_t i) const { return WatchedRef<T>(p + i, nullptr, 0); }
    DevicePointer operator+(size_t i) const { return DevicePointer(p + i); }
    T* get() const { return p; }

private:
    T* p;
};

// A block's shared array (declared __shared__), with a shadow per word. The
// words and their shadows live on the heap, made at a thread's first use:
// every thread of the process gets the static TLS of __shared__ arrays, and
// a thread made with a small stack (the BOINC API's timer thread) cannot be
// created once that outgrows its stack, as 16 KB slices would.
template <class T, unsigned int N>
struct SharedArray {
    std::unique_ptr<T[]> data;
    std::unique_ptr<HostWordShadow[]> shadow;
    WatchedRef<T> operator[](unsigned int i) {
        if (!shadow) {
            data.reset(new T[N]());
            shadow.reset(new HostWordShadow[N]());
        }
        return WatchedRef<T>(&data[i], &shadow[i], i);
    }
};

inline unsigned int atomicAdd(WatchedAddress<unsigned int> at, unsigned int value) {
    at.watch(hostAccessAtomic);
    return atomicAdd(at.address, value);
}
inline unsigned int atomicOr(WatchedAddress<unsigned int> at, unsigned int value) {
    at.watch(hostAccessAtomic);
    return atomicOr(at.address, value);
}
#endif  // !QUILBREX_CUDA

#endif  // !__CUDACC__

#if defined(__CUDACC__) || defined(QUILBREX_CUDA)
template <class T>
using DevicePointer = T*;
template <class T, unsigned int N>
struct SharedArray {
    T data[N];
    __host__ __device__ __forceinline__ T& operator[](unsigned int i) { return data[i]; }
};
#endif

// Loops with compile-time trip counts are written out completely, so that the
// square-and-reduce of each width becomes straight-line code over registers;
// the squaring chain itself stays a loop.
#if defined(__CUDACC__)
#define QUILBREX_UNROLL _Pragma("unroll")
#define QUILBREX_NO_UNROLL _Pragma("unroll 1")
#else
#define QUILBREX_UNROLL _Pragma("GCC unroll 64")
#define QUILBREX_NO_UNROLL _Pragma("GCC unroll 1")
#endif
