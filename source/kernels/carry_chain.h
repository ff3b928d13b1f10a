// Carry-chain primitives on 32-bit words: on the device each is one PTX
// instruction reading or writing the thread's single carry flag; on the host a
// plain C++ twin with the same result and the same flag, kept per thread.
// With QUILBREX_CARRY_DISCIPLINE defined the host twins also check that every
// carry-in reads the carry-out that was set for it, so that a composition the
// device would get wrong (two chains interleaved, a chain read after it was
// closed, a borrow read as a carry) fails on the host.
#pragma once

#include <cstdint>

#include "kernels/portable.h"

#ifndef __CUDA_ARCH__
#include <cstdio>
#include <cstdlib>
#endif

// The device inlines the whole squaring into the kernel; the host compiles
// each member's squaring once, as a function of its own, which keeps the
// compile time of the host build and the tests down.
#ifdef __CUDA_ARCH__
#define QUILBREX_SQUARING_INLINE __forceinline__
#else
#define QUILBREX_SQUARING_INLINE inline
#endif

// The checked and the plain twins must never be merged by the linker when a
// test built with the check links the library built without it.
#ifdef QUILBREX_CARRY_DISCIPLINE
#define QUILBREX_CARRY_NAMESPACE carry_checked
#else
#define QUILBREX_CARRY_NAMESPACE carry_plain
#endif

inline namespace QUILBREX_CARRY_NAMESPACE {

#ifndef __CUDA_ARCH__

// The host's carry flag: one per thread, as on the device. A subtraction's
// flag is its borrow, as in PTX. `pending` and `borrow` serve the check only.
struct CarryFlag {
    uint32_t value = 0;
    bool pending = false;
    bool borrow = false;
};
inline thread_local CarryFlag carryFlag;

[[noreturn]] inline void carryChainBroken(const char* what) {
    std::fprintf(stderr, "carry chain broken: %s\n", what);
    std::abort();
}

// A primitive without carry-in starts a chain: no carry may be waiting.
inline void carryStarts() {
#ifdef QUILBREX_CARRY_DISCIPLINE
    if (carryFlag.pending) carryChainBroken("a chain starts while another chain's carry is still unread");
#endif
}

// A primitive with carry-in continues the chain whose carry-out is waiting.
inline uint32_t carryTaken(bool borrow) {
#ifdef QUILBREX_CARRY_DISCIPLINE
    if (!carryFlag.pending) carryChainBroken("a carry-in follows no carry-out");
    if (carryFlag.borrow != borrow)
        carryChainBroken(borrow ? "a borrow-in reads an addition's carry" : "a carry-in reads a subtraction's borrow");
#else
    (void)borrow;
#endif
    return carryFlag.value;
}

inline void carrySet(uint64_t wide, bool borrow) {
    carryFlag.value = (uint32_t)(wide >> 32) & 1u;
    carryFlag.pending = true;
    carryFlag.borrow = borrow;
}

inline void carryClosed() { carryFlag.pending = false; }

#endif  // !__CUDA_ARCH__

// a + b, carry out.
__host__ __device__ __forceinline__ uint32_t addCarryOut(uint32_t a, uint32_t b) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("add.cc.u32 %0, %1, %2;" : "=r"(d) : "r"(a), "r"(b));
    return d;
#else
    carryStarts();
    const uint64_t s = (uint64_t)a + b;
    carrySet(s, false);
    return (uint32_t)s;
#endif
}

// a + b + carry, carry out.
__host__ __device__ __forceinline__ uint32_t addCarryInOut(uint32_t a, uint32_t b) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("addc.cc.u32 %0, %1, %2;" : "=r"(d) : "r"(a), "r"(b));
    return d;
#else
    const uint64_t s = (uint64_t)a + b + carryTaken(false);
    carrySet(s, false);
    return (uint32_t)s;
#endif
}

// a + b + carry, closing the chain.
__host__ __device__ __forceinline__ uint32_t addCarryIn(uint32_t a, uint32_t b) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("addc.u32 %0, %1, %2;" : "=r"(d) : "r"(a), "r"(b));
    return d;
#else
    const uint32_t s = a + b + carryTaken(false);
    carryClosed();
    return s;
#endif
}

// a - b, borrow out.
__host__ __device__ __forceinline__ uint32_t subBorrowOut(uint32_t a, uint32_t b) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("sub.cc.u32 %0, %1, %2;" : "=r"(d) : "r"(a), "r"(b));
    return d;
#else
    carryStarts();
    const uint64_t s = (uint64_t)a - b;
    carrySet(s, true);
    return (uint32_t)s;
