// Host stand-in for the CUDA runtime operations: device 0 is the host processor.
#include "gpu/host_runtime.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <ucontext.h>

#include "gpu/host_runtime_control.h"

thread_local uint3 blockIdx;
thread_local uint3 threadIdx;
thread_local dim3 blockDim;
thread_local dim3 gridDim;

namespace {

struct RegisteredFunction {
    const void* func;
    std::string deviceName;
    HostKernelInvoker invoke;
    std::vector<size_t> argSizes;
    HostRangeInvoker invokeRange;
    bool cooperative;
};

std::vector<RegisteredFunction>& registry() {
    static std::vector<RegisteredFunction> functions;
    return functions;
}

std::string& deviceNote() {
    static std::string note;
    return note;
}

struct Injected {
    int nth;  // 0: none pending
    cudaError_t code;
};

int runtimeVersion = 10000;
int driverVersion = 10000;
bool propertiesOverridden = false;
cudaDeviceProp overriddenProperties;
Injected injected[hostOpCount];
int callCounts[hostOpCount];

// Arguments are taken by value at the launch, as the device runtime does.
struct ArgumentCopy {
    std::vector<unsigned char> bytes;
    std::vector<void*> addresses;
};

struct Launch {
    const void* func;
    dim3 grid, block;
    std::shared_ptr<ArgumentCopy> args;
};

}  // namespace

// Every stream is the one queue of the host device, in issue order; events
// remember how much work (launches, asynchronous copies and memsets) had been
// issued when they were recorded. A held stream (a test's control) keeps its
// work back, in its own order, until something needs it: a wait for one of
// its events, a synchronisation, work on the legacy default stream. It runs
// as a slow stream on a device would, so that work on another stream that
// lacks a wait for it runs first.
struct CUstream_st {
    int number;  // 1 for the first stream made since the last reset, 2 for the next, ...
    std::deque<std::function<void()>> held;
};
struct CUevent_st {
    uint64_t workBefore;
    bool heldBack;           // recorded on a held stream whose work up to the record is not issued yet
    cudaStream_t heldOn;     // that stream
    unsigned long long records;  // a record held back counts only while it is the event's last
};

