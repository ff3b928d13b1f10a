// The device sieve's kernel bodies: nvcc compiles them for the device, the
// host build for the stand-in; nothing else includes them. Their loops stay
// loops (the trip counts vary from thread to thread anyway), which keeps each
// one a loop of its own in the SASS that the profile reads.
#pragma once

#include "kernels/sieve_kernel_args.h"

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

// Where a prime first crosses out from bit `first` on, given where it first
// crosses out in the segment (offset < q) and first % q.
__device__ __forceinline__ uint32_t startFrom(uint32_t offset, uint32_t into, uint32_t q) {
    return offset >= into ? offset - into : offset + (q - into);
}

// first mod q from a quotient at most one off first / q (q < 2^30, far above
// any table's primes: the remainder before its correction fits an int32).
__device__ __forceinline__ uint32_t remainderNear(uint32_t first, uint32_t quotient, uint32_t q) {
    const int32_t remainder = static_cast<int32_t>(first - quotient * q);
    if (remainder < 0) return static_cast<uint32_t>(remainder) + q;
    return static_cast<uint32_t>(remainder) >= q ? static_cast<uint32_t>(remainder) - q
                                                 : static_cast<uint32_t>(remainder);
}

// 1/x within 1 ulp: the device's approximate reciprocal (one instruction;
// the fast division adds a range check for huge divisors); the host's is exact.
__device__ __forceinline__ float approximateReciprocal(float x) {
#ifdef __CUDA_ARCH__
    float r;
    asm("rcp.approx.ftz.f32 %0, %1;" : "=f"(r) : "f"(x));
    return r;
#else
    return 1.0f / x;
#endif
}

// One prime of the Large kernel: its first bit moved on by the odd k since
// the last batch and, above a slice's bits, its marks; returns what it keeps.
// The primes below a slice move their first bit on, for the Small kernel.
// The others cross out their few bits straight in global memory, two to a
// pass (bit + 2q stays below 2^32: segments are below 2^31 odd k, primes
// below 2^30), and keep the first bit past the segment, which their loop
// reaches anyway: where a batch follows one that consumed its whole segment,
// that is the first bit of the new one, without a division. Only after a
// batch that filled (a hit in the part it left) or an explicit batch
// elsewhere does a prime divide.
__device__ __forceinline__ uint32_t largePrime(const DeviceSieveArgs& s, bool small, uint32_t q, uint32_t last) {
    const uint32_t advance = s.advance;
    if (small) return startFrom(last, advance % q, q);
    // last: a bit of q's, counted from the last batch's a.
    const bool ahead = last >= advance;
    uint32_t gap = ahead ? last - advance : advance - last;
    if (gap >= q) {
        // q >= 65536: a quotient below 2^16 from a float reciprocal, at most
        // one off (the gap as a float, the reciprocal and the product each
        // within an ulp or less: a relative error below 2^-22).
        gap = remainderNear(gap, static_cast<uint32_t>(static_cast<float>(gap) *
                                                       approximateReciprocal(static_cast<float>(q))), q);
    }
    uint32_t bit = ahead || gap == 0 ? gap : q - gap;
    QUILBREX_NO_UNROLL
    for (; bit + q < s.length; bit += 2 * q) {
        atomicOr(&s.bits[bit >> 5], 1u << (bit & 31));
        atomicOr(&s.bits[(bit + q) >> 5], 1u << ((bit + q) & 31));
    }
    if (bit < s.length) {
        atomicOr(&s.bits[bit >> 5], 1u << (bit & 31));
        bit += q;
    }
    return bit;
}

