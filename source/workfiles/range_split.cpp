// The band cut, the classification walk and the lines of a band piece: which lines replace an assignment line.
#include "workfiles/range_split.h"

#include <cstdio>

namespace {

// How the line's k range meets the word-count thresholds at one exponent.
enum ExponentKind {
    KIND_ABOVE,        // every k needs three words more than the band number
    KIND_BELOW,        // every k needs only one word more: no kernel
    KIND_CROSSING_U,   // the range reaches past U(n)
    KIND_CROSSING_L,   // the range starts at or under L(n), ends under U(n)
    KIND_INSIDE,       // every k needs two words more
    KIND_UPPER_HALF    // as inside, but would need three words at n+1
};

const uint32_t FIRST_UNSERVED_WIDER_BAND = 18;  // band 18 has no kernel for j+3 words

ExponentKind ClassifyExponent(uint32_t n, uint64_t kStart, uint64_t kEnd) {
    // At the bottom of a band 2^64-1 only stands in for U(n): even that k
    // has two words more than the band number there, not three, so a line of
    // it must not share a kernel with the exponents above.
    if (n % 32 != 0 && kStart >= UpperWordThreshold(n)) return KIND_ABOVE;
    if (kEnd <= LowerWordThreshold(n)) return KIND_BELOW;
    if (kEnd > UpperWordThreshold(n)) return KIND_CROSSING_U;
    if (kStart <= LowerWordThreshold(n)) return KIND_CROSSING_L;
    if (kStart < HalfWordThreshold(n)) return KIND_INSIDE;
    return KIND_UPPER_HALF;
}

AssignmentLine MakeLine(uint32_t nFirst, uint32_t nLast, uint64_t kFirst, uint64_t kLast) {
    AssignmentLine line = {nFirst, nLast, kFirst, kLast};
    return line;
}

// Odd k from first to last, both included; no sum that could pass 2^64.
uint64_t OddCount(uint64_t first, uint64_t last) {
    if (last < first) return 0;
    return (last / 2 + (last & 1)) - first / 2;
}

// Collects what a cut leaves out; without a table it only counts.
struct LeftOutTable {
    LeftOutMultipliers* records;
    int count;

    void add(uint32_t n, uint64_t first, uint64_t last, uint64_t bound, bool tooLong) {
        uint64_t odd = OddCount(first, last);
        if (odd == 0) return;
        if (records) records[count] = LeftOutMultipliers{n, odd, bound, tooLong};
        ++count;
    }
};

}  // namespace

uint64_t LowerWordThreshold(uint32_t n) { return 1ULL << (32 - n % 32); }

uint64_t UpperWordThreshold(uint32_t n) {
    uint32_t r = n % 32;
    return r == 0 ? UINT64_MAX : 1ULL << (64 - r);
}

uint64_t HalfWordThreshold(uint32_t n) { return 1ULL << (63 - n % 32); }