namespace {

// Work of the last launch, joined by the next synchronising call. Never
// destroyed: a process that exits while a launch runs (a BOINC client quitting
// the task exits from a signal handler) must not abort on joinable threads.
std::vector<std::thread>& launchWorkers = *new std::vector<std::thread>;
std::vector<Launch> unfinishedLaunches;
HostLaunchHook launchHook = nullptr;
cudaError_t pendingError = cudaSuccess;
unsigned long long scheduleSeed = 1;
unsigned long long launchNumber = 0;
unsigned long long launchesStarted = 0;
// Launches issued and launches whose work has been joined, since the start.
uint64_t launchesIssued = 0;
uint64_t launchesJoined = 0;
// Work items (launches and asynchronous copies) issued and finished, in
// issue order; the launch under way is item runningLaunchItem.
uint64_t workIssued = 0;
uint64_t workDone = 0;
uint64_t runningLaunchItem = 0;
// Runs the asynchronous copies issued after the launch under way (section
// below).
void runDeferredWork();
void notePageLocked(const void* pointer, size_t size);
void forgetPageLocked(const void* pointer);
// Workers of the launch under way that have not finished yet.
std::shared_ptr<std::atomic<unsigned>> workersLeft = std::make_shared<std::atomic<unsigned>>(0);

// Set from a signal handler: launches stop handing out blocks.
std::atomic<bool> launchesAbandoned(false);
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

cudaError_t enter(HostRuntimeOp op) {
    ++callCounts[op];
    Injected& fault = injected[op];
    if (fault.nth > 0 && --fault.nth == 0) return fault.code;
    return cudaSuccess;
}

void endWatch();

void waitForLaunch() {
    for (std::thread& worker : launchWorkers) worker.join();
    launchWorkers.clear();
    launchesJoined = launchesIssued;
    endWatch();
    std::vector<Launch> finished;
    finished.swap(unfinishedLaunches);  // a hook may itself wait for work
    for (const Launch& launch : finished)
        if (launchHook) launchHook(launch.func, launch.grid, launch.block, launch.args->addresses.data());
    if (runningLaunchItem > workDone) workDone = runningLaunchItem;
    runDeferredWork();
}

unsigned hardwareThreads() {
    unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

// --- the race watch -------------------------------------------------------------

// The launch under way: its serial number tags the global shadow, and the
// first race found in it is kept until the launch is joined.
std::atomic<unsigned> watchedLaunch(0);
const char* watchedKernel = "";
std::mutex raceMutex;
std::string raceFound;  // the first race of the launch under way
std::string lastRace;   // the last race reported at a join
bool racesWatched = true;
// A launch failed by a race: as on a device after a kernel's fault, later
// launches do not run until a synchronising call has reported it.
bool launchFaulted = false;
// A fault injected on one stream: the nth launch on it faults as it runs.
struct StreamFault {
    int stream;  // its number; 0: none
    int nth;
    cudaError_t code;
};
StreamFault streamFault{0, 0, cudaSuccess};
int streamsCreated = 0;
// The number of the stream whose work is held back (0: none), whether waits
// between streams are dropped, and the streams that exist.
int heldStream = 0;
bool streamWaitsDropped = false;
std::set<cudaStream_t>& liveStreams() {
    static std::set<cudaStream_t>& streams = *new std::set<cudaStream_t>;
    return streams;
}

bool holds(cudaStream_t stream) { return stream && stream->number == heldStream && heldStream != 0; }

// Issues the held work of stream up to the record of event (all of it when
// event is null).
void releaseHeld(cudaStream_t stream, cudaEvent_t event = nullptr) {
    while (!stream->held.empty() && (!event || event->heldBack)) {
        std::function<void()> work = std::move(stream->held.front());
        stream->held.pop_front();
        work();
    }
}

void releaseAllHeld() {
    for (cudaStream_t stream : liveStreams()) releaseHeld(stream);
}

// Work on the legacy default stream follows all earlier work of every
// stream, held or not.
void releaseForDefaultStream(cudaStream_t stream) {
    if (!stream) releaseAllHeld();
}
// The fault of the launch under way, reported when it is joined.
cudaError_t faultAtJoin = cudaSuccess;

// The barrier interval of the block that this host thread runs, and the tag
// of that block's run (a fresh one per block: its shared memory starts anew).
thread_local unsigned short blockInterval = 0;
thread_local unsigned blockRunTag = 0;
thread_local unsigned blockRunsStarted = 0;

constexpr unsigned short NO_THREAD = 0xFFFF;

bool sameThread(const HostAccessor& x, const HostAccessor& y) { return x.block == y.block && x.thread == y.thread; }

// Unordered: another thread, and another block or the same barrier interval.
bool unordered(const HostAccessor& x, const HostAccessor& y) {
    return !sameThread(x, y) && (x.block != y.block || x.interval == y.interval);
}

// Keeps at most two accessors that stand for all seen: one that the new
// accessor follows in program or barrier order adds nothing beside it, and
// two of different blocks are unordered with anything that comes later.
void remember(HostAccessor (&slots)[2], const HostAccessor& a) {
    for (HostAccessor& slot : slots)
        if (slot.thread != NO_THREAD && slot.block == a.block &&
            (slot.thread == a.thread || slot.interval < a.interval))
            slot.thread = NO_THREAD;
    for (HostAccessor& slot : slots)
        if (slot.thread == NO_THREAD) {
            slot = a;
            return;
        }
    if (slots[0].block == slots[1].block && a.block != slots[0].block) slots[1] = a;
}

std::string describeAccessor(const HostAccessor& a) {
    return "block " + std::to_string(a.block) + " thread " + std::to_string(a.thread);
}

void reportRace(const void* word, HostWordShadow* shared, unsigned index, const char* firstKind,
                const HostAccessor& first, const char* secondKind, const HostAccessor& second) {
    char where[64];
    if (shared)
        std::snprintf(where, sizeof where, "shared word %u", index);
    else
        std::snprintf(where, sizeof where, "global word %p", word);
    std::lock_guard<std::mutex> lock(raceMutex);
    if (!raceFound.empty()) return;
    raceFound = std::string("race in ") + watchedKernel + ": " + where + ", " + firstKind + " by " +
                describeAccessor(first) + " and " + secondKind + " by " + describeAccessor(second) +
                " in one barrier interval";
}

// Global memory: shadow pages of 1024 words, in shards by page.
constexpr unsigned SHADOW_SHARDS = 64;
struct ShadowShard {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::unique_ptr<HostWordShadow[]>> pages;
};
ShadowShard* shadowShards = new ShadowShard[SHADOW_SHARDS];

// Two accesses race unless both read or both are atomic.
void check(const void* word, HostWordShadow& record, HostWordShadow* shared, unsigned index, unsigned tag,
           const HostAccessor& a, HostAccessKind kind) {
    if (record.tag != tag) {
        record.tag = tag;
        for (HostAccessor* slots : {record.plain, record.write, record.atomic})
            slots[0].thread = slots[1].thread = NO_THREAD;
    }
    static const char* const kinds[] = {"a read", "a plain write", "an atomic"};
    auto against = [&](const HostAccessor(&slots)[2], const char* earlierKind) {
        for (const HostAccessor& e : slots)
            if (e.thread != NO_THREAD && unordered(e, a)) reportRace(word, shared, index, earlierKind, e, kinds[kind], a);
    };
    if (kind == hostAccessRead) against(record.write, "a plain write");
    if (kind != hostAccessAtomic) against(record.atomic, "an atomic");
    if (kind != hostAccessRead) against(record.plain, "a plain access");
    if (kind == hostAccessAtomic) {
        remember(record.atomic, a);
    } else {
        remember(record.plain, a);
        if (kind == hostAccessWrite) remember(record.write, a);
    }
}

// Joined: a race, or a fault injected on its stream, fails the launch.
void endWatch() {
    for (unsigned i = 0; i < SHADOW_SHARDS; ++i) shadowShards[i].pages.clear();
    if (faultAtJoin != cudaSuccess) {
        pendingError = faultAtJoin;
        launchFaulted = true;
        faultAtJoin = cudaSuccess;
    }
    std::lock_guard<std::mutex> lock(raceMutex);
    if (raceFound.empty()) return;
    std::fprintf(stderr, "%s\n", raceFound.c_str());
    lastRace = raceFound;
    raceFound.clear();
    pendingError = cudaErrorLaunchFailure;
    launchFaulted = true;
}

// --- block-cooperative kernels: one fiber per logical thread ------------------

constexpr size_t FIBER_STACK_BYTES = 64 * 1024;

struct Fiber {
    ucontext_t context;
    std::unique_ptr<char[]> stack;
    bool done;
};

// The block a host thread is running, if it is block-cooperative.
struct BlockRun {
    ucontext_t scheduler;
    std::vector<Fiber> fibers;
    Fiber* current = nullptr;
    HostKernelInvoker invoke = nullptr;
    const void* func = nullptr;
    void** args = nullptr;
};
thread_local BlockRun blockRun;

void fiberMain() {
    blockRun.invoke(blockRun.func, blockRun.args);
    blockRun.current->done = true;  // uc_link returns to the scheduler
}

// splitmix64: a well-mixed stream from any seed.
unsigned long long mix(unsigned long long& state) {
    unsigned long long z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Runs block b's threads: each round resumes every unfinished thread once,
// in a fresh shuffled order, and it runs until its next barrier or its end.
void runCooperativeBlock(const void* func, void** args, HostKernelInvoker invoke, unsigned threads, unsigned b,
                         unsigned long long seed) {
    BlockRun& run = blockRun;
    run.invoke = invoke;
    run.func = func;
    run.args = args;
    if (run.fibers.size() < threads) run.fibers.resize(threads);
    for (unsigned t = 0; t < threads; ++t) {
        Fiber& fiber = run.fibers[t];
        if (!fiber.stack) fiber.stack.reset(new char[FIBER_STACK_BYTES]);
        getcontext(&fiber.context);
        fiber.context.uc_stack.ss_sp = fiber.stack.get();
        fiber.context.uc_stack.ss_size = FIBER_STACK_BYTES;
        fiber.context.uc_link = &run.scheduler;
        makecontext(&fiber.context, fiberMain, 0);
        fiber.done = false;
    }
    unsigned long long state = seed ^ (0xD1B54A32D192ED03ull * (b + 1));
    std::vector<unsigned> order;
    // A fresh tag per block run (never 0, the tag of a word never seen).
    blockRunTag = ++blockRunsStarted;
    for (blockInterval = 0;; ++blockInterval) {
        order.clear();
        for (unsigned t = 0; t < threads; ++t)
            if (!run.fibers[t].done) order.push_back(t);
        if (order.empty()) break;
        for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[mix(state) % i]);
        for (unsigned t : order) {
            run.current = &run.fibers[t];
            threadIdx = uint3{t, 0, 0};
            swapcontext(&run.scheduler, &run.current->context);
        }
    }
    run.current = nullptr;
    blockInterval = 0;
}

std::string cpuModelName() {
    std::string model;
    if (FILE* info = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, info)) {
            if (std::strncmp(line, "model name", 10) != 0) continue;
            const char* colon = std::strchr(line, ':');
            if (!colon) continue;
            model = colon + 1;
            while (!model.empty() && (model.front() == ' ' || model.front() == '\t')) model.erase(0, 1);
            while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) model.pop_back();
            break;
        }
        std::fclose(info);
    }
    return model;
}

