// Fuzzes the range cutter: every servable odd k of every exponent of the band
// piece lies in exactly one cut line, none outside the line, and each cut
// line is served by one kernel throughout, or refused as a whole by the run
// configuration because its first candidate has no kernel (exponents whose
// k all fall short of a kernel's width stay in a line of their own kind).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "workfiles/range_split.h"

namespace {

uint32_t BitLength(uint64_t k) { return k == 0 ? 0 : 64 - static_cast<uint32_t>(__builtin_clzll(k)); }

// The 32-bit words of k*2^n+1.
uint32_t Width(uint64_t k, uint32_t n) { return (BitLength(k) - 1 + n) / 32 + 1; }

bool Servable(uint64_t k, uint32_t n) {
    uint32_t band = n / 32, width = Width(k, n);
    return band == 18 ? width == 20 : (width == band + 2 || width == band + 3);
}

uint64_t OddCount(uint64_t first, uint64_t last) {
    first |= 1;
    if (first > last) return 0;
    return (last - first) / 2 + 1;
}

uint64_t LastOdd(uint64_t k) { return k % 2 ? k : k - 1; }

// Servable odd k of [first, last] at n: from L(n) on, and in band 18 below U(n).
uint64_t ServableOddCount(uint64_t first, uint64_t last, uint32_t n) {
    uint64_t low = std::max(first, LowerWordThreshold(n));
    uint64_t high = last;
    if (n / 32 == 18 && n % 32 != 0) high = std::min(high, UpperWordThreshold(n) - 1);
    return low > high ? 0 : OddCount(low, high);
}

// The run configuration picks the kernel from the line's first candidate:
// either it serves every candidate of the line, or there is none and the
// line is refused before anything is searched.
bool OneKernelOrRefused(const AssignmentLine& line) {
    uint64_t first = line.kStart | 1, last = LastOdd(line.kEnd);
    if (!Servable(first, line.nStart)) return true;
    return line.nStart / 32 == line.nEnd / 32 && Width(first, line.nStart) == Width(last, line.nEnd);
}

// Values near the thresholds, where the cutter decides.
uint64_t PickK(const uint8_t*& data, size_t& size, uint32_t n) {
    uint64_t raw = 0;
    size_t take = std::min<size_t>(size, 9);
    for (size_t i = 1; i < take; ++i) raw = raw << 8 | data[i];
    uint8_t how = take ? data[0] : 0;
    data += take;
    size -= take;
    int64_t delta = static_cast<int8_t>(raw & 0xff) % 5;
    uint64_t base;
    switch (how % 5) {
        case 0: base = LowerWordThreshold(n); break;
        case 1: base = UpperWordThreshold(n); break;
        case 2: base = HalfWordThreshold(n); break;
        case 3: base = UINT64_MAX - (raw & 0xff); delta = 0; break;
        default: return raw;
    }
    return base + static_cast<uint64_t>(delta);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    AssignmentLine line;
    line.nStart = 32 + data[0] % 576;
    line.nEnd = line.nStart + data[1] % (608 - line.nStart);
    data += 2;
    size -= 2;
    uint64_t a = PickK(data, size, line.nStart), b = PickK(data, size, line.nEnd);
    line.kStart = std::min(a, b);
    line.kEnd = std::max(a, b);
    // Only what validation lets through.
    if (line.kStart < 2 || (line.kStart == line.kEnd && line.kStart % 2 == 0)) return 0;

    AssignmentLine lines[MAX_CUT_LINES];
    int count = CutAssignmentLine(line, lines);
    if (count < 0 || count > MAX_CUT_LINES) abort();
    const uint32_t top = std::min(line.nEnd, (line.nStart / 32 + 1) * 32 - 1);
    if (count == 0) {
        if (!OneKernelOrRefused(line)) abort();
        return 0;
    }
    int pieces = count;
    if (top < line.nEnd) {
        const AssignmentLine& rest = lines[--pieces];
        if (rest.nStart != top + 1 || rest.nEnd != line.nEnd || rest.kStart != line.kStart || rest.kEnd != line.kEnd)
            abort();
    }
    for (int i = 0; i < pieces; ++i) {
        const AssignmentLine& cut = lines[i];
        if (cut.nStart < line.nStart || cut.nEnd > top || cut.nStart > cut.nEnd) abort();
        if (cut.kStart < line.kStart || cut.kEnd > line.kEnd || OddCount(cut.kStart, cut.kEnd) == 0) abort();
        if (!OneKernelOrRefused(cut)) abort();
    }
    for (uint32_t n = line.nStart; n <= top; ++n) {
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (int i = 0; i < pieces; ++i)
            if (lines[i].nStart <= n && n <= lines[i].nEnd) ranges.emplace_back(lines[i].kStart | 1, lines[i].kEnd);
        std::sort(ranges.begin(), ranges.end());
        uint64_t covered = 0;
        for (size_t i = 0; i < ranges.size(); ++i) {
            if (i > 0 && ranges[i].first <= ranges[i - 1].second) abort();  // an odd k in two lines
            covered += ServableOddCount(ranges[i].first, ranges[i].second, n);
        }
        if (covered != ServableOddCount(line.kStart, line.kEnd, n)) abort();
    }
    return 0;
}
