// Builds primeTable: exactly primeCount odd primes from 3 upward, from a fixed list or an odd-only byte sieve.
#include "sieve/prime_sieve.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal_exit.h"
#include "quilbrex.h"

namespace {

const uint32_t smallOddPrimes[10] = {3, 5, 7, 11, 13, 17, 19, 23, 29, 31};

// Enough for every odd prime up to the square root of any bound below 17401^2.
constexpr uint32_t TRIAL_TABLE_ROOM = 2000;

// The 203280220th odd prime is the last one below 2^32; no uint32 table holds more.
constexpr uint32_t MAX_ODD_PRIMES = 203280220;

[[noreturn]] void outOfMemory() {
    perror("\nThere is not enough memory to allocate a table of primes");
    FatalExit(1);
}

// Replaces any previous table, so that there is only ever one.
void allocatePrimeTable(uint32_t count) {
    ReleasePrimeTable();
    // malloc(0) may legitimately return null; an empty table still gets a real pointer.
    primeTable = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * (count ? count : 1)));
    if (!primeTable) outOfMemory();
}

uint32_t squareRoot(uint32_t bound) {
    uint32_t s = static_cast<uint32_t>(std::sqrt(static_cast<double>(bound)));
    // Guard against the double rounding one step either way.
    while (static_cast<uint64_t>(s) * s > bound) --s;
    while (static_cast<uint64_t>(s + 1) * (s + 1) <= bound) ++s;
    return s;
}

// Odd primes up to limit by trial division against the primes found so far.
// Returns how many were stored in table (which must have room for them).
uint32_t fillTrialTable(uint32_t* table, uint32_t limit) {
    uint32_t size = 0;
    table[size++] = 3;
    for (uint32_t c = 5; c <= limit; c += 2) {
        bool prime = true;
        for (uint32_t i = 0; i < size; ++i) {
            uint32_t e = table[i];
            if (static_cast<uint64_t>(e) * e > c) break;
            if (c % e == 0) {
                prime = false;
                break;
            }
        }
        if (prime) table[size++] = c;
    }
    return size;
}

// Sieves the odd numbers below bound and stores up to count primes in primeTable.
// Returns how many were stored.
uint32_t sieveBelow(uint32_t bound, uint32_t count) {
    uint32_t root = squareRoot(bound);
    // Only bounds beyond 17401^2 need more room than the usual 2000 entries.
    uint32_t room = root / 2 + 1 > TRIAL_TABLE_ROOM ? root / 2 + 1 : TRIAL_TABLE_ROOM;
    uint32_t* trial = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * room));
    size_t bytes = bound / 2;
    unsigned char* sieve = static_cast<unsigned char*>(malloc(bytes ? bytes : 1));
    if (!trial || !sieve) outOfMemory();

    uint32_t trialSize = fillTrialTable(trial, root);
    memset(sieve, 1, bytes);
    for (uint32_t t = 0; t < trialSize; ++t) {
        uint64_t e = trial[t];
        // The prime itself must survive, so crossing out starts at 3e.
        for (uint64_t i = (3 * e - 1) / 2; i < bytes; i += e) sieve[i] = 0;
    }

    uint32_t stored = 0;
    for (size_t i = 1; i < bytes && stored < count; ++i)
        if (sieve[i]) primeTable[stored++] = static_cast<uint32_t>(2 * i + 1);

    free(sieve);
    free(trial);
    return stored;
}

}  // namespace

uint32_t PrimeSieveBound(uint32_t count) {
    // The limit of (a ln P + b) P as P goes to 0 is 0, leaving d.
    if (count == 0) return 1;
    double a, b;
    uint32_t d;
    if (count < 100) {
        a = 1.0125, b = 0.81, d = 1;
    } else if (count < 1000) {
        a = 1.0721, b = 0.54, d = 1;
    } else if (count < 10000) {
        a = 1.1053, b = 0.31, d = 0;
    } else if (count < 100000) {
        a = 1.0959, b = 0.39, d = 0;
    } else if (count < 1000000) {
        a = 1.0796, b = 0.575, d = 0;
    } else {
        a = 1.0673, b = 0.743, d = 0;
    }
    double P = count;
    double product = (a * std::log(P) + b) * P;
    // Counts that large cannot be held in 32-bit entries anyway; saturate rather than overflow.
    if (product >= 4294967295.0 - d) return UINT32_MAX;
    return static_cast<uint32_t>(product) + d;
}

void InitializePrimeSieve() {
    uint32_t count = primeCount;
    if (count > MAX_ODD_PRIMES) {
        errno = EOVERFLOW;
        outOfMemory();
    }
    allocatePrimeTable(count);
    uint32_t bound = PrimeSieveBound(count);
    // The estimate falls short of the count-th odd prime for some counts (11 gives 36, which
    // holds only ten); widen by a margin far above the largest shortfall and sieve again.
    while (sieveBelow(bound, count) < count) {
        uint64_t wider = static_cast<uint64_t>(bound) + bound / 16 + 64;
        bound = wider > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wider);
    }
}

void BuildPrimeTable() {
    if (primeCount > 10) {
        InitializePrimeSieve();
        return;
    }
    allocatePrimeTable(primeCount);
    memcpy(primeTable, smallOddPrimes, sizeof(uint32_t) * primeCount);
}

void ReleasePrimeTable() {
    free(primeTable);
    primeTable = nullptr;
}