// Per batch, the primes below farFrom, SIEVE_LARGE_PRIMES (two) consecutive
// ones per thread (one load of each table); a table of an odd count leaves
// the second of the last pair, past its end, as it is.
__device__ __forceinline__ void sieveLarge(const DeviceSieveArgs& s) {
    static_assert(SIEVE_LARGE_PRIMES == 2, "a pair per thread");
    const uint32_t first = SIEVE_LARGE_PRIMES * (blockIdx.x * blockDim.x + threadIdx.x);
    if (first >= s.farFrom) return;
#ifdef __CUDA_ARCH__
    const uint2 q = *reinterpret_cast<const uint2*>(s.primes + first);
    uint2 kept = *reinterpret_cast<const uint2*>(s.offsets + first);
#else
    const struct { uint32_t x, y; } q = {s.primes[first], s.primes[first + 1]};
    struct { uint32_t x, y; } kept = {s.offsets[first], s.offsets[first + 1]};
#endif
    kept.x = largePrime(s, first < s.smallCount, q.x, kept.x);
    if (first + 1 < s.farFrom) kept.y = largePrime(s, first + 1 < s.smallCount, q.y, kept.y);
#ifdef __CUDA_ARCH__
    *reinterpret_cast<uint2*>(s.offsets + first) = kept;
#else
    s.offsets[first] = kept.x;
    s.offsets[first + 1] = kept.y;
#endif
}

// SIEVE_FAR_PRIMES consecutive words from word i (a multiple of it), in
// vector loads and stores of four words on the device.
template <class Pointer>
__device__ __forceinline__ void loadFar(Pointer p, uint32_t i, uint32_t (&v)[SIEVE_FAR_PRIMES]) {
#ifdef __CUDA_ARCH__
    QUILBREX_UNROLL
    for (uint32_t e = 0; e < SIEVE_FAR_PRIMES; e += 4) {
        const uint4 four = *reinterpret_cast<const uint4*>(p + i + e);
        v[e] = four.x;
        v[e + 1] = four.y;
        v[e + 2] = four.z;
        v[e + 3] = four.w;
    }
#else
    for (uint32_t e = 0; e < SIEVE_FAR_PRIMES; ++e) v[e] = p[i + e];
#endif
}
template <class Pointer>
__device__ __forceinline__ void storeFar(Pointer p, uint32_t i, const uint32_t (&v)[SIEVE_FAR_PRIMES]) {
#ifdef __CUDA_ARCH__
    QUILBREX_UNROLL
    for (uint32_t e = 0; e < SIEVE_FAR_PRIMES; e += 4)
        *reinterpret_cast<uint4*>(p + i + e) = make_uint4(v[e], v[e + 1], v[e + 2], v[e + 3]);
#else
    for (uint32_t e = 0; e < SIEVE_FAR_PRIMES; ++e) p[i + e] = v[e];
#endif
}

// Per batch, SIEVE_FAR_PRIMES consecutive primes per thread from farFrom on:
// primes at least a segment long, three in four of a deep table, each
// crossing out one bit at most. Their starts move on without a division
// while the batches follow one another (the odd k since the last batch is at
// most a segment); only an explicit batch far ahead divides. The words past
// the table in the last thread's group are moved on as well (the buffers
// have room for them) but cross out nothing.
__device__ __forceinline__ void sieveFar(const DeviceSieveArgs& s) {
    const uint32_t first = s.farFrom + SIEVE_FAR_PRIMES * (blockIdx.x * blockDim.x + threadIdx.x);
    if (first >= s.primeCount) return;
    uint32_t q[SIEVE_FAR_PRIMES], bit[SIEVE_FAR_PRIMES];
    loadFar(s.primes, first, q);
    loadFar(s.offsets, first, bit);
    const uint32_t advance = s.advance, inTable = s.primeCount - first;
    if (advance > q[0]) {  // q[0] the least: the table ascends
        QUILBREX_UNROLL
        for (uint32_t e = 0; e < SIEVE_FAR_PRIMES; ++e) {
            const float quotient = static_cast<float>(advance) * approximateReciprocal(static_cast<float>(q[e]));
            if (e < inTable && advance >= q[e])
                bit[e] = startFrom(bit[e], remainderNear(advance, static_cast<uint32_t>(quotient), q[e]), q[e]);
            else
                bit[e] = startFrom(bit[e], advance, q[e]);
        }
    } else {
        QUILBREX_UNROLL
        for (uint32_t e = 0; e < SIEVE_FAR_PRIMES; ++e) bit[e] = startFrom(bit[e], advance, q[e]);
    }
    storeFar(s.offsets, first, bit);
    QUILBREX_UNROLL
    for (uint32_t e = 0; e < SIEVE_FAR_PRIMES; ++e)
        if (e < inTable && bit[e] < s.length) atomicOr(&s.bits[bit[e] >> 5], 1u << (bit[e] & 31));
}