int cpuClockKHz() {
    int khz = 0;
    if (FILE* f = std::fopen("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "r")) {
        if (std::fscanf(f, "%d", &khz) != 1) khz = 0;
        std::fclose(f);
    }
    if (khz > 0) return khz;
    if (FILE* info = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        double mhz = 0;
        while (std::fgets(line, sizeof line, info)) {
            if (std::strncmp(line, "cpu MHz", 7) == 0) {
                const char* colon = std::strchr(line, ':');
                if (colon) mhz = std::atof(colon + 1);
                break;
            }
        }
        std::fclose(info);
        khz = static_cast<int>(mhz * 1000);
    }
    return khz;
}

}  // namespace

// --- controls for tests -----------------------------------------------------

void hostRuntimeReset() {
    releaseAllHeld();
    heldStream = 0;
    streamWaitsDropped = false;
    waitForLaunch();
    runtimeVersion = 10000;
    driverVersion = 10000;
    propertiesOverridden = false;
    pendingError = cudaSuccess;
    launchesAbandoned = false;
    launchHook = nullptr;
    scheduleSeed = 1;
    launchNumber = 0;
    launchesStarted = 0;
    racesWatched = true;
    launchFaulted = false;
    streamFault = StreamFault{0, 0, cudaSuccess};
    streamsCreated = 0;
    faultAtJoin = cudaSuccess;
    {
        std::lock_guard<std::mutex> lock(raceMutex);
        lastRace.clear();
    }
    for (int op = 0; op < hostOpCount; ++op) {
        injected[op] = Injected{0, cudaSuccess};
        callCounts[op] = 0;
    }
}

