// Marking one sieve segment (the byte of every odd k = a + 2j for which
// k*2^n+1 has a sieving prime factor is cleared, every other byte set to 1),
// and collecting the k of its set bytes into a batch.
#pragma once

#include <cstdint>
#include <vector>

// 2^(-n) mod q for an odd prime q, by powers of the inverse of 2, (q+1)/2.
uint32_t InverseTwoPower(uint32_t q, uint32_t n);

// Index j of the first byte of a segment starting at the odd a whose k = a+2j
// makes k*2^n+1 divisible by q, given e = 2^(-n) mod q. Always below q; it
// never overflows, whatever a.
uint32_t FirstSievedByte(uint32_t q, uint32_t e, uint64_t a);

// primes: count odd primes in increasing order (the prime table);
// inversePowers[i] = 2^(-n) mod primes[i]. The result depends on nothing
// else, however the work is divided.
void sieveSegment(uint8_t* segment, uint32_t length, uint64_t a, const uint32_t* primes,
                  const uint32_t* inversePowers, uint32_t count);

// The marking of one search's segments in turn, which carries every prime's
// first sieved byte from a segment to the one that follows it directly.
struct SegmentMarker {
    const uint32_t* primes;
    const uint32_t* inversePowers;
    uint32_t count;
    uint32_t length;  // of the last segment marked, 0 before the first
    unsigned slices;
    uint64_t nextA;                    // where a directly following segment starts
    std::vector<uint32_t> offsets;     // per slice, per prime: first sieved byte from the slice's start
    std::vector<uint32_t> lengthModQ;  // length mod primes[i]
};
// Starts a search with the table (the arrays are used until its end).
void BeginMarking(SegmentMarker& marker, const uint32_t* primes, const uint32_t* inversePowers, uint32_t count);
// Marks the segment of length odd k from a exactly as sieveSegment does.
void MarkSegment(SegmentMarker& marker, uint8_t* segment, uint32_t length, uint64_t a);

// Stores a + 2j for the set bytes j of the marked segment into table, in
// order, until limit are stored or the segment ends; returns the count and
// sets examined to the number of bytes the batch consumes: the whole length
// unless set bytes are left after the batch (then up to and including the
// byte that completed it), as the device sieve counts. Entry count of the
// table may be overwritten.
uint32_t CollectSurvivors(const uint8_t* segment, uint32_t length, uint64_t a, unsigned long long* table,
                          uint32_t limit, uint32_t& examined);

// Survivors are collected with AVX-512 where the processor has it (chosen
// once, at start-up), else by the portable loop; both give the same batch.
// Tests force either (AVX-512 only where supported).
bool avx512CollectSupported();

// Hardware threads that marking and collecting on this thread may use (0:
// all); the audit of the device sieve keeps to its own thread.
extern thread_local unsigned sieveThreadsAllowed;

// The smallest primes' patterns are combined 64 bytes at a time with
// AVX-512, 32 with AVX2, else 8 (chosen once, at start-up, the widest the
// processor has); every width marks alike. Tests force a narrower one.
uint32_t patternVectorBytesSupported();
extern uint32_t patternVectorBytes;
extern bool collectWithAvx512;