// first % q for the first bit of a slice (a multiple of a slice's bits below
// 2^32, exact as a float) and 2048 <= q < 65536, without an integer
// division: the quotient from the approximate reciprocal and one rounded
// product, below 2^21 with a relative error below 2^-22, is less than a half
// off, so its whole part is at most one off either way.
static_assert(SIEVE_SHARED_PRIMES_BELOW >= 2048 && SIEVE_SMALL_PRIMES_BELOW <= 65536 && SIEVE_SLICE_BITS % 256 == 0,
              "a slice's first bit over a prime of the Small kernel's lanes: a quotient below 2^21, exact as a float");
__device__ __forceinline__ uint32_t sliceRemainder(uint32_t first, float firstAsFloat, uint32_t q) {
    return remainderNear(first, static_cast<uint32_t>(firstAsFloat * approximateReciprocal(static_cast<float>(q))), q);
}

// A mark in a word of shared memory: an atomic OR (plain |= only in a
// variant the tests build, to see the race caught).
template <bool PLAIN, class Words>
__device__ __forceinline__ void markWord(Words& words, uint32_t w, uint32_t mark) {
    if (PLAIN)
        words[w] |= mark;
    else
        atomicOr(&words[w], mark);
}

// The bits 0, q, 2q, ... of a double word.
__host__ __device__ constexpr uint64_t periodicPattern(uint32_t q, uint32_t b = 0) {
    return b >= 64 ? 0u : (uint64_t{1} << b) | periodicPattern(q, b + q);
}

// The masks of the K-th odd prime Q (below 32) over a thread's words, the
// first of which starts at bit firstBit of the segment, if the table holds
// it. From one of the thread's words to the next, the crossed-out bits move
// back by 8192 mod Q: word m's are those of the thread's first word and the
// 32 bits after it, shifted down by m * 8192 mod Q, a constant (with Q known
// to the compiler), so that a word's mask is one funnel shift. Without a
// branch, so that the compiler can merge the ten primes' ORs.
template <uint32_t K, uint32_t Q>
__device__ __forceinline__ void maskOnePrime(const DeviceSieveArgs& s, uint32_t firstBit,
                                             uint32_t (&mask)[SIEVE_WORDS_PER_THREAD]) {
    constexpr uint32_t back = 32 * SIEVE_BLOCK_THREADS % Q;
    const bool held = K < s.maskedCount;
    const uint32_t offset = held ? static_cast<uint32_t>(s.offsets[K]) : 0u, into = firstBit % Q;  // offset < Q
    const uint64_t crossed = held ? periodicPattern(Q) << startFrom(offset, into, Q) : 0u;
    QUILBREX_UNROLL
    for (uint32_t m = 0; m < SIEVE_WORDS_PER_THREAD; ++m) mask[m] |= static_cast<uint32_t>(crossed >> (m * back % Q));
}

// The masks of the primes below 32: the table holds every odd prime from 3
// on, so its first maskedCount primes are the first of these ten.
__device__ __forceinline__ void maskPrimesBelow32(const DeviceSieveArgs& s, uint32_t firstBit,
                                                  uint32_t (&mask)[SIEVE_WORDS_PER_THREAD]) {
    maskOnePrime<0, 3>(s, firstBit, mask);
    maskOnePrime<1, 5>(s, firstBit, mask);
    maskOnePrime<2, 7>(s, firstBit, mask);
    maskOnePrime<3, 11>(s, firstBit, mask);
    maskOnePrime<4, 13>(s, firstBit, mask);
    maskOnePrime<5, 17>(s, firstBit, mask);
    maskOnePrime<6, 19>(s, firstBit, mask);
    maskOnePrime<7, 23>(s, firstBit, mask);
    maskOnePrime<8, 29>(s, firstBit, mask);
    maskOnePrime<9, 31>(s, firstBit, mask);
}