void hostRuntimeSetVersions(int runtime, int driver) {
    runtimeVersion = runtime;
    driverVersion = driver;
}

void hostRuntimeSetProperties(const cudaDeviceProp& prop) {
    overriddenProperties = prop;
    propertiesOverridden = true;
}

namespace {

cudaDeviceProp readHostProperties() {
    cudaDeviceProp prop;
    std::memset(&prop, 0, sizeof prop);
    std::string model = cpuModelName();
    std::string name = model.empty() ? "host CPU" : "host CPU: " + model;
    if (!deviceNote().empty()) name += " (" + deviceNote() + ")";
    std::snprintf(prop.name, sizeof prop.name, "%s", name.c_str());
    // Compute capability 0.0 names no NVIDIA architecture; every hardware
    // thread counts as one multiprocessor.
    prop.major = 0;
    prop.minor = 0;
    prop.multiProcessorCount = static_cast<int>(hardwareThreads());
    prop.clockRate = cpuClockKHz();
    return prop;
}

}  // namespace

// Read once per process, on first use (after every registration has run):
// the clock the system reports can move between two readings, and the
// device's properties must not.
cudaDeviceProp hostRuntimeHostProperties() {
    static const cudaDeviceProp hostProperties = readHostProperties();
    return hostProperties;
}

