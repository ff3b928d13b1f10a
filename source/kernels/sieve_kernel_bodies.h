// The device sieve's kernel bodies: nvcc compiles them for the device, the
// host build for the stand-in; nothing else includes them. Their loops stay
// loops (the trip counts vary from thread to thread anyway), which keeps each
// one a loop of its own in the SASS that the profile reads.
#pragma once

#include "kernels/sieve_kernels.h"

// The bits of word w of slice s that stand for k inside the segment.
__device__ __forceinline__ uint32_t insideSegment(const DeviceSieveArgs& s, uint32_t slice, uint32_t w) {
    const uint32_t first = slice * SIEVE_SLICE_BITS + 32 * w;
    if (first >= s.length) return 0;
    const uint32_t inside = s.length - first;
    return inside >= 32 ? 0xFFFFFFFFu : (1u << inside) - 1;
}

// Per exponent, one thread per prime.
__device__ __forceinline__ void sieveInverses(const DeviceSieveArgs& s) {
    const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < s.primeCount) s.inverses[i] = inverseTwoPower(s.primes[i], s.n);
}

// At a segment that does not follow the last one (the first of an
// exponent), one thread per prime: where each prime first crosses out, by the
// 64-bit remainders that the batches following one another do without.
__device__ __forceinline__ void sieveStarts(const DeviceSieveArgs& s) {
    const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < s.primeCount) s.offsets[i] = firstSievedIndex(s.primes[i], s.inverses[i], s.a);
}

// Per batch, one thread per prime: each prime's start moves on by the odd k
// since the last batch (one 32-bit remainder); the large ones, which hit a
// slice at most once, cross out their few bits straight in global memory.
__device__ __forceinline__ void sieveLarge(const DeviceSieveArgs& s) {
    const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= s.primeCount) return;
    const uint32_t q = s.primes[i];
    const uint32_t back = s.advance % q, last = s.offsets[i];
    const uint32_t j = last >= back ? last - back : last + (q - back);
    s.offsets[i] = j;
    if (i < s.smallCount) return;
    QUILBREX_NO_UNROLL
    for (uint32_t bit = j; bit < s.length; bit += q) {
        atomicOr(&s.bits[bit >> 5], 1u << (bit & 31));
        if (s.length - bit <= q) break;  // the next step would pass 2^32
    }
}

// Per batch, one block per slice: the small primes cross out in shared
// memory over what the large ones left, then the slice's survivors are
// counted. DROPPED names a barrier left out (tests only; 0 keeps them all).
template <int DROPPED>
__device__ __forceinline__ void sieveSmall(const DeviceSieveArgs& s) {
    __shared__ uint32_t words[SIEVE_SLICE_WORDS];
    __shared__ uint32_t survivors;
    const uint32_t slice = blockIdx.x;
    uint32_t* global = s.bits + slice * SIEVE_SLICE_WORDS;
    QUILBREX_NO_UNROLL
    for (uint32_t w = threadIdx.x; w < SIEVE_SLICE_WORDS; w += blockDim.x) words[w] = global[w];
    if (threadIdx.x == 0) survivors = 0;
    if (DROPPED != 1) __syncthreads();

    const uint32_t first = slice * SIEVE_SLICE_BITS;
    QUILBREX_NO_UNROLL
    for (uint32_t i = threadIdx.x; i < s.smallCount; i += blockDim.x) {
        const uint32_t q = s.primes[i];
        QUILBREX_NO_UNROLL
        for (uint32_t bit = (s.offsets[i] + q - first % q) % q; bit < SIEVE_SLICE_BITS; bit += q)
            atomicOr(&words[bit >> 5], 1u << (bit & 31));
    }
    if (DROPPED != 2) __syncthreads();

    uint32_t count = 0;
    QUILBREX_NO_UNROLL
    for (uint32_t w = threadIdx.x; w < SIEVE_SLICE_WORDS; w += blockDim.x) {
        count += __popc(~words[w] & insideSegment(s, slice, w));
        global[w] = words[w];
    }
    atomicAdd(&survivors, count);
    if (DROPPED != 3) __syncthreads();
    if (threadIdx.x == 0) s.sliceCounts[slice] = survivors;
}