// Per batch, one block per slice: the small primes cross out in shared
// memory over what the large ones left, then the slice's survivors are
// counted. Thread t owns the words t, t+256, ... of the slice: it loads them
// with the masks of the primes below 32 applied, counts and stores them. The
// marks of the other primes, which any thread may set in any word, are atomic
// ORs, dealt so that every warp issues about as many: the primes below 2048
// one per warp in turn, its marks shared by the lanes, its start worked out
// by one thread for all; the rest one per lane,
// in runs of 32 that go to the warps in turn, forwards and backwards
// alternately. DROPPED names a barrier left out, PLAIN_MARKS has the marks
// as plain |= (tests only: 0 and false are the kernel).
template <int DROPPED, bool PLAIN_MARKS = false>
__device__ __forceinline__ void sieveSmall(const DeviceSieveArgs& s) {
    __shared__ SharedArray<uint32_t, SIEVE_SLICE_WORDS> words;
    __shared__ SharedArray<uint32_t, 1> survivors;
    __shared__ SharedArray<uint32_t, SIEVE_BLOCK_THREADS> starts, staged;  // a run's starts and primes
    const uint32_t slice = blockIdx.x, t = threadIdx.x;
    const uint32_t lane = t % SIEVE_WARP, warp = t / SIEVE_WARP, warps = SIEVE_BLOCK_THREADS / SIEVE_WARP;
    const auto global = s.bits + slice * SIEVE_SLICE_WORDS;
    const uint32_t first = slice * SIEVE_SLICE_BITS;
    const uint32_t masked = s.maskedCount, shared = s.sharedCount;

    uint32_t mask[SIEVE_WORDS_PER_THREAD];
    QUILBREX_UNROLL
    for (uint32_t m = 0; m < SIEVE_WORDS_PER_THREAD; ++m) mask[m] = 0;
    maskPrimesBelow32(s, first + 32 * t, mask);
    QUILBREX_UNROLL
    for (uint32_t m = 0; m < SIEVE_WORDS_PER_THREAD; ++m) {
        const uint32_t w = t + SIEVE_BLOCK_THREADS * m;
        words[w] = global[w] | mask[m];
    }
    if (t == 0) survivors[0] = 0;
    // The primes below 2048 in runs of 256: each thread works out where one
    // of them first crosses out in the slice, then every warp takes its
    // primes of the run with their starts from there, rather than all 32
    // lanes working out the same start. Warp w takes the slots w, w+8, ...,
    // and slot j holds the run's prime j in even groups of eight and
    // prime j ^ 7 in odd ones, so that each warp takes its share of the
    // smallest primes, which cross out the most. A slot past the run's end
    // crosses out nothing.
    const auto held = [&](uint32_t run, uint32_t j) { return run + (j ^ (j >> 3 & 1) * 7); };
    const auto stage = [&](uint32_t run) {
        const uint32_t i = held(run, t);
        if (i >= shared) {
            starts[t] = 2 * SIEVE_SLICE_BITS;
            staged[t] = 1;
            return;
        }
        const uint32_t q = s.primes[i];
        starts[t] = startFrom(s.offsets[i], first % q, q);
        staged[t] = q;
    };
    stage(masked);
    if (DROPPED != 1) __syncthreads();

    QUILBREX_NO_UNROLL
    for (uint32_t run = masked; run < shared; run += SIEVE_BLOCK_THREADS) {
        // (whole groups of eight)
        const uint32_t inRun = shared - run < SIEVE_BLOCK_THREADS ? (shared - run + 7) / 8 * 8 : SIEVE_BLOCK_THREADS;
        QUILBREX_NO_UNROLL
        for (uint32_t j = warp; j < inRun; j += warps) {
            // (A variant without a barrier takes q from the table: an
            // unwritten one could stall its loops before the race is told.)
            const uint32_t q = DROPPED == 0 ? static_cast<uint32_t>(staged[j])
                               : held(run, j) < shared ? static_cast<uint32_t>(s.primes[held(run, j)]) : 1u;
            const uint32_t bit = starts[j] + lane * q;
            // A lane's marks are 32q bits apart: the same bit, q words on;
            // several to a pass, the last few one by one.
            const uint32_t mark = 1u << (bit & 31);
            uint32_t w = bit >> 5;
            QUILBREX_NO_UNROLL
            for (; w + (SIEVE_SHARED_MARKS_PER_PASS - 1) * q < SIEVE_SLICE_WORDS;
                 w += SIEVE_SHARED_MARKS_PER_PASS * q) {
                QUILBREX_UNROLL
                for (uint32_t m = 0; m < SIEVE_SHARED_MARKS_PER_PASS; ++m) markWord<PLAIN_MARKS>(words, w + m * q, mark);
            }
            QUILBREX_NO_UNROLL
            for (; w < SIEVE_SLICE_WORDS; w += q) markWord<PLAIN_MARKS>(words, w, mark);
        }
        if (run + SIEVE_BLOCK_THREADS < shared) {  // the same for every thread of the block
            __syncthreads();
            stage(run + SIEVE_BLOCK_THREADS);
            __syncthreads();
        }
    }
    // The thread's prime of this run and of the next, each two runs on from
    // the last.
    uint32_t mine = shared + SIEVE_WARP * warp + lane;
    uint32_t after = shared + SIEVE_BLOCK_THREADS + SIEVE_WARP * (warps - 1 - warp) + lane;
    const float firstAsFloat = static_cast<float>(first);
    QUILBREX_NO_UNROLL
    for (uint32_t run = shared; run < s.smallCount; run += SIEVE_BLOCK_THREADS) {
        const uint32_t i = mine;
        mine = after;
        after = i + 2 * SIEVE_BLOCK_THREADS;
        if (i >= s.smallCount) continue;
        const uint32_t q = s.primes[i];
        uint32_t bit = startFrom(s.offsets[i], sliceRemainder(first, firstAsFloat, q), q);
        QUILBREX_NO_UNROLL
        for (; bit + (SIEVE_LANE_MARKS_PER_PASS - 1) * q < SIEVE_SLICE_BITS; bit += SIEVE_LANE_MARKS_PER_PASS * q) {
            QUILBREX_UNROLL
            for (uint32_t m = 0; m < SIEVE_LANE_MARKS_PER_PASS; ++m)
                markWord<PLAIN_MARKS>(words, (bit + m * q) >> 5, 1u << ((bit + m * q) & 31));
        }
        QUILBREX_NO_UNROLL
        for (; bit < SIEVE_SLICE_BITS; bit += q) markWord<PLAIN_MARKS>(words, bit >> 5, 1u << (bit & 31));
    }
    // The bits past the segment leave crossed out, so that the Gather
    // kernel reads a word's survivors as its zero bits: in a segment's last
    // slice only, the words from the one where the segment ends, and every
    // word of a slice past it (a queued batch's grid covers a full segment).
    const uint32_t inside = first >= s.length ? 0u : s.length - first < SIEVE_SLICE_BITS ? s.length - first
                                                                                         : SIEVE_SLICE_BITS;
    QUILBREX_NO_UNROLL
    for (uint32_t w = inside / 32 + t; w < SIEVE_SLICE_WORDS; w += SIEVE_BLOCK_THREADS)
        markWord<false>(words, w, w == inside / 32 ? ~((1u << (inside % 32)) - 1) : ~0u);
    if (DROPPED != 2) __syncthreads();

    uint32_t count = 0;
    QUILBREX_UNROLL
    for (uint32_t m = 0; m < SIEVE_WORDS_PER_THREAD; ++m) {
        const uint32_t w = t + SIEVE_BLOCK_THREADS * m;
        const uint32_t crossed = words[w];
        count += __popc(~crossed);
        global[w] = crossed;
    }
    atomicAdd(&survivors[0], count);
    if (DROPPED != 3) __syncthreads();
    if (t == 0) s.sliceCounts[slice] = survivors[0];
}

