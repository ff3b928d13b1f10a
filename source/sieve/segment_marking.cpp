// Marking one sieve segment quickly: the segment is cut into contiguous
// slices, one per hardware thread (the device is idle while the host sieves);
// within a slice the smallest primes are laid down as one repeating pattern,
// the primes below the block length cross out block by block so the bytes
// they touch stay in cache, and only the large primes, which touch a byte
// here and there, walk the whole slice. Every prime's first byte in every
// slice is found once per segment, the primes shared among the threads, or
// carried from the segment before by one addition when the segment follows
// it directly with the same length: the usual case in a search, where the
// divisions would otherwise cost more than marking at a million primes.
#include "sieve/segment_marking.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "kernels/sieve_kernels.h"

// The device sieve's own arithmetic, so both sieves start every prime alike.
uint32_t InverseTwoPower(uint32_t q, uint32_t n) { return inverseTwoPower(q, n); }

uint32_t FirstSievedByte(uint32_t q, uint32_t e, uint64_t a) { return firstSievedIndex(q, e, a); }

thread_local unsigned sieveThreadsAllowed = 0;

namespace {

constexpr uint32_t BLOCK_BYTES = 1u << 17;       // well inside a core's L2
constexpr uint32_t LARGEST_PATTERN_PRIME = 13;   // 3*5*7*11*13 = 15015 bytes
constexpr uint32_t BYTES_PER_THREAD = 1u << 20;  // smaller segments stay on one thread
constexpr uint32_t PRIMES_PER_THREAD = 1u << 14; // fewer offsets are found on one thread

unsigned threadsFor(uint32_t work, uint32_t perThread) {
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    if (sieveThreadsAllowed != 0) threads = std::min(threads, sieveThreadsAllowed);
    return std::max(1u, std::min(threads, work / perThread));
}

// Runs work(t) for t = 0..threads-1, t = 0 on the calling thread.
template <typename Work>
void inParallel(unsigned threads, const Work& work) {
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work, t);
    work(0u);
    for (std::thread& helper : helpers) helper.join();
}

uint32_t sliceStart(uint32_t length, unsigned slices, unsigned t) {
    return static_cast<uint32_t>(static_cast<uint64_t>(length) * t / slices);
}

// The first byte at or after `skip` bytes past a byte whose offset is
// `offset`, for prime q: (offset - skip) mod q, with skipModQ = skip mod q.
inline uint32_t offsetAfter(uint32_t offset, uint32_t q, uint32_t skipModQ) {
    const uint32_t moved = offset + (q - skipModQ);  // below 2q < 2^32
    return moved >= q ? moved - q : moved;
}

// Marks bytes lo..hi-1 of the segment; offsets[i] is primes[i]'s first
// sieved byte counted from lo.
void markSlice(uint8_t* segment, uint32_t lo, uint32_t hi, const uint32_t* primes, const uint32_t* offsets,
               uint32_t count) {
    uint8_t* slice = segment + lo;
    const uint32_t length = hi - lo;

    uint32_t small = 0, period = 1;
    while (small < count && primes[small] <= LARGEST_PATTERN_PRIME) period *= primes[small++];
    std::vector<uint8_t> pattern(period, 1);
    for (uint32_t i = 0; i < small; ++i)
        for (uint32_t j = offsets[i]; j < period; j += primes[i]) pattern[j] = 0;

    uint32_t medium = small;
    while (medium < count && primes[medium] < BLOCK_BYTES) ++medium;
    std::vector<uint32_t> next(offsets + small, offsets + medium);

    for (uint32_t start = 0; start < length; start += BLOCK_BYTES) {
        const uint32_t end = std::min(length, start + BLOCK_BYTES);
        for (uint32_t j = start, at = start % period; j < end; at = 0) {
            const uint32_t run = std::min(period - at, end - j);
            std::memcpy(slice + j, pattern.data() + at, run);
            j += run;
        }
        for (uint32_t i = small; i < medium; ++i) {
            const uint32_t q = primes[i];
            uint32_t j = next[i - small];
            for (; j < end; j += q) slice[j] = 0;
            next[i - small] = j;
        }
    }

    for (uint32_t i = medium; i < count; ++i)
        for (uint64_t j = offsets[i]; j < length; j += primes[i]) slice[j] = 0;
}

}  // namespace