#endif
}

// a - b - borrow, borrow out.
__host__ __device__ __forceinline__ uint32_t subBorrowInOut(uint32_t a, uint32_t b) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("subc.cc.u32 %0, %1, %2;" : "=r"(d) : "r"(a), "r"(b));
    return d;
#else
    const uint64_t s = (uint64_t)a - b - carryTaken(true);
    carrySet(s, true);
    return (uint32_t)s;
#endif
}

// a - b - borrow, closing the chain.
__host__ __device__ __forceinline__ uint32_t subBorrowIn(uint32_t a, uint32_t b) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("subc.u32 %0, %1, %2;" : "=r"(d) : "r"(a), "r"(b));
    return d;
#else
    const uint32_t s = a - b - carryTaken(true);
    carryClosed();
    return s;
#endif
}

// low half of a*b, plus c, carry out.
__host__ __device__ __forceinline__ uint32_t madLoCarryOut(uint32_t a, uint32_t b, uint32_t c) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("mad.lo.cc.u32 %0, %1, %2, %3;" : "=r"(d) : "r"(a), "r"(b), "r"(c));
    return d;
#else
    carryStarts();
    const uint64_t s = (uint64_t)(a * b) + c;
    carrySet(s, false);
    return (uint32_t)s;
#endif
}

// low half of a*b, plus c and carry, carry out.
__host__ __device__ __forceinline__ uint32_t madLoCarryInOut(uint32_t a, uint32_t b, uint32_t c) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("madc.lo.cc.u32 %0, %1, %2, %3;" : "=r"(d) : "r"(a), "r"(b), "r"(c));
    return d;
#else
    const uint64_t s = (uint64_t)(a * b) + c + carryTaken(false);
    carrySet(s, false);
    return (uint32_t)s;
#endif
}

// low half of a*b, plus c and carry, closing the chain.
__host__ __device__ __forceinline__ uint32_t madLoCarryIn(uint32_t a, uint32_t b, uint32_t c) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("madc.lo.u32 %0, %1, %2, %3;" : "=r"(d) : "r"(a), "r"(b), "r"(c));
    return d;
#else
    const uint32_t s = a * b + c + carryTaken(false);
    carryClosed();
    return s;
#endif
}

// high half of a*b, plus c, carry out.
__host__ __device__ __forceinline__ uint32_t madHiCarryOut(uint32_t a, uint32_t b, uint32_t c) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("mad.hi.cc.u32 %0, %1, %2, %3;" : "=r"(d) : "r"(a), "r"(b), "r"(c));
    return d;
#else
    carryStarts();
    const uint64_t s = (((uint64_t)a * b) >> 32) + c;
    carrySet(s, false);
    return (uint32_t)s;
#endif
}

// high half of a*b, plus c and carry, carry out.
__host__ __device__ __forceinline__ uint32_t madHiCarryInOut(uint32_t a, uint32_t b, uint32_t c) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("madc.hi.cc.u32 %0, %1, %2, %3;" : "=r"(d) : "r"(a), "r"(b), "r"(c));
    return d;
#else
    const uint64_t s = (((uint64_t)a * b) >> 32) + c + carryTaken(false);
    carrySet(s, false);
    return (uint32_t)s;
#endif
}

// high half of a*b, plus c and carry, closing the chain.
__host__ __device__ __forceinline__ uint32_t madHiCarryIn(uint32_t a, uint32_t b, uint32_t c) {
#ifdef __CUDA_ARCH__
    uint32_t d;
    asm volatile("madc.hi.u32 %0, %1, %2, %3;" : "=r"(d) : "r"(a), "r"(b), "r"(c));
    return d;
#else
    const uint32_t s = (uint32_t)(((uint64_t)a * b) >> 32) + c + carryTaken(false);
    carryClosed();
    return s;
#endif
}

// The whole 64-bit product a*b, no flag. Written as one instruction on the
// device: left to the compiler, a product of two zero-extended words that it
// has hoisted out of a loop becomes a 64x64-bit multiply, whose high-word
// terms ptxas keeps as additions of a register it knows to be zero.
__host__ __device__ __forceinline__ uint64_t mulWide(uint32_t a, uint32_t b) {
#ifdef __CUDA_ARCH__
    uint64_t d;
    asm("mul.wide.u32 %0, %1, %2;" : "=l"(d) : "r"(a), "r"(b));
    return d;
#else
    return (uint64_t)a * b;
#endif
}

}  // inline namespace QUILBREX_CARRY_NAMESPACE
