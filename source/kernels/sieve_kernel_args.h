// What the device sieve's kernels share with the loop that launches them:
// the slice geometry, the report and carry words, the kernels' arguments and
// the start arithmetic both sides compute.
#pragma once

#include <cstdint>

#include "kernels/portable.h"

// Odd k of one slice: a block's bits in shared memory (16 KB). Each prime's
// set-up in a slice is spread over this many odd k, so a larger slice costs
// less per odd k, while the blocks resident per multiprocessor fall (three
// on a 64 KB sm_75, five on sm_89's 100 KB).
constexpr uint32_t SIEVE_SLICE_WORDS = 4096;
constexpr uint32_t SIEVE_SLICE_BITS = 32 * SIEVE_SLICE_WORDS;
constexpr uint32_t SIEVE_BLOCK_THREADS = 256;
constexpr uint32_t SIEVE_WORDS_PER_THREAD = SIEVE_SLICE_WORDS / SIEVE_BLOCK_THREADS;
// The Small kernel's three kinds of prime: below 32 a prime crosses out a
// periodic pattern, applied as a mask to each word; below 2048 it crosses out
// 64 or more bits of a slice, and the lanes of a warp share its marks; the
// rest of the primes below 65536 cross out two or more bits each, one prime
// per lane. Each kind is dealt evenly over the warps. The primes from 65536
// up are the Large kernel's even where they lie below a slice's bits: moving
// such a prime's start on and marking the segment in device memory issues
// fewer instructions than its set-up in every slice would.
constexpr uint32_t SIEVE_MASK_PRIMES_BELOW = 32;
constexpr uint32_t SIEVE_SHARED_PRIMES_BELOW = 2048;
constexpr uint32_t SIEVE_SMALL_PRIMES_BELOW = 65536;
// A lane's marks in one pass of the loop, of a prime shared by its warp and
// of a prime of its own (the last few one by one).
constexpr uint32_t SIEVE_SHARED_MARKS_PER_PASS = 8;
constexpr uint32_t SIEVE_LANE_MARKS_PER_PASS = 8;
constexpr uint32_t SIEVE_WARP = 32;
// The primes per thread of the Large kernel and of the Far kernel (vector
// loads of each table); the prime and start buffers hold a multiple of both.
constexpr uint32_t SIEVE_LARGE_PRIMES = 2;
constexpr uint32_t SIEVE_FAR_PRIMES = 8;

// The words the device writes for the host after every batch (its report;
// the host clears them before each batch).
enum DeviceSieveControlWord {
    SIEVE_COUNT,       // candidates gathered into the table
    SIEVE_EXAMINED,    // odd k of the segment consumed by the batch (all of it unless survivors are left after it)
    SIEVE_NEXT_K_LO,   // the first k not yet sieved (wraps to 0 past 2^64-1)
    SIEVE_NEXT_K_HI,
    SIEVE_SURVIVORS,   // survivors of the whole segment, gathered or not
    SIEVE_A_LO,        // the segment's first k, as the device took it
    SIEVE_A_HI,
    SIEVE_LENGTH,      // odd k in the segment, as the device took it
    SIEVE_CONTROL_WORDS
};

// What the device carries from one batch to the next, so that the host can
// queue batches without reading anything between them: the batch kernels take
// a, length and advance from here instead of from their arguments.
struct DeviceSieveCarry {
    unsigned long long a;     // the next batch's first k
    unsigned long long left;  // odd k from a to the end of the range
    uint32_t length;          // odd k the next batch sieves: left, at most a segment
    uint32_t advance;         // odd k from the last batch's a to a
};

// Everything a sieve kernel reads or writes; passed by value to each.
// (DevicePointer: a plain pointer on the device, watched for races in the
// host stand-in.)
struct DeviceSieveArgs {
    DevicePointer<const uint32_t> primes;  // the prime table, ascending odd primes
    DevicePointer<uint32_t> inverses;      // 2^(-n) mod primes[i], per exponent
    DevicePointer<uint32_t> offsets;       // first crossed-out bit of primes[i], counted from the a of the last batch
    DevicePointer<uint32_t> bits;          // one bit per odd k, 1 = crossed out; all zero between batches
    DevicePointer<uint32_t> sliceCounts;   // survivors per slice
    DevicePointer<uint32_t> control;       // DeviceSieveControlWord
    DevicePointer<unsigned long long> candidates;
    unsigned long long a;          // the segment's first (odd) k
    uint32_t advance;              // odd k from the a the offsets count from to this a
    uint32_t n;
    uint32_t primeCount;
    uint32_t smallCount;           // primes below SIEVE_SMALL_PRIMES_BELOW: primes[0..smallCount-1]
    uint32_t maskedCount;          // primes below SIEVE_MASK_PRIMES_BELOW
    uint32_t sharedCount;          // primes below SIEVE_SHARED_PRIMES_BELOW
    uint32_t length;               // odd k in the segment
    uint32_t slices;               // ceil(length / SIEVE_SLICE_BITS)
    uint32_t limit;                // most candidates per batch
    uint32_t gridEntries;          // entries the test kernel reads; those past the count are zeroed
    DeviceSieveCarry* carry;       // null: a, length and advance are the values above
    uint32_t range;                // odd k in a full segment (the queued loop's most per batch)
    uint32_t farFrom;              // the Far kernel's primes: primes[farFrom..primeCount-1], each at least length
};

// The arguments a batch kernel works with: a, length and advance from the
// carry when the batch was queued without them.
__host__ __device__ __forceinline__ DeviceSieveArgs carriedArgs(DeviceSieveArgs s) {
    if (s.carry) {
        s.a = s.carry->a;
        s.length = s.carry->length;
        s.advance = s.carry->advance;
    }
    return s;
}

// 2^(-n) mod q for an odd q below 2^32, by Montgomery reductions with
// R = 2^64, each a multiplication by 2^(-64) mod q without a division: a
// search at millions of primes starts every exponent with one power per prime.
__host__ __device__ __forceinline__ uint32_t inverseTwoPower(uint32_t q, uint32_t n) {
    uint64_t inverse = q;  // q^-1 mod 2^64 by Newton's steps: 3, 6, 12, 24, 48, 96 correct bits
    for (int step = 0; step < 5; ++step) inverse *= 2 - q * inverse;
    // x * 2^(-64) mod q for x = r * 2^s with r < q and s < 64: m is a
    // multiple of 2^s below 2^64, so (x + m*q) / 2^64 < (r + (2^(64-s)-1) q) / 2^(64-s) < q.
    auto reduce = [&](unsigned __int128 x) {
        const uint64_t m = 0 - static_cast<uint64_t>(x) * inverse;
        return static_cast<uint64_t>((x + static_cast<unsigned __int128>(m) * q) >> 64);
    };
    uint64_t result = 1 % q;
    uint32_t left = n;
    for (; left >= 64; left -= 64) result = reduce(result);
    if (left != 0) result = reduce(static_cast<unsigned __int128>(result) << (64 - left));
    return static_cast<uint32_t>(result);
}

// Index j of the first odd k = a + 2j whose k*2^n+1 is divisible by q, given
// e = 2^(-n) mod q: a + 2j == -e (mod q)  <=>  j == (-e - a) * (q+1)/2 (mod q).
__host__ __device__ __forceinline__ uint32_t firstSievedIndex(uint32_t q, uint32_t e, uint64_t a) {
    const uint64_t target = (2 * static_cast<uint64_t>(q) - e % q - a % q) % q;
    return static_cast<uint32_t>(target * ((q + 1) / 2) % q);
}
