// Marking one sieve segment quickly: the segment is cut into contiguous
// slices, one per hardware thread (the device is idle while the host sieves);
// within a slice the smallest primes are laid down as repeating patterns,
// the primes below the block lengths cross out block by block so the bytes
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

uint32_t patternVectorBytesSupported() {
    if (__builtin_cpu_supports("avx512f")) return 64;
    if (__builtin_cpu_supports("avx2")) return 32;
    return 8;
}

uint32_t patternVectorBytes = patternVectorBytesSupported();

namespace {

// Primes below SMALL_PRIME_BELOW cross out block by block in L1, those
// below an outer block outer block by outer block in L2 (a third faster
// than one block size at 10,000 primes and at 300,000), the rest walk the
// slice: taking those in outer blocks too was a quarter slower at 300,000.
// Primes of a few crossings per block cost more in mispredicted loop ends
// than in stores: in L2 blocks they mark 12 % faster at 10,000 primes.
constexpr uint32_t BLOCK_BYTES = 1u << 15;
constexpr uint32_t SMALL_PRIME_BELOW = 1u << 13;
constexpr uint32_t OUTER_BLOCK_BYTES = 1u << 20;
constexpr uint32_t LARGE_PRIME_FROM = OUTER_BLOCK_BYTES;
constexpr uint32_t BYTES_PER_THREAD = 1u << 20;  // smaller segments stay on one thread
constexpr uint32_t PRIMES_PER_THREAD = 1u << 14; // fewer offsets are found on one thread

// The smallest primes, in groups whose product is a short period: each
// group's crossings repeat with that period, so they are laid down as one
// pattern per group, the groups combined by AND 64 bytes at a time, instead
// of a store per crossed byte (a third of all stores at 10,000 primes).
constexpr uint32_t PATTERN_GROUPS = 5;
constexpr uint32_t GROUP_SIZE = 5;  // primes per group at most
const uint32_t groupPrimes[PATTERN_GROUPS][GROUP_SIZE] = {
    {3, 5, 7, 11, 13}, {17, 19, 23}, {29, 31, 37}, {41, 43, 47}, {53, 59, 61}};
// Each pattern is stored one period and this much more, so that a run of
// bytes read from it ends at a wrap only after at least this many bytes.
constexpr uint32_t PATTERN_TAIL = 4096;  // below every period

struct Pattern {
    uint32_t primes;  // in the group
    uint32_t period;  // their product
    // Byte x is 0 when one of the group's primes divides x.
    std::vector<uint8_t> bytes;  // period + PATTERN_TAIL
    // By the Chinese remainder theorem: the phase s of the pattern for
    // offsets o is the sum of ((q - o) mod q) * crt[i], mod period.
    uint64_t crt[GROUP_SIZE];
};

std::vector<Pattern> makePatterns() {
    std::vector<Pattern> patterns(PATTERN_GROUPS);
    for (uint32_t g = 0; g < PATTERN_GROUPS; ++g) {
        Pattern& pattern = patterns[g];
        pattern.primes = 0;
        pattern.period = 1;
        while (pattern.primes < GROUP_SIZE && groupPrimes[g][pattern.primes] != 0)
            pattern.period *= groupPrimes[g][pattern.primes++];
        pattern.bytes.assign(pattern.period + PATTERN_TAIL, 1);
        for (uint32_t i = 0; i < pattern.primes; ++i) {
            const uint32_t q = groupPrimes[g][i], rest = pattern.period / q;
            for (uint32_t x = 0; x < pattern.period + PATTERN_TAIL; x += q) pattern.bytes[x] = 0;
            uint32_t inverse = 1;  // of rest mod q, by trial: q is tiny
            while (static_cast<uint64_t>(rest) * inverse % q != 1) ++inverse;
            pattern.crt[i] = static_cast<uint64_t>(rest) * inverse;
        }
    }
    return patterns;
}

const std::vector<Pattern>& patterns() {
    static const std::vector<Pattern> made = makePatterns();
    return made;
}

// The groups whose primes all lead the table, in order; their primes are
// then primes[0 .. primesIn(groups)).
uint32_t groupsLeading(const uint32_t* primes, uint32_t count) {
    uint32_t groups = 0, at = 0;
    for (; groups < PATTERN_GROUPS; ++groups) {
        const Pattern& pattern = patterns()[groups];
        if (at + pattern.primes > count) break;
        if (!std::equal(primes + at, primes + at + pattern.primes, groupPrimes[groups])) break;
        at += pattern.primes;
    }
    return groups;
}

// dst[i] = the AND of the five sources' byte i, for i below n. A group
// missing from the table repeats a source: AND is idempotent.
using AndPatterns = void (*)(uint8_t*, uint32_t, const uint8_t* const*);

inline void andPatternsTail(uint8_t* dst, uint32_t from, uint32_t n, const uint8_t* const* src) {
    for (uint32_t i = from; i < n; ++i) dst[i] = src[0][i] & src[1][i] & src[2][i] & src[3][i] & src[4][i];
}

void andPatternsPortable(uint8_t* dst, uint32_t n, const uint8_t* const* src) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word = ~0ull;
        for (uint32_t s = 0; s < PATTERN_GROUPS; ++s) {
            uint64_t part;
            std::memcpy(&part, src[s] + i, 8);
            word &= part;
        }
        std::memcpy(dst + i, &word, 8);
    }
    andPatternsTail(dst, i, n, src);
}