void hostRuntimeFailCall(HostRuntimeOp op, int nth, cudaError_t code) { injected[op] = Injected{nth, code}; }

void hostRuntimeFaultOnStream(int stream, int nth, cudaError_t code) { streamFault = StreamFault{stream, nth, code}; }

unsigned long long hostRuntimeLaunchesStarted() { return launchesStarted; }

void hostRuntimeDropStreamWaits(bool dropped) { streamWaitsDropped = dropped; }

void hostRuntimeHoldStream(int stream) {
    releaseAllHeld();
    heldStream = stream;
}

int hostRuntimeCallCount(HostRuntimeOp op) { return callCounts[op]; }

void hostRuntimeSetLaunchHook(HostLaunchHook hook) { launchHook = hook; }

void hostRuntimeWatchRaces(bool on) { racesWatched = on; }

std::string hostRuntimeLastRace() {
    std::lock_guard<std::mutex> lock(raceMutex);
    return lastRace;
}

void hostRuntimeSetScheduleSeed(unsigned long long seed) {
    scheduleSeed = seed;
    launchNumber = 0;
}

// --- registration -------------------------------------------------------------

void hostRegisterFunction(const void* func, const char* deviceName, HostKernelInvoker invoke, int argCount,
                          const size_t* argSizes, HostRangeInvoker invokeRange) {
    registry().push_back(RegisteredFunction{func, deviceName, invoke,
                                            std::vector<size_t>(argSizes, argSizes + argCount), invokeRange, false});
}

void hostRegisterBlockFunction(const void* func, const char* deviceName, HostKernelInvoker invoke, int argCount,
                               const size_t* argSizes) {
    registry().push_back(RegisteredFunction{func, deviceName, invoke,
                                            std::vector<size_t>(argSizes, argSizes + argCount), nullptr, true});
}

void hostSyncThreads() {
    if (!blockRun.current) {
        std::fprintf(stderr, "__syncthreads in a kernel not registered as block-cooperative\n");
        std::abort();
    }
    Fiber* self = blockRun.current;
    swapcontext(&self->context, &blockRun.scheduler);
}

thread_local bool hostWatching = false;