// Per batch, one block per slice: the survivors of the slices before it give
// the slice's place in the table; each thread writes the k of its own run of
// words there, in order, up to the batch limit, and leaves its words zero for
// the next batch (it reads them twice rather than hold them in registers). The whole grid zeroes the table from the count to its end.
template <int DROPPED>
__device__ __forceinline__ void sieveGather(const DeviceSieveArgs& s) {
    __shared__ uint32_t before, total;
    __shared__ uint32_t placed[SIEVE_BLOCK_THREADS];
    const uint32_t slice = blockIdx.x, t = threadIdx.x;
    if (t == 0) before = total = 0;
    if (DROPPED != 1) __syncthreads();

    uint32_t earlier = 0, all = 0;
    QUILBREX_NO_UNROLL
    for (uint32_t other = t; other < s.slices; other += blockDim.x) {
        const uint32_t c = s.sliceCounts[other];
        all += c;
        if (other < slice) earlier += c;
    }
    atomicAdd(&before, earlier);
    atomicAdd(&total, all);

    uint32_t* global = s.bits + slice * SIEVE_SLICE_WORDS + t * SIEVE_WORDS_PER_THREAD;
    uint32_t mine = 0;
    QUILBREX_NO_UNROLL
    for (uint32_t w = 0; w < SIEVE_WORDS_PER_THREAD; ++w)
        mine += __popc(~global[w] & insideSegment(s, slice, t * SIEVE_WORDS_PER_THREAD + w));
    placed[t] = mine;
    if (DROPPED != 2) __syncthreads();

    // An exclusive prefix sum of the threads' counts, by one thread: a few
    // hundred additions per slice of 65536 odd k.
    if (t == 0) {
        uint32_t running = before;
        QUILBREX_NO_UNROLL
        for (uint32_t other = 0; other < SIEVE_BLOCK_THREADS; ++other) {
            const uint32_t c = placed[other];
            placed[other] = running;
            running += c;
        }
    }
    if (DROPPED != 3) __syncthreads();

    uint32_t index = placed[t];
    const uint32_t firstBit = slice * SIEVE_SLICE_BITS + t * SIEVE_WORDS_PER_THREAD * 32;
    QUILBREX_NO_UNROLL
    for (uint32_t w = 0; w < SIEVE_WORDS_PER_THREAD; ++w) {
        const uint32_t live = ~global[w] & insideSegment(s, slice, t * SIEVE_WORDS_PER_THREAD + w);
        global[w] = 0;
        QUILBREX_NO_UNROLL
        for (uint32_t bits = live; bits != 0; bits &= bits - 1) {
            if (index >= s.limit) break;
            const uint32_t bit = firstBit + 32 * w + static_cast<uint32_t>(__ffs(bits) - 1);
            s.candidates[index] = s.a + 2 * static_cast<unsigned long long>(bit);
            if (index + 1 == s.limit && total > s.limit) {
                // The batch is full: the next one starts right after this k.
                s.control[SIEVE_EXAMINED] = bit + 1;
                const unsigned long long next = s.a + 2 * static_cast<unsigned long long>(bit + 1);
                s.control[SIEVE_NEXT_K_LO] = static_cast<uint32_t>(next);
                s.control[SIEVE_NEXT_K_HI] = static_cast<uint32_t>(next >> 32);
            }
            ++index;
        }
    }

    const uint32_t count = total < s.limit ? total : s.limit;
    if (slice == 0 && t == 0) {
        s.control[SIEVE_COUNT] = count;
        s.control[SIEVE_SURVIVORS] = total;
        s.control[SIEVE_A_LO] = static_cast<uint32_t>(s.a);
        s.control[SIEVE_A_HI] = static_cast<uint32_t>(s.a >> 32);
        s.control[SIEVE_LENGTH] = s.length;
        if (total <= s.limit) {
            s.control[SIEVE_EXAMINED] = s.length;
            const unsigned long long next = s.a + 2 * static_cast<unsigned long long>(s.length);
            s.control[SIEVE_NEXT_K_LO] = static_cast<uint32_t>(next);
            s.control[SIEVE_NEXT_K_HI] = static_cast<uint32_t>(next >> 32);
        }
    }
    // A zero entry ends the test at once without a hit; a leftover k would be
    // tested, and reported, again.
    QUILBREX_NO_UNROLL
    for (uint32_t e = count + slice * blockDim.x + t; e < s.gridEntries; e += s.slices * blockDim.x)
        s.candidates[e] = 0;
}

// After each batch of the queued loop, one thread: the next batch starts
// where this one's report says it stopped, and the primes' starts move on by
// as much. Past the end of the range the batches are empty.
__device__ __forceinline__ void sieveNext(const DeviceSieveArgs& s) {
    if (blockIdx.x != 0 || threadIdx.x != 0) return;
    DeviceSieveCarry& c = *s.carry;
    const uint32_t examined = s.control[SIEVE_EXAMINED];
    c.a += 2 * static_cast<unsigned long long>(examined);  // wraps past 2^64-1 only once nothing is left
    c.left = examined < c.left ? c.left - examined : 0;
    c.length = c.left < s.range ? static_cast<uint32_t>(c.left) : s.range;
    c.advance = examined;
}