// Per batch, one block per slice: the survivors of the slices before it give
// the slice's place in the table. The slice's survivors go to its threads in
// equal runs of ranks, so that every lane of a warp writes as many k: dealt
// by words, a lane would write from none to a dozen per word and hold its
// warp for the busiest. Each thread counts the survivors of its own run of
// words (their zero bits: the Small kernel crossed out the bits past the
// segment) and how many of them hold any; the block sums both counts at once,
// and each thread lists its words that hold a survivor in the block's list
// of such words, in order, from where its sum puts it. Each thread then finds
// the word that holds the first rank of its run by a search over the sums and
// writes its run's k in order, up to the batch limit, going from a word to
// the next on the list (an eighth of the words are empty at four million
// primes: a walk over them, or a search for the next word that holds a
// survivor, would hold the warp for the lanes that step while the others
// wait); after a barrier it leaves its own words zero for the next batch. The
// whole grid zeroes the table from the count to its end. DROPPED names a
// barrier left out (tests only; 0 keeps them all): the sums and the list may
// then disagree with the words, and such a variant keeps its walks inside the
// slice, so that the stand-in lives to report the race.
static_assert(SIEVE_WORDS_PER_THREAD <= 32, "a thread's marks of its words that hold survivors fit one word");
// A thread's sum: its survivors below this bit (a slice's survivors, at most
// 2^17, never carry into it), its words that hold any above it.
constexpr uint32_t SIEVE_LISTED_SHIFT = 18;
static_assert(SIEVE_SLICE_BITS < 1u << SIEVE_LISTED_SHIFT && SIEVE_SLICE_WORDS <= 1u << (32 - SIEVE_LISTED_SHIFT - 1),
              "both counts of a slice fit one word");
