// The self-test's runner: starts the device like the program, runs every
// member's cases and prints one line per member and the total.
#include "selftest/self_test.h"

#include <chrono>
#include <cstdio>

#include "driver/startup.h"
#include "kernels/kernel_registry.h"
#include "selftest/self_test_cases.h"
#include "sieve/device_sieve.h"
#include "verify/known_factors.h"

int SelfTestMain() {
    StartDevice();

    // One sieved range per width that has a known factor with odd k (the
    // sieve only ever looks at odd k): the first in the table.
    const KnownFactor* sievedRange[21] = {};
    for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i) {
        const KnownFactor& f = knownFactors[i];
        const KernelEntry* member = MemberFor(f.k, f.n);
        if (member && f.k % 2 == 1 && !sievedRange[member->width]) sievedRange[member->width] = &f;
    }

    printf("\nSelf-test: every factor-test kernel against known factors and the host's reference\n");
    printf("  %-26s %7s %6s %7s %8s\n", "member", "batch", "cases", "passed", "seconds");
    uint32_t totalCases = 0, totalPassed = 0;
    bool deviceSieveChecked[21] = {};
    double totalSeconds = 0;
    for (const KernelEntry& member : kernelTable) {
        const auto started = std::chrono::steady_clock::now();
        CaseTally tally;
        const uint32_t batch = SelfTestBatchSize(member);
        for (size_t i = 0; i < KNOWN_FACTOR_COUNT; ++i)
            if (MemberFor(knownFactors[i].k, knownFactors[i].n) == &member)
                CheckKnownFactor(member, knownFactors[i], batch, tally);
        CheckRangeEdges(member, tally);
        const KnownFactor* ranged = sievedRange[member.width];
        if (ranged && MemberFor(ranged->k, ranged->n) == &member) CheckSievedRange(*ranged, tally);
        if (sieveOnDevice && !deviceSieveChecked[member.width]) {
            CheckDeviceSieve(member, tally);
            deviceSieveChecked[member.width] = true;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

        for (const std::string& failure : tally.failures) printf("  FAILED %s: %s\n", member.name, failure.c_str());
        printf("  %-26s %7u %6u %7u %8.2f%s\n", member.name, batch, tally.cases, tally.passed, seconds,
               tally.passed == tally.cases ? "" : "  FAILED");
        totalCases += tally.cases;
        totalPassed += tally.passed;
        totalSeconds += seconds;
    }
    printf("  %-26s %7s %6u %7u %8.2f%s\n", "total", "", totalCases, totalPassed, totalSeconds,
           totalPassed == totalCases ? "" : "  FAILED");

    ReleaseDevice();
    return totalPassed == totalCases ? 0 : 1;
}
