// The audit thread: one batch at a time, marked and collected on the host
// sieve's own code but on this one thread, so it takes its share of one core
// and no more; the batch loop only hands batches over and reads verdicts.
#include "sieve/sieve_audit.h"

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "quilbrex.h"
#include "sieve/segment_marking.h"

double auditCoreShare = 0.02;
bool auditEveryBatch = false;

namespace {

struct AuditJob {
    const unsigned long long* table;
    uint32_t gridEntries;
    uint64_t a;
    uint32_t length, n, count, examined, limit;
};

// Shared with the audit thread, under `lock`. Never destroyed: the thread
// waits on them until the process ends. A child forked while the thread
// existed has none: it starts its own, with a lock and a signal of its own.
std::mutex* lockOf = new std::mutex;
std::condition_variable* wakeOf = new std::condition_variable;
pid_t threadIn = 0;
bool jobWaiting = false, running = false, chosen = false;
AuditJob job;
std::string outcome;
uint32_t auditsRun = 0;
double cpuSeconds = 0;

// The loop's own: when the next batch may be picked (after the first).
std::chrono::steady_clock::time_point nextPick;
std::mt19937_64 picks(std::random_device{}());

double threadCpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

std::string audit(const AuditJob& j) {
    // 2^(-n) mod q again for every exponent: once per search, and the first
    // batch of a search is always audited anyway.
    static std::vector<uint32_t> inverses;
    static uint32_t inversesN = 0, inversesCount = 0;
    static const uint32_t* inversesOf = nullptr;
    if (inversesN != j.n || inversesCount != primeCount || inversesOf != primeTable) {
        inverses.resize(primeCount);
        for (uint32_t i = 0; i < primeCount; ++i) inverses[i] = InverseTwoPower(primeTable[i], j.n);
        inversesN = j.n;
        inversesCount = primeCount;
        inversesOf = primeTable;
    }
    std::vector<uint8_t> segment(j.length);
    sieveSegment(segment.data(), j.length, j.a, primeTable, inverses.data(), primeCount);
    std::vector<unsigned long long> host(static_cast<size_t>(j.limit) + 1);
    uint32_t examined = 0;
    const uint32_t count = CollectSurvivors(segment.data(), j.length, j.a, host.data(), j.limit, examined);
    char text[200];
    if (count != j.count || examined != j.examined) {
        snprintf(text, sizeof text, "the device gathered %u candidates over %u odd k, the host %u over %u", j.count,
                 j.examined, count, examined);
        return text;
    }
    for (uint32_t i = 0; i < j.gridEntries; ++i) {
        const unsigned long long expected = i < count ? host[i] : 0;
        if (j.table[i] == expected) continue;
        snprintf(text, sizeof text, "entry %u is %llu on the device, %llu on the host", i, j.table[i], expected);
        return text;
    }
    return "";
}

void auditThread() {
    sieveThreadsAllowed = 1;
    std::unique_lock<std::mutex> guard(*lockOf);
    for (;;) {
        wakeOf->wait(guard, [] { return jobWaiting; });
        jobWaiting = false;
        const AuditJob mine = job;
        guard.unlock();
        const double before = threadCpuSeconds();
        std::string verdict = audit(mine);
        const double spent = threadCpuSeconds() - before;
        guard.lock();
        outcome = verdict;
        cpuSeconds += spent;
        ++auditsRun;
        // The next pick waits as long as this audit took over the share,
        // between half and one and a half times that at random.
        const double pause = spent / auditCoreShare * std::uniform_real_distribution<double>(0.5, 1.5)(picks);
        nextPick = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(pause));
        running = false;
        wakeOf->notify_all();
    }
}

}  // namespace

void DropChosenAudit() {
    std::lock_guard<std::mutex> guard(*lockOf);
    chosen = false;
}

bool AuditIdle() {
    std::lock_guard<std::mutex> guard(*lockOf);
    return !chosen && !running;
}

bool ChooseAudit(bool firstOfSearch) {
    std::lock_guard<std::mutex> guard(*lockOf);
    if (chosen || running) return false;
    bool pick = firstOfSearch || auditEveryBatch;
    // Every other batch once the pause is over: which one is not foreseeable.
    if (!pick && std::chrono::steady_clock::now() >= nextPick) pick = picks() % 2 == 0;
    chosen = pick;
    return pick;
}

void BeginAudit(const unsigned long long* table, uint32_t gridEntries, uint64_t a, uint32_t length, uint32_t n,
                uint32_t count, uint32_t examined, uint32_t limit) {
    if (threadIn != getpid()) {
        lockOf = new std::mutex;
        wakeOf = new std::condition_variable;
        jobWaiting = running = false;
        std::thread(auditThread).detach();
        threadIn = getpid();
    }
    std::lock_guard<std::mutex> guard(*lockOf);
    job = AuditJob{table, gridEntries, a, length, n, count, examined, limit};
    chosen = false;
    running = true;
    jobWaiting = true;
    outcome.clear();
    wakeOf->notify_all();
}

bool AuditFinished() {
    std::lock_guard<std::mutex> guard(*lockOf);
    return !running;
}

std::string AuditOutcome() {
    std::unique_lock<std::mutex> guard(*lockOf);
    wakeOf->wait(guard, [] { return !running; });
    return outcome;
}

uint32_t AuditsRun() {
    std::lock_guard<std::mutex> guard(*lockOf);
    return auditsRun;
}

double AuditCpuSeconds() {
    std::lock_guard<std::mutex> guard(*lockOf);
    return cpuSeconds;
}
