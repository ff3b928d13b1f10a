// This machine's host sieve rate for bench/device_model: odd k sieved (marked
// and collected into a batch, as the serial loop does) per CPU second, at the
// prime counts and segment lengths given as COUNT:LENGTH arguments. Contenders
// take turns in every round; CPU time of the whole process (every thread the
// sieve starts) is measured, and the median, min and max over the rounds are
// printed as one JSON object per line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "quilbrex.h"
#include "sieve/prime_sieve.h"
#include "sieve/segment_marking.h"
#include "sieve/segment_sieve.h"

namespace {

double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

struct Contender {
    uint32_t count, length;
    std::vector<uint32_t> primes, inversePowers;
    std::vector<double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    const uint32_t n = 100, rounds = 7;
    std::vector<Contender> contenders;
    for (int i = 1; i < argc; ++i) {
        unsigned count = 0, length = 0;
        if (sscanf(argv[i], "%u:%u", &count, &length) != 2 || count == 0 || length == 0) {
            fprintf(stderr, "usage: host_sieve_rate COUNT:LENGTH ...\n");
            return 2;
        }
        Contender c{count, length, {}, {}, {}};
        primeCount = count;
        BuildPrimeTable();
        c.primes.assign(primeTable, primeTable + count);
        ReleasePrimeTable();
        for (uint32_t q : c.primes) c.inversePowers.push_back(InverseTwoPower(q, n));
        contenders.push_back(c);
    }
    std::vector<unsigned long long> table(MAX_BATCH + 1);
    std::vector<uint8_t> segment;
    uint64_t a = 1000000000001ull;
    for (uint32_t round = 0; round < rounds; ++round) {
        for (Contender& c : contenders) {
            segment.resize(c.length);
            uint64_t examinedTotal = 0;
            const double start = cpuSeconds();
            do {
                sieveSegment(segment.data(), c.length, a, c.primes.data(), c.inversePowers.data(), c.count);
                uint32_t examined = 0;
                CollectSurvivors(segment.data(), c.length, a, table.data(), MAX_BATCH, examined);
                examinedTotal += examined;
                a += 2ull * examined;
            } while (cpuSeconds() - start < 0.3);
            c.rates.push_back(examinedTotal / (cpuSeconds() - start));
        }
    }
    for (Contender& c : contenders) {
        std::sort(c.rates.begin(), c.rates.end());
        printf("{\"primes\": %u, \"segment\": %u, \"oddKPerCpuSecond\": %.0f, \"min\": %.0f, \"max\": %.0f}\n", c.count,
               c.length, c.rates[c.rates.size() / 2], c.rates.front(), c.rates.back());
    }
    return 0;
}