void BeginMarking(SegmentMarker& marker, const uint32_t* primes, const uint32_t* inversePowers, uint32_t count) {
    marker.primes = primes;
    marker.inversePowers = inversePowers;
    marker.count = count;
    marker.length = 0;  // nothing to carry yet
    marker.slices = 0;
    marker.nextA = 0;
    marker.offsets.clear();
    marker.lengthModQ.assign(count, 0);
}

void MarkSegment(SegmentMarker& marker, uint8_t* segment, uint32_t length, uint64_t a) {
    const uint32_t count = marker.count;
    const uint32_t* primes = marker.primes;
    const unsigned slices = threadsFor(length, BYTES_PER_THREAD);
    if (length == 0) return;
    const bool carried = marker.length == length && marker.slices == slices && marker.nextA == a;
    if (!carried) {
        // Once per segment, not per slice: each prime's offset at the segment's
        // start (the divisions), then at the other slices' starts and the
        // segment length modulo the prime (one short division each).
        marker.offsets.resize(static_cast<size_t>(slices) * count);
        const bool newLength = marker.length != length;
        const unsigned helpers = threadsFor(count, PRIMES_PER_THREAD);
        inParallel(helpers, [&](unsigned h) {
            const uint32_t from = sliceStart(count, helpers, h), to = sliceStart(count, helpers, h + 1);
            for (uint32_t i = from; i < to; ++i) {
                const uint32_t q = primes[i];
                const uint32_t first = FirstSievedByte(q, marker.inversePowers[i], a);
                marker.offsets[i] = first;
                for (unsigned t = 1; t < slices; ++t)
                    marker.offsets[static_cast<size_t>(t) * count + i] = offsetAfter(first, q, sliceStart(length, slices, t) % q);
                if (newLength) marker.lengthModQ[i] = length % q;
            }
        });
    }
    inParallel(slices, [&](unsigned t) {
        uint32_t* offsets = marker.offsets.data() + static_cast<size_t>(t) * count;
        markSlice(segment, sliceStart(length, slices, t), sliceStart(length, slices, t + 1), primes, offsets, count);
        // The same slice of the segment that follows this one directly.
        for (uint32_t i = 0; i < count; ++i) offsets[i] = offsetAfter(offsets[i], primes[i], marker.lengthModQ[i]);
    });
    marker.length = length;
    marker.slices = slices;
    marker.nextA = a + 2 * static_cast<uint64_t>(length);  // may wrap past 2^64 after the last segment: never used then
}

void sieveSegment(uint8_t* segment, uint32_t length, uint64_t a, const uint32_t* primes,
                  const uint32_t* inversePowers, uint32_t count) {
    SegmentMarker marker;
    BeginMarking(marker, primes, inversePowers, count);
    MarkSegment(marker, segment, length, a);
}

bool avx512CollectSupported() {
    static const bool supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    return supported;
}

bool collectWithAvx512 = avx512CollectSupported();

namespace {

// Without a branch per byte: every k is written at the next free entry and
// kept only when its byte is set, which a processor does at a byte a cycle
// whatever share of the segment survives.
uint32_t collectSlice(const uint8_t* segment, uint32_t length, uint64_t a, unsigned long long* table, uint32_t limit,
                      uint32_t& examined) {
    uint32_t count = 0, j = 0;
    // Eight bytes at a time while neither end can come within them.
    for (; j + 8 <= length && count + 8 <= limit; j += 8) {
        const uint64_t k = a + 2 * static_cast<uint64_t>(j);
        for (uint32_t b = 0; b < 8; ++b) {
            table[count] = k + 2 * b;
            count += segment[j + b];
        }
    }
    for (; j < length && count < limit; ++j) {
        table[count] = a + 2 * static_cast<uint64_t>(j);
        count += segment[j];
    }
    examined = j;
    return count;
}

// The same collection 64 bytes at a time: their set bytes as a mask in one
// test, and for each 8 of them the k compressed into the front of a vector
// stored whole. A store writes 8 entries from the next free one, survivors
// first, so whole blocks run only while the limit is 64 entries away; the
// rest is left to the portable loop.
__attribute__((target("avx512f,avx512bw"))) uint32_t collectSliceAvx512(const uint8_t* segment, uint32_t length,
                                                                      uint64_t a, unsigned long long* table,
                                                                      uint32_t limit, uint32_t& examined) {
    const __m512i steps = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
    uint32_t count = 0, j = 0;
    for (; j + 64 <= length && count + 64 <= limit; j += 64) {
        const __m512i bytes = _mm512_loadu_si512(segment + j);
        const uint64_t set = _mm512_test_epi8_mask(bytes, bytes);
        for (uint32_t q = 0; q < 8; ++q) {
            const __mmask8 eight = static_cast<__mmask8>(set >> (8 * q));
            const __m512i k = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(a + 2 * (j + 8 * q))), steps);
            _mm512_storeu_si512(table + count, _mm512_maskz_compress_epi64(eight, k));
            count += static_cast<uint32_t>(__builtin_popcount(eight));
        }
    }
    uint32_t rest;
    count += collectSlice(segment + j, length - j, a + 2 * static_cast<uint64_t>(j), table + count, limit - count, rest);
    examined = j + rest;
    return count;
}