template <int DROPPED>
__device__ __forceinline__ void sieveGather(const DeviceSieveArgs& s) {
    __shared__ SharedArray<uint32_t, 2> sums;  // the survivors before the slice, and in all slices
    __shared__ SharedArray<uint32_t, SIEVE_BLOCK_THREADS> placed;
    // The words that hold a survivor, as indices into the segment's words.
    __shared__ SharedArray<uint32_t, SIEVE_SLICE_WORDS> listed;
    const uint32_t slice = blockIdx.x, t = threadIdx.x;
    constexpr uint32_t SURVIVORS = (1u << SIEVE_LISTED_SHIFT) - 1;
    constexpr bool GUARDED = DROPPED != 0;
    if (t == 0) {
        sums[0] = 0;
        sums[1] = 0;
    }
    if (DROPPED != 1) __syncthreads();

    uint32_t earlier = 0, all = 0;
    QUILBREX_NO_UNROLL
    for (uint32_t other = t; other < s.slices; other += blockDim.x) {
        const uint32_t c = s.sliceCounts[other];
        all += c;
        if (other < slice) earlier += c;
    }
    atomicAdd(&sums[0], earlier);
    atomicAdd(&sums[1], all);

    const auto words = s.bits + slice * SIEVE_SLICE_WORDS;
    uint32_t mine = 0, held = 0;
    QUILBREX_UNROLL
    for (uint32_t w = 0; w < SIEVE_WORDS_PER_THREAD; ++w) {
        const uint32_t live = ~words[t * SIEVE_WORDS_PER_THREAD + w];
        mine += __popc(live);
        held |= (live != 0 ? 1u : 0u) << w;
    }
    placed[t] = mine + (static_cast<uint32_t>(__popc(held)) << SIEVE_LISTED_SHIFT);
    if (DROPPED != 2) __syncthreads();

    // The threads' counts summed up to each, by all threads at once in eight
    // steps: one thread alone would hold its warp for 256 additions.
    QUILBREX_NO_UNROLL
    for (uint32_t d = 1; d < SIEVE_BLOCK_THREADS; d *= 2) {
        const uint32_t sum = placed[t] + (t >= d ? static_cast<uint32_t>(placed[t - d]) : 0u);
        if (DROPPED != 3) __syncthreads();
        placed[t] = sum;
        if (2 * d < SIEVE_BLOCK_THREADS) __syncthreads();
    }
    if (DROPPED != 4) __syncthreads();  // every thread reads the others' sums

    // The thread's words that hold a survivor, onto the list.
    uint32_t entry = t != 0 ? static_cast<uint32_t>(placed[t - 1]) >> SIEVE_LISTED_SHIFT : 0u;
    QUILBREX_NO_UNROLL
    for (; held != 0; held &= held - 1, ++entry)
        listed[GUARDED ? entry % SIEVE_SLICE_WORDS : entry] =
            slice * SIEVE_SLICE_WORDS + t * SIEVE_WORDS_PER_THREAD + static_cast<uint32_t>(__ffs(held) - 1);
    if (DROPPED != 6) __syncthreads();  // every thread reads the others' entries

    // Thread t writes ranks from to to of the slice.
    const uint32_t inSlice = placed[SIEVE_BLOCK_THREADS - 1] & SURVIVORS;
    const uint32_t share = (inSlice + SIEVE_BLOCK_THREADS - 1) / SIEVE_BLOCK_THREADS;
    const uint32_t from = t * share < inSlice ? t * share : inSlice;
    const uint32_t to = inSlice - from < share ? inSlice : from + share;
    const uint32_t total = sums[1];
    // The e-th word on the list (a variant whose list may be unwritten keeps
    // its walk inside the slice).
    const auto listedWord = [&](uint32_t e) -> uint32_t {
        if (GUARDED) return slice * SIEVE_SLICE_WORDS + static_cast<uint32_t>(listed[e % SIEVE_SLICE_WORDS]) % SIEVE_SLICE_WORDS;
        return listed[e];
    };
    if (from < to) {
        // The thread whose words hold rank from: the first whose sum passes it.
        uint32_t owner = 0;
        QUILBREX_NO_UNROLL
        for (uint32_t step = SIEVE_BLOCK_THREADS / 2; step != 0; step /= 2)
            if ((placed[owner + step - 1] & SURVIVORS) <= from) owner += step;
        const uint32_t before = owner != 0 ? static_cast<uint32_t>(placed[owner - 1]) : 0u;
        uint32_t e = before >> SIEVE_LISTED_SHIFT;
        uint32_t skip = from - (before & SURVIVORS);
        uint32_t w = listedWord(e);  // into the segment's words
        uint32_t live = ~s.bits[w];
        while (skip >= static_cast<uint32_t>(__popc(live)) && (!GUARDED || e + 1 < SIEVE_SLICE_WORDS)) {
            skip -= __popc(live);
            w = listedWord(++e);
            live = ~s.bits[w];
        }
        QUILBREX_NO_UNROLL
        for (; skip != 0 && (!GUARDED || live != 0); --skip) live &= live - 1;

        uint32_t index = sums[0] + from;
        // The run ends at the batch limit.
        const uint32_t room = s.limit > index ? s.limit - index : 0;
        const uint32_t end = to - from < room ? to : from + room;
        const uint32_t last = index + (end - from);  // past the run's last entry
        uint32_t bit = 0;
        QUILBREX_NO_UNROLL
        for (; index < last; ++index) {
            bit = 32 * w + static_cast<uint32_t>(__ffs(live) - 1);  // of the segment
            s.candidates[index] = s.a + 2 * static_cast<unsigned long long>(bit);
            live &= live - 1;
            if (live == 0 && index + 1 < last) {  // the next word on the list (one lies ahead)
                if (GUARDED && e + 1 >= SIEVE_SLICE_WORDS) break;
                w = listedWord(++e);
                live = ~s.bits[w];
            }
        }
        // The run that wrote the batch's last entry (bit: its k) when the
        // batch is full: the next batch starts right after that k. Checked
        // here rather than for every k written.
        if (from < end && sums[0] + end == s.limit && total > s.limit) {
            const uint32_t examined = bit + 1;
            s.control[SIEVE_EXAMINED] = examined;
            const unsigned long long next = s.a + 2 * static_cast<unsigned long long>(examined);
            s.control[SIEVE_NEXT_K_LO] = static_cast<uint32_t>(next);
            s.control[SIEVE_NEXT_K_HI] = static_cast<uint32_t>(next >> 32);
        }
    }
    // Every thread has read the words it needed.
    if (DROPPED != 5) __syncthreads();
    QUILBREX_UNROLL
    for (uint32_t w = 0; w < SIEVE_WORDS_PER_THREAD; ++w) words[t * SIEVE_WORDS_PER_THREAD + w] = 0;

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