void hostWatchAccess(const void* word, HostWordShadow* shadow, unsigned int index, HostAccessKind kind) {
    const HostAccessor a{blockIdx.x, static_cast<unsigned short>(threadIdx.x), blockInterval};
    if (shadow) {
        check(word, *shadow, shadow, index, blockRunTag, a, kind);
        return;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(word);
    const uintptr_t page = address >> 12;
    ShadowShard& shard = shadowShards[page % SHADOW_SHARDS];
    std::lock_guard<std::mutex> lock(shard.lock);
    std::unique_ptr<HostWordShadow[]>& records = shard.pages[page];
    if (!records) records.reset(new HostWordShadow[1024]());
    check(word, records[(address & 4095) >> 2], nullptr, 0, watchedLaunch.load(std::memory_order_relaxed), a, kind);
}

void hostSetDeviceNote(const char* note) { deviceNote() = note ? note : ""; }

void hostUnregisterFunctions() { registry().clear(); }

// --- runtime operations ---------------------------------------------------------

cudaError_t cudaRuntimeGetVersion(int* version) {
    if (!version) return cudaErrorInvalidValue;
    *version = runtimeVersion;
    return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* version) {
    if (!version) return cudaErrorInvalidValue;
    *version = driverVersion;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (cudaError_t e = enter(hostOpSetDevice)) return e;
    return device >= 0 && device < HOST_DEVICE_COUNT ? cudaSuccess : cudaErrorInvalidDevice;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    if (cudaError_t e = enter(hostOpGetDeviceProperties)) return e;
    if (!prop) return cudaErrorInvalidValue;
    if (device < 0 || device >= HOST_DEVICE_COUNT) return cudaErrorInvalidDevice;
    *prop = propertiesOverridden ? overriddenProperties : hostRuntimeHostProperties();
    return cudaSuccess;
}

cudaError_t cudaSetDeviceFlags(unsigned int) { return cudaSuccess; }

cudaError_t cudaHostAlloc(void** ptr, size_t size, unsigned int) {
    if (cudaError_t e = enter(hostOpHostAlloc)) return e;
    if (!ptr) return cudaErrorInvalidValue;
    *ptr = std::malloc(size == 0 ? 1 : size);
    if (!*ptr) return cudaErrorMemoryAllocation;
    notePageLocked(*ptr, size);
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** devPtr, size_t size) {
    if (cudaError_t e = enter(hostOpMalloc)) return e;
    if (!devPtr) return cudaErrorInvalidValue;
    *devPtr = std::malloc(size == 0 ? 1 : size);
    return *devPtr ? cudaSuccess : cudaErrorMemoryAllocation;
}

cudaError_t cudaFreeHost(void* ptr) {
    if (cudaError_t e = enter(hostOpFreeHost)) return e;
    releaseAllHeld();
    waitForLaunch();
    forgetPageLocked(ptr);
    std::free(ptr);
    return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr) {
    if (cudaError_t e = enter(hostOpFree)) return e;
    releaseAllHeld();
    waitForLaunch();
    std::free(devPtr);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (cudaError_t e = enter(hostOpMemcpy)) return e;
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    releaseAllHeld();
    waitForLaunch();  // a synchronous copy follows all earlier work
    if (count) std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
    if (cudaError_t e = enter(hostOpMemset)) return e;
    releaseAllHeld();
    waitForLaunch();
    if (count) std::memset(devPtr, value, count);
    return cudaSuccess;
}

namespace {

const RegisteredFunction* registered(const void* func) {
    for (const RegisteredFunction& f : registry())
        if (f.func == func) return &f;
    return nullptr;
}

std::shared_ptr<ArgumentCopy> copyArguments(const RegisteredFunction& target, void** args) {
    auto copy = std::make_shared<ArgumentCopy>();
    size_t total = 0;
    for (size_t size : target.argSizes) total += (size + 7) / 8 * 8;
    copy->bytes.resize(total);
    size_t offset = 0;
    for (size_t i = 0; i < target.argSizes.size(); ++i) {
        std::memcpy(copy->bytes.data() + offset, args[i], target.argSizes[i]);
        copy->addresses.push_back(copy->bytes.data() + offset);
        offset += (target.argSizes[i] + 7) / 8 * 8;
    }
    return copy;
}

// Issued at once, or kept back when the stream is held.
void issueOrHold(cudaStream_t stream, std::function<void()> work) {
    if (holds(stream))
        stream->held.push_back(std::move(work));
    else
        work();
}

cudaError_t startLaunch(const void* func, dim3 grid, dim3 block, void** args, cudaStream_t stream);

}  // namespace

cudaError_t cudaLaunchKernel(const void* func, dim3 grid, dim3 block, void** args, size_t, cudaStream_t stream) {
    if (cudaError_t e = enter(hostOpLaunchKernel)) return pendingError = e;
    const RegisteredFunction* target = registered(func);
    if (!target) return pendingError = cudaErrorInvalidDeviceFunction;
    if (grid.x == 0 || block.x == 0 || block.x > 1024 || grid.y != 1 || grid.z != 1 || block.y != 1 ||
        block.z != 1)
        return pendingError = cudaErrorInvalidConfiguration;
    releaseForDefaultStream(stream);
    if (holds(stream)) {
        // Its arguments are taken now, as the runtime takes them at the call.
        std::shared_ptr<ArgumentCopy> copy = copyArguments(*target, args);
        stream->held.push_back([=]() { startLaunch(func, grid, block, copy->addresses.data(), stream); });
        return cudaSuccess;
    }
    return startLaunch(func, grid, block, args, stream);
}

namespace {

cudaError_t startLaunch(const void* func, dim3 grid, dim3 block, void** args, cudaStream_t stream) {
    waitForLaunch();
    if (launchFaulted) return cudaErrorLaunchFailure;
    const RegisteredFunction* target = registered(func);
    if (stream && stream->number == streamFault.stream && streamFault.nth > 0 && --streamFault.nth == 0) {
        // Accepted, and faults before it writes anything: its join reports it.
        ++launchesIssued;
        runningLaunchItem = ++workIssued;
        faultAtJoin = streamFault.code;
        return cudaSuccess;
    }

    // Blocks are handed out one at a time so that workers stay busy to the end
    // even when the cost of a block varies (empty entries end at once).
    auto nextBlock = std::make_shared<std::atomic<unsigned>>(0);
    HostKernelInvoker invoke = target->invoke;
    HostRangeInvoker invokeRange = target->invokeRange;
    const bool cooperative = target->cooperative;
    const unsigned long long seed = scheduleSeed ^ (0xA0761D6478BD642Full * ++launchNumber);
    ++launchesStarted;

    watchedKernel = target->deviceName.c_str();
    ++watchedLaunch;
    const bool watch = racesWatched && !invokeRange;

    std::shared_ptr<ArgumentCopy> copy = copyArguments(*target, args);
    unsigned workers = hardwareThreads();
    if (workers > grid.x) workers = grid.x;
    workersLeft = std::make_shared<std::atomic<unsigned>>(workers);
    auto left = workersLeft;
    ++launchesIssued;
    runningLaunchItem = ++workIssued;
    for (unsigned w = 0; w < workers; ++w) {
        launchWorkers.emplace_back([=]() {
            void** threadArgs = copy->addresses.data();
            blockDim = block;
            gridDim = grid;
            hostWatching = watch;
            for (unsigned b; !launchesAbandoned.load(std::memory_order_relaxed) &&
                             (b = nextBlock->fetch_add(1)) < grid.x;) {
                blockIdx = uint3{b, 0, 0};
                if (invokeRange) {
                    invokeRange(func, threadArgs, b * block.x, block.x);
                    continue;
                }
                if (cooperative) {
                    runCooperativeBlock(func, threadArgs, invoke, block.x, b, seed);
                    continue;
                }
                for (unsigned t = 0; t < block.x; ++t) {
                    threadIdx = uint3{t, 0, 0};
                    invoke(func, threadArgs);
                }
            }
            hostWatching = false;
            left->fetch_sub(1, std::memory_order_release);
        });
    }
    unfinishedLaunches.push_back(Launch{func, grid, block, copy});
    return cudaSuccess;
}

}  // namespace

void AbandonRunningLaunches() { launchesAbandoned.store(true, std::memory_order_relaxed); }

cudaError_t cudaDeviceSynchronize() {
    cudaError_t injectedError = enter(hostOpDeviceSynchronize);
    releaseAllHeld();
    waitForLaunch();
    cudaError_t result = injectedError ? injectedError : pendingError;
    pendingError = cudaSuccess;
    launchFaulted = false;
    return result;
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) {
    if (cudaError_t e = enter(hostOpStreamCreate)) return e;
    if (!stream) return cudaErrorInvalidValue;
    *stream = new CUstream_st{++streamsCreated, {}};
    liveStreams().insert(*stream);
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    if (!stream) return cudaErrorInvalidResourceHandle;
    releaseHeld(stream);  // its work still runs, as on a device
    liveStreams().erase(stream);
    delete stream;
    return cudaSuccess;
}

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    if (cudaError_t e = enter(hostOpEventCreate)) return e;
    if (!event || flags > (cudaEventBlockingSync | cudaEventDisableTiming)) return cudaErrorInvalidValue;
    *event = new CUevent_st{0, false, nullptr, 0};
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
    if (!event) return cudaErrorInvalidResourceHandle;
    delete event;
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    if (cudaError_t e = enter(hostOpEventRecord)) return e;
    if (!event) return cudaErrorInvalidResourceHandle;
    releaseForDefaultStream(stream);
    const unsigned long long record = ++event->records;
    event->heldBack = holds(stream);
    event->heldOn = stream;
    issueOrHold(stream, [=]() {
        if (event->records != record) return;
        event->workBefore = workIssued;
        event->heldBack = false;
    });
    return cudaSuccess;
}

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int) {
    if (cudaError_t e = enter(hostOpStreamWaitEvent)) return e;
    if (!event) return cudaErrorInvalidResourceHandle;
    releaseForDefaultStream(stream);
    if (streamWaitsDropped) return cudaSuccess;
    // The work before the record is issued before anything after the wait.
    issueOrHold(stream, [=]() {
        if (event->heldBack) releaseHeld(event->heldOn, event);
    });
    return cudaSuccess;
}