__attribute__((target("avx2"))) void andPatternsAvx2(uint8_t* dst, uint32_t n, const uint8_t* const* src) {
    uint32_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i word = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[0] + i));
        for (uint32_t s = 1; s < PATTERN_GROUPS; ++s)
            word = _mm256_and_si256(word, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[s] + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), word);
    }
    andPatternsTail(dst, i, n, src);
}

__attribute__((target("avx512f"))) void andPatternsAvx512(uint8_t* dst, uint32_t n, const uint8_t* const* src) {
    uint32_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m512i word = _mm512_loadu_si512(src[0] + i);
        for (uint32_t s = 1; s < PATTERN_GROUPS; ++s) word = _mm512_and_si512(word, _mm512_loadu_si512(src[s] + i));
        _mm512_storeu_si512(dst + i, word);
    }
    andPatternsTail(dst, i, n, src);
}

AndPatterns andPatternsFor(uint32_t vectorBytes) {
    return vectorBytes == 64 ? andPatternsAvx512 : vectorBytes == 32 ? andPatternsAvx2 : andPatternsPortable;
}

// Lays the leading groups' patterns over slice bytes start..end-1; at[g] is
// where byte `start` falls in group g's period, and moves on to `end`.
void layPatterns(uint8_t* slice, uint32_t start, uint32_t end, uint32_t groups, uint32_t* at) {
    if (groups == 0) {
        std::memset(slice + start, 1, end - start);
        return;
    }
    const AndPatterns combine = andPatternsFor(patternVectorBytes);
    const uint8_t* src[PATTERN_GROUPS];
    for (uint32_t j = start; j < end;) {
        uint32_t run = end - j;
        for (uint32_t g = 0; g < groups; ++g) run = std::min(run, patterns()[g].period + PATTERN_TAIL - at[g]);
        for (uint32_t s = 0; s < PATTERN_GROUPS; ++s) {
            const uint32_t g = std::min(s, groups - 1);
            src[s] = patterns()[g].bytes.data() + at[g];
        }
        combine(slice + j, run, src);
        j += run;
        for (uint32_t g = 0; g < groups; ++g) {
            at[g] += run;  // below period + PATTERN_TAIL, itself below twice the period
            if (at[g] >= patterns()[g].period) at[g] -= patterns()[g].period;
        }
    }
}

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

// Crosses out the bytes of primes[i] from next[i] up to end, and leaves
// next[i] at the first byte at or past end.
void crossOut(uint8_t* slice, uint32_t end, const uint32_t* primes, uint32_t* next, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t q = primes[i];
        uint32_t j = next[i];
        // Four independent stores a round: the loop is bound by stores,
        // not by its one addition.
        const uint32_t unrolledEnd = end > 3 * q ? end - 3 * q : 0;
        for (; j < unrolledEnd; j += 4 * q) {
            slice[j] = 0;
            slice[j + q] = 0;
            slice[j + 2 * q] = 0;
            slice[j + 3 * q] = 0;
        }
        for (; j < end; j += q) slice[j] = 0;
        next[i] = j;
    }
}

// Marks bytes lo..hi-1 of the segment; offsets[i] is primes[i]'s first
// sieved byte counted from lo.
void markSlice(uint8_t* segment, uint32_t lo, uint32_t hi, const uint32_t* primes, const uint32_t* offsets,
               uint32_t count) {
    uint8_t* slice = segment + lo;
    const uint32_t length = hi - lo;

    const uint32_t groups = groupsLeading(primes, count);
    uint32_t at[PATTERN_GROUPS];
    uint32_t small = 0;
    for (uint32_t g = 0; g < groups; ++g) {
        const Pattern& pattern = patterns()[g];
        uint64_t phase = 0;
        for (uint32_t i = 0; i < pattern.primes; ++i, ++small) {
            const uint32_t q = primes[small];
            phase += (offsets[small] == 0 ? 0 : q - offsets[small]) * pattern.crt[i];
        }
        at[g] = static_cast<uint32_t>(phase % pattern.period);
    }

    uint32_t medium = small;
    while (medium < count && primes[medium] < SMALL_PRIME_BELOW) ++medium;
    uint32_t large = medium;
    while (large < count && primes[large] < LARGE_PRIME_FROM) ++large;
    std::vector<uint32_t> next(offsets + small, offsets + large);

    for (uint32_t outer = 0; outer < length; outer += OUTER_BLOCK_BYTES) {
        const uint32_t outerEnd = std::min(length, outer + OUTER_BLOCK_BYTES);
        for (uint32_t start = outer; start < outerEnd; start += BLOCK_BYTES) {
            const uint32_t end = std::min(outerEnd, start + BLOCK_BYTES);
            layPatterns(slice, start, end, groups, at);
            crossOut(slice, end, primes + small, next.data(), medium - small);
        }
        crossOut(slice, outerEnd, primes + medium, next.data() + (medium - small), large - medium);
    }

    for (uint32_t i = large; i < count; ++i)
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