int CutAssignmentLine(const AssignmentLine& line, AssignmentLine lines[MAX_CUT_LINES], LeftOutMultipliers* leftOut,
                      int* leftOutCount) {
    LeftOutTable left = {leftOut, 0};
    if (leftOutCount) *leftOutCount = 0;
    const uint32_t band = line.nStart / 32;
    const uint32_t nextBandStart = (band + 1) * 32;
    const bool bandCut = nextBandStart <= line.nEnd;
    const uint32_t top = bandCut ? nextBandStart - 1 : line.nEnd;

    // Walk down from the top; the kinds come in runs, and an upper-half
    // exponent settles everything under it at once.
    ExponentKind kinds[32];
    bool stopped = false, anyCrossingU = false, anyCrossingL = false;
    uint32_t stop = 0, lowestCrossingL = 0;
    for (uint32_t n = top;; --n) {
        ExponentKind kind = ClassifyExponent(n, line.kStart, line.kEnd);
        kinds[n - line.nStart] = kind;
        if (kind == KIND_UPPER_HALF) {
            stopped = true;
            stop = n;
            break;
        }
        if (kind == KIND_CROSSING_U) anyCrossingU = true;
        if (kind == KIND_CROSSING_L) {
            anyCrossingL = true;
            lowestCrossingL = n;
        }
        if (n == line.nStart) break;
    }

    if (!bandCut && !anyCrossingU && !anyCrossingL && !(stopped && stop < top)) return 0;

    int count = 0;
    uint32_t n = line.nStart;
    if (stopped) {
        lines[count++] = MakeLine(line.nStart, stop, line.kStart, line.kEnd);
        n = stop + 1;
    }
    while (n <= top) {
        ExponentKind kind = kinds[n - line.nStart];
        if (kind == KIND_CROSSING_L) {
            left.add(n, line.kStart, LowerWordThreshold(n) - 1, LowerWordThreshold(n), false);
            lines[count++] = MakeLine(n, n, LowerWordThreshold(n), line.kEnd);
            ++n;
            continue;
        }
        if (kind == KIND_CROSSING_U) {
            uint64_t lower = LowerWordThreshold(n);
            uint64_t upper = UpperWordThreshold(n);
            left.add(n, line.kStart, lower - 1, lower, false);
            lines[count++] = MakeLine(n, n, line.kStart > lower ? line.kStart : lower, upper);
            if (band < FIRST_UNSERVED_WIDER_BAND)
                lines[count++] = MakeLine(n, n, upper, line.kEnd);
            else
                left.add(n, upper, line.kEnd, upper, true);
            ++n;
            continue;
        }
        // A run of exponents that get no line of their own.
        uint32_t runStart = n;
        bool allAbove = true;
        while (n <= top && kinds[n - line.nStart] != KIND_CROSSING_L && kinds[n - line.nStart] != KIND_CROSSING_U) {
            if (kinds[n - line.nStart] != KIND_ABOVE) allAbove = false;
            ++n;
        }
        uint32_t runEnd = n - 1;
        // Under the lowest crossing-L exponent only below exponents remain,
        // which no kernel serves; in band 18 the above exponents are as
        // unservable once their crossing-U neighbours are cut.
        bool underCrossingL = anyCrossingL && runEnd < lowestCrossingL;
        bool unservedAbove = band >= FIRST_UNSERVED_WIDER_BAND && anyCrossingU && allAbove;
        if (!underCrossingL && !unservedAbove) {
            lines[count++] = MakeLine(runStart, runEnd, line.kStart, line.kEnd);
            continue;
        }
        for (uint32_t m = runStart; m <= runEnd; ++m)
            left.add(m, line.kStart, line.kEnd, unservedAbove ? UpperWordThreshold(m) : LowerWordThreshold(m),
                     unservedAbove);
    }
    if (bandCut) lines[count++] = MakeLine(nextBandStart, line.nEnd, line.kStart, line.kEnd);
    if (leftOutCount) *leftOutCount = left.count;
    return count;
}

int FormatLeftOut(const LeftOutMultipliers& record, char* buffer, size_t size) {
    const char* format = record.tooLong
                             ? "n=%d: %llu odd k left out (k from %llu: p too long for the band's kernel)\n"
                             : "n=%d: %llu odd k left out (k below %llu: p too short for the band's kernels)\n";
    return snprintf(buffer, size, format, static_cast<int>(record.n), static_cast<unsigned long long>(record.count),
                    static_cast<unsigned long long>(record.bound));
}

int FormatAssignmentLine(const AssignmentLine& line, char* buffer, size_t size) {
    return snprintf(buffer, size, "FermatFactor=%d,%d,%llu,%llu\n", static_cast<int>(line.nStart),
                    static_cast<int>(line.nEnd), static_cast<unsigned long long>(line.kStart),
                    static_cast<unsigned long long>(line.kEnd));
}