uint32_t collectChosen(const uint8_t* segment, uint32_t length, uint64_t a, unsigned long long* table, uint32_t limit,
                       uint32_t& examined) {
    return collectWithAvx512 ? collectSliceAvx512(segment, length, a, table, limit, examined)
                             : collectSlice(segment, length, a, table, limit, examined);
}

// Eight bytes added at once: each byte lane of the sum gathers at most 255
// ones before the lanes are folded into the count.
uint32_t setBytes(const uint8_t* bytes, uint32_t length) {
    uint32_t count = 0, j = 0;
    while (j + 8 <= length) {
        uint64_t lanes = 0;
        for (uint32_t words = 0; words < 255 && j + 8 <= length; ++words, j += 8) {
            uint64_t word;
            std::memcpy(&word, bytes + j, 8);
            lanes += word;
        }
        const uint64_t pairs = (lanes & 0x00FF00FF00FF00FFull) + ((lanes >> 8) & 0x00FF00FF00FF00FFull);
        count += static_cast<uint32_t>((pairs * 0x0001000100010001ull) >> 48);
    }
    for (; j < length; ++j) count += bytes[j];
    return count;
}

}  // namespace

// Large segments in slices on all hardware threads: each slice's set bytes
// are counted first, so every slice knows where its k go in the batch, and a
// slice never writes past its own last entry (its limit is its count), so
// neighbours do not meet. Only the slice where the batch fills stops early.
uint32_t CollectSurvivors(const uint8_t* segment, uint32_t length, uint64_t a, unsigned long long* table,
                          uint32_t limit, uint32_t& examined) {
    const unsigned threads = threadsFor(length, BYTES_PER_THREAD);
    if (threads == 1 || limit == 0) {
        const uint32_t count = collectChosen(segment, length, a, table, limit, examined);
        // A batch filled exactly by the segment's last survivors consumes it all.
        if (count == limit && examined < length && setBytes(segment + examined, length - examined) == 0)
            examined = length;
        return count;
    }

    std::vector<uint32_t> bounds(threads + 1), counts(threads), offsets(threads), looked(threads);
    for (unsigned t = 0; t <= threads; ++t)
        bounds[t] = static_cast<uint32_t>(static_cast<uint64_t>(length) * t / threads);
    inParallel(threads, [&](unsigned t) { counts[t] = setBytes(segment + bounds[t], bounds[t + 1] - bounds[t]); });
    uint64_t total = 0;
    unsigned filling = threads;  // the slice in which the batch fills, if any
    for (unsigned t = 0; t < threads; ++t) {
        offsets[t] = static_cast<uint32_t>(std::min<uint64_t>(total, limit));
        if (filling == threads && total + counts[t] > limit) filling = t;
        total += counts[t];
    }
    inParallel(threads, [&](unsigned t) {
        if (t > filling) return;
        const uint32_t sliceLimit = t == filling ? limit - offsets[t] : counts[t];
        collectChosen(segment + bounds[t], bounds[t + 1] - bounds[t], a + 2 * static_cast<uint64_t>(bounds[t]),
                     table + offsets[t], sliceLimit, looked[t]);
    });
    examined = filling == threads ? length : bounds[filling] + looked[filling];
    return static_cast<uint32_t>(std::min<uint64_t>(total, limit));
}