cudaError_t cudaEventQuery(cudaEvent_t event) {
    if (cudaError_t e = enter(hostOpEventQuery)) return e;
    if (!event) return cudaErrorInvalidResourceHandle;
    if (event->heldBack) releaseHeld(event->heldOn, event);
    if (event->workBefore > workDone) {
        if (workersLeft->load(std::memory_order_acquire) != 0) return cudaErrorNotReady;
        waitForLaunch();  // finished: joining is immediate
    }
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    cudaError_t injectedError = enter(hostOpEventSynchronize);
    if (!event) return cudaErrorInvalidResourceHandle;
    if (event->heldBack) releaseHeld(event->heldOn, event);
    if (event->workBefore > workDone) waitForLaunch();
    cudaError_t result = injectedError ? injectedError : pendingError;
    pendingError = cudaSuccess;
    launchFaulted = false;
    return result;
}

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorInvalidDeviceFunction: return "invalid device function";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorNotReady: return "device not ready";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognized error code";
}

// --- streams, events and asynchronous copies ---------------------------------

namespace {

// Page-locked allocations, by their first byte: only copies into these may
// overlap the host's work.
std::map<const char*, size_t>& pageLocked() {
    static std::map<const char*, size_t>& ranges = *new std::map<const char*, size_t>;
    return ranges;
}

bool isPageLocked(const void* pointer, size_t count) {
    const char* p = static_cast<const char*>(pointer);
    auto above = pageLocked().upper_bound(p);
    if (above == pageLocked().begin()) return false;
    --above;
    return p + count <= above->first + above->second;
}

struct DeferredWork {
    uint64_t item;
    std::function<void()> run;
};
// Issued after the launch under way, in issue order: every launch first waits
// for the one before it and runs these, so they never pass a later launch.
std::vector<DeferredWork>& deferredWork() {
    static std::vector<DeferredWork>& work = *new std::vector<DeferredWork>;
    return work;
}

void deferWork(std::function<void()> run) { deferredWork().push_back(DeferredWork{++workIssued, std::move(run)}); }

void notePageLocked(const void* pointer, size_t size) { pageLocked()[static_cast<const char*>(pointer)] = size; }

void forgetPageLocked(const void* pointer) { pageLocked().erase(static_cast<const char*>(pointer)); }

void runDeferredWork() {
    std::vector<DeferredWork> due;
    due.swap(deferredWork());
    for (DeferredWork& work : due) {
        work.run();
        workDone = work.item;
    }
}

}  // namespace

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    if (cudaError_t e = enter(hostOpMemcpyAsync)) return e;
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return cudaErrorInvalidMemcpyDirection;
    if (count == 0) return cudaSuccess;
    releaseForDefaultStream(stream);
    if (kind == cudaMemcpyDeviceToHost && !isPageLocked(dst, count)) {
        // Into pageable memory the copy is done when the call returns.
        if (stream) releaseHeld(stream);
        waitForLaunch();
        std::memmove(dst, src, count);
        return cudaSuccess;
    }
    if (kind == cudaMemcpyHostToDevice && !isPageLocked(src, count)) {
        // From pageable memory the source is staged at once.
        auto staged = std::make_shared<std::vector<unsigned char>>(static_cast<const unsigned char*>(src),
                                                                   static_cast<const unsigned char*>(src) + count);
        issueOrHold(stream, [=]() { deferWork([=]() { std::memcpy(dst, staged->data(), count); }); });
        return cudaSuccess;
    }
    if (kind == cudaMemcpyDeviceToHost) std::memset(dst, 0xA5, count);
    issueOrHold(stream, [=]() { deferWork([=]() { std::memmove(dst, src, count); }); });
    return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
    if (cudaError_t e = enter(hostOpMemsetAsync)) return e;
    releaseForDefaultStream(stream);
    if (count) issueOrHold(stream, [=]() { deferWork([=]() { std::memset(devPtr, value, count); }); });
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    cudaError_t injectedError = enter(hostOpStreamSynchronize);
    if (stream)
        releaseHeld(stream);
    else
        releaseAllHeld();
    waitForLaunch();
    cudaError_t result = injectedError ? injectedError : pendingError;
    pendingError = cudaSuccess;
    return result;
}
