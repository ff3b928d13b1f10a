// The program killed, or failed with a full disk or an I/O error, at every
// file operation of a short line with two factors, each time started again
// until the line is done: every factor recorded exactly once, every exponent
// summarised once, the proof file as an uninterrupted run writes it, the
// line's end recorded once, the line removed, nothing left over. And every
// state a power cut could leave during real runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "workfiles_test_helpers.h"

namespace {

// Band 4, one width throughout; the factors sit at n = 149 and 154.
const std::string LINE = "FermatFactor=149,154,3001,6001\n";
const std::string FACTORS[] = {"!!! Found factor 3125*2^149+1 !!!\n", "!!! Found factor 5439*2^154+1 !!!\n"};

// The binary under the shim; killAt 0 only counts, into countFile. With
// failErrno the operation fails with that error instead of a kill.
// With asNobody the program runs as uid 65534, a user who cannot keep another
// user's ownership of a file.
// Copies of the program and the shim that user 65534 can reach: the build
// folder may lie below a folder only its owner may enter (a fresh clone in a
// mktemp folder, say). Removed by the process that made them.
struct NobodyCopies {
    std::string folder, binary, shim;
    pid_t maker = getpid();
    NobodyCopies() {
        char pattern[] = "/tmp/quilbrex-nobody-XXXXXX";
        folder = mkdtemp(pattern) ? pattern : "/tmp";
        binary = folder + "/quilbrex";
        shim = folder + "/kill_shim.so";
        writeFile(binary, readFile(QUILBREX_BINARY));
        writeFile(shim, readFile(QUILBREX_KILL_SHIM));
        chmod(folder.c_str(), 0755);
        chmod(binary.c_str(), 0755);
        chmod(shim.c_str(), 0755);
    }
    ~NobodyCopies() {
        if (getpid() != maker) return;
        unlink(binary.c_str());
        unlink(shim.c_str());
        rmdir(folder.c_str());
    }
};
const NobodyCopies& nobodyCopies() {
    static const NobodyCopies copies;
    return copies;
}

ChildResult runShimmed(const std::string& dir, long killAt, const std::string& countFile, int failErrno = 0,
                       bool asNobody = false) {
    const std::string binary = asNobody ? nobodyCopies().binary : QUILBREX_BINARY;
    const std::string shim = asNobody ? nobodyCopies().shim : QUILBREX_KILL_SHIM;
    return runInChild(
        [&]() {
            if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) return 90;
            setenv("LD_PRELOAD", shim.c_str(), 1);
            setenv("QUILBREX_KILL_AT", std::to_string(killAt).c_str(), 1);
            if (failErrno) setenv("QUILBREX_FAIL_ERRNO", std::to_string(failErrno).c_str(), 1);
            if (!countFile.empty()) setenv("QUILBREX_OP_COUNT", countFile.c_str(), 1);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            return 253;
        },
        dir);
}

// The test folders go to memory where there is one: the program flushes
// often, and a disk would make each of the many restarts slow.
struct MemoryTemporaries {
    std::string saved;
    bool had;
    MemoryTemporaries() {
        const char* old = getenv("TMPDIR");
        had = old != nullptr;
        if (had) saved = old;
        if (access("/dev/shm", W_OK | X_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    }
    ~MemoryTemporaries() {
        if (had)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
};

}  // namespace

namespace {

struct Tally {
    long lost = 0, doubled = 0, summariesRepeated = 0, proofsLost = 0, proofsDoubled = 0;
};

// proofs.txt of an uninterrupted run of worktodo, made once per text.
const std::string& cleanProofs(const std::string& worktodo) {
    static std::map<std::string, std::string> made;
    const auto found = made.find(worktodo);
    if (found != made.end()) return found->second;
    TempDir dir;
    writeFile(dir.file("worktodo.txt"), worktodo);
    const ChildResult clean = runProgram(QUILBREX_BINARY, dir.path(), 300);
    EXPECT_EQ(clean.status, 6) << clean.out << clean.err;
    return made[worktodo] = readFile(dir.file("proofs.txt"));
}

// The proof file against the uninterrupted run's, record by record: each
// proof k and closing record exactly once, in the same order.
void checkProofs(const std::string& proofs, const std::string& expected, const std::string& firstErr, Tally* tally) {
    EXPECT_EQ(proofs, expected) << firstErr;
    std::map<std::string, long> seen;
    for (size_t at = 0, end; at < proofs.size(); at = end + 1) {
        end = proofs.find('\n', at);
        if (end == std::string::npos) end = proofs.size();
        ++seen[proofs.substr(at, end - at)];
    }
    std::map<std::string, long> wanted;
    for (size_t at = 0, end; at < expected.size(); at = end + 1) {
        end = expected.find('\n', at);
        if (end == std::string::npos) end = expected.size();
        ++wanted[expected.substr(at, end - at)];
    }
    for (const auto& record : wanted) {
        const long times = seen.count(record.first) ? seen[record.first] : 0;
        if (times < record.second) ++tally->proofsLost;
        if (times > record.second) ++tally->proofsDoubled;
    }
}

// Starts the program again until the line is done (a fault may have stopped
// it, or the restart itself before the line's end) and checks the folder.
void checkLineDone(const TempDir& dir, const std::string& worktodo, const std::string& firstErr, Tally* tally) {
    ChildResult restart;
    for (int start = 0; start < 3; ++start) {
        restart = runProgram(QUILBREX_BINARY, dir.path(), 300);
        EXPECT_TRUE(restart.exited) << restart.err;
        EXPECT_EQ(restart.err, "") << firstErr;
        // A stop after the line's removal reached the disk leaves nothing to
        // do: status 1, no assignment.
        if (restart.status == 6 || restart.status == 1) break;
    }
    ASSERT_TRUE(restart.status == 6 || restart.status == 1) << firstErr << restart.out << restart.err;

    std::string factors = readFile(dir.file("factors.txt"));
    for (const std::string& factor : FACTORS) {
        size_t times = countOf(factors, factor);
        EXPECT_EQ(times, 1u) << firstErr << factor << factors;
        if (times == 0) ++tally->lost;
        if (times > 1) ++tally->doubled;
    }
    std::string results = readFile(dir.file("results.txt"));
    for (int n = 149; n <= 154; ++n) {
        size_t times = countOf(results, "n=" + std::to_string(n) + ": tested ");
        EXPECT_EQ(times, 1u) << firstErr << n << results;
        if (times > 1) ++tally->summariesRepeated;
    }
    EXPECT_EQ(countOf(results, "Range is complete. Found 2 factor(s). For details see file factors.txt\n"
                                   "--------------------------------------------------------------------------------\n"),
              1u)
        << firstErr << results;
    EXPECT_EQ(readFile(dir.file("worktodo.txt")), "") << firstErr;
    checkProofs(readFile(dir.file("proofs.txt")), cleanProofs(worktodo), firstErr, tally);
    // Not even the checkpoint of the finished line is left behind.
    EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt", "factors.txt", "results.txt", "proofs.txt", "quilbrex.lock"}),
              "")
        << firstErr;
}

// A folder of user 65534 holding worktodo.txt of another user (4321) that
// everyone may write: a run as 65534 cannot keep the file's owner.
void GiveAwayWorktodo(const TempDir& dir) {
    ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(dir.file("worktodo.txt").c_str(), 4321, 4321), 0);
    ASSERT_EQ(chmod(dir.file("worktodo.txt").c_str(), 0666), 0);
}

long countOperations(const std::string& worktodo = LINE, bool asNobody = false) {
    TempDir counting;
    writeFile(counting.file("worktodo.txt"), worktodo);
    if (asNobody) GiveAwayWorktodo(counting);
    ChildResult clean = runShimmed(counting.path(), 0, counting.file("operations"), 0, asNobody);
    EXPECT_EQ(clean.status, 6) << clean.out << clean.err;
    return std::atol(readFile(counting.file("operations")).c_str());
}

// Kills the program at each of the first killPoints operations of a run on
// worktodo, starts it again until the line is done and checks the folder.
void killAtEachOperation(const std::string& worktodo, bool asNobody, long killPoints) {
    long killed = 0;
    Tally tally;
    for (long at = 1; at <= killPoints; ++at) {
        SCOPED_TRACE("killed at operation " + std::to_string(at));
        TempDir dir;
        writeFile(dir.file("worktodo.txt"), worktodo);
        if (asNobody) GiveAwayWorktodo(dir);
        ChildResult first = runShimmed(dir.path(), at, "", 0, asNobody);
        if (first.exited) {
            ADD_FAILURE() << "not killed: " << first.status << first.err;
            continue;
        }
        ASSERT_EQ(first.signal, SIGKILL) << first.err;
        ++killed;
        checkLineDone(dir, worktodo, first.err, &tally);
    }
    EXPECT_EQ(killed, killPoints);
    EXPECT_EQ(tally.lost, 0);
    EXPECT_EQ(tally.doubled, 0);
    EXPECT_EQ(tally.summariesRepeated, 0);
    EXPECT_EQ(tally.proofsLost, 0);
    EXPECT_EQ(tally.proofsDoubled, 0);
    std::cout << "crash test: " << killPoints << " kill points, " << tally.lost << " factors lost, " << tally.doubled
              << " doubled, " << tally.summariesRepeated << " exponent summaries repeated, " << tally.proofsLost
              << " proof records lost, " << tally.proofsDoubled << " doubled\n";
}

}  // namespace

TEST(Crash, KilledAtEveryFileOperationNothingIsLostOrDoubled) {
    MemoryTemporaries memory;
    const long total = countOperations();
    ASSERT_GT(total, 20);
    killAtEachOperation(LINE, false, total);
    RecordProperty("kill_points", static_cast<int>(total));
}

// Run by a user who cannot keep the owner of another user's worktodo.txt,
// killed at each operation of the blank line's removal (and the line's start
// after it): a rewrite in place killed between its truncation and its write
// would leave the file empty and the line lost.
TEST(Crash, KilledWhileRemovingALineFromAnotherUsersFileNothingIsLost) {
    MemoryTemporaries memory;
    const long blankRemoval = countOperations("\n", true);
    ASSERT_GT(blankRemoval, 5);
    killAtEachOperation("\n" + LINE, true, blankRemoval + 5);
}

// A full disk or an I/O error at any one file operation: the program either
// gets past it or stops with a message and a status that is not "work done",
// and the next start completes the line with nothing lost or doubled.
TEST(Crash, FaultAtEveryFileOperationNothingIsLostOrDoubled) {
    MemoryTemporaries memory;
    const long total = countOperations();
    ASSERT_GT(total, 20);
    for (int error : {ENOSPC, EIO}) {
        Tally tally;
        long stopped = 0;
        for (long at = 1; at <= total; ++at) {
            SCOPED_TRACE(std::string(strerror(error)) + " at operation " + std::to_string(at));
            TempDir dir;
            writeFile(dir.file("worktodo.txt"), LINE);
            ChildResult first = runShimmed(dir.path(), at, "", error);
            ASSERT_TRUE(first.exited) << first.err;
            // "Work done" only when nothing was lost: checked below, with no restart needed.
            if (first.status != 6) {
                ++stopped;
                EXPECT_NE(first.err, "") << "stopped without saying why: " << first.status;
            }
            checkLineDone(dir, LINE, first.err, &tally);
        }
        EXPECT_EQ(tally.lost, 0);
        EXPECT_EQ(tally.doubled, 0);
        EXPECT_EQ(tally.summariesRepeated, 0);
        EXPECT_EQ(tally.proofsLost, 0);
        EXPECT_EQ(tally.proofsDoubled, 0);
        std::cout << "fault test, " << strerror(error) << ": " << total << " operations, " << stopped
                  << " stopped the run, " << tally.lost << " factors lost, " << tally.doubled << " doubled, "
                  << tally.summariesRepeated << " exponent summaries repeated\n";
    }
}

namespace {

// One change the recorded run made to the working folder (see kill_shim.cpp).
struct FileOperation {
    std::string kind, name, to, content;
    unsigned long inode = 0;
};

std::string fromHex(const std::string& hex) {
    std::string bytes;
    if (hex == "-") return bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::vector<FileOperation> readOperationLog(const std::string& path) {
    std::vector<FileOperation> operations;
    std::istringstream log(readFile(path));
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        FileOperation op;
        fields >> op.kind;
        std::string hex;
        if (op.kind == "create") fields >> op.name >> op.inode;
        if (op.kind == "rename") fields >> op.name >> op.to >> op.inode;
        if (op.kind == "unlink") fields >> op.name;
        if (op.kind == "data" || op.kind == "fsync") {
            fields >> op.inode >> hex;
            op.content = fromHex(hex);
        }
        operations.push_back(op);
    }
    return operations;
}

// A folder as the disk holds it: names to inodes, inodes to contents.
struct FolderImage {
    std::map<std::string, unsigned long> names;
    std::map<unsigned long, std::string> contents;

    void apply(const FileOperation& op) {
        if (op.kind == "create") names[op.name] = op.inode;
        if (op.kind == "rename") {
            names.erase(op.name);
            names[op.to] = op.inode;
        }
        if (op.kind == "unlink") names.erase(op.name);
        if (op.kind == "data") contents[op.inode] = op.content;
    }
    // The files by name; the lock file's content tells nothing.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> result;
        for (const auto& entry : names) {
            auto content = contents.find(entry.second);
            result[entry.first] = entry.first == "quilbrex.lock" || content == contents.end() ? "" : content->second;
        }
        return result;
    }
};

using FolderState = std::map<std::string, std::string>;

// Every state a power cut during the recorded run could leave: at each point,
// what was flushed (file contents by fsync of the file, folder entries by
// fsync of the folder), and that with any one pending change applied too.
// Only cuts from operation from on count: the operations before it are those
// of a run killed before the one the cut stops, their unflushed changes still
// pending, as a kill leaves them in memory.
std::set<FolderState> powerCutStates(const std::vector<FileOperation>& operations, const FolderImage& start,
                                     size_t from = 0) {
    FolderImage live = start, durable = start;
    std::vector<FileOperation> pendingEntries;
    std::map<unsigned long, std::vector<FileOperation>> pendingData;
    std::set<std::map<std::string, std::string>> states;
    for (size_t at = 0;; ++at) {
        if (at >= from) {
            states.insert(durable.files());
            auto withOne = [&](const FileOperation& op) {
                FolderImage image = durable;
                image.apply(op);
                states.insert(image.files());
            };
            for (const FileOperation& op : pendingEntries) withOne(op);
            for (const auto& perInode : pendingData)
                for (const FileOperation& op : perInode.second) withOne(op);
        }
        if (at == operations.size()) break;

        const FileOperation& op = operations[at];
        live.apply(op);
        if (op.kind == "create" || op.kind == "rename" || op.kind == "unlink") pendingEntries.push_back(op);
        if (op.kind == "data") pendingData[op.inode].push_back(op);
        if (op.kind == "fsync") {
            durable.contents[op.inode] = op.content;
            pendingData.erase(op.inode);
        }
        if (op.kind == "dirsync") {
            durable.names = live.names;
            pendingEntries.clear();
        }
    }
    return states;
}

struct PowerCutScenario {
    const char* what;
    std::string worktodo;
    std::vector<std::string> factors;
    std::vector<int> exponents;
    std::vector<std::pair<std::string, size_t>> closings;  // closing records and how many lines end so
    size_t lines;                                          // lines worked, cut pieces included
};

// The program under the shim in dir, its file operations logged to log
// (killed at operation killAt unless 0).
ChildResult runRecorded(const std::string& dir, const std::string& log, long killAt = 0) {
    return runInChild(
        [&]() {
            setenv("LD_PRELOAD", QUILBREX_KILL_SHIM, 1);
            setenv("QUILBREX_OP_LOG", log.c_str(), 1);
            setenv("QUILBREX_KILL_AT", std::to_string(killAt).c_str(), 1);
            execl(QUILBREX_BINARY, QUILBREX_BINARY, static_cast<char*>(nullptr));
            return 253;
        },
        dir);
}

// The folder as the scenario starts: worktodo.txt alone, written in dir.
FolderImage startImage(const TempDir& dir, const PowerCutScenario& scenario) {
    writeFile(dir.file("worktodo.txt"), scenario.worktodo);
    struct stat info;
    EXPECT_EQ(stat(dir.file("worktodo.txt").c_str(), &info), 0);
    FolderImage start;
    start.names["worktodo.txt"] = info.st_ino;
    start.contents[info.st_ino] = scenario.worktodo;
    return start;
}

// Every state a power cut during a whole run of the scenario could leave.
std::set<FolderState> statesOfOneRun(const PowerCutScenario& scenario) {
    TempDir recorded, logs;
    FolderImage start = startImage(recorded, scenario);
    ChildResult run = runRecorded(recorded.path(), logs.file("operations"));
    EXPECT_EQ(run.status, 6) << run.out << run.err;
    std::vector<FileOperation> operations = readOperationLog(logs.file("operations"));
    EXPECT_GT(operations.size(), 20u);
    auto states = powerCutStates(operations, start);
    // Each flush makes a new state on disk: at least as many states as flushes.
    size_t flushes = 0;
    for (const FileOperation& op : operations) flushes += op.kind == "fsync" || op.kind == "dirsync";
    std::cout << "power-cut test, " << scenario.what << ": " << operations.size() << " file operations, " << flushes
              << " flushes, " << states.size() << " crash states\n";
    EXPECT_GT(states.size(), flushes);
    return states;
}

// The state with what differs from run to run only by the clock (time stamps,
// seconds, rates) and by chance (temporary names) made the same, so that
// states that differ in nothing else are restarted once.
FolderState Unclocked(const FolderState& state) {
    static const std::regex stamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}\n");
    static const std::regex rate("in [0-9.]+ seconds at ([0-9]+|inf)/sec"), seconds("seconds =[0-9.]+");
    static const std::regex temporary("\\.tmp-[A-Za-z0-9]{6}$");
    FolderState same;
    for (const auto& file : state) {
        std::string content = std::regex_replace(file.second, stamp, "Thu Jan  1 00:00:00 1970\n");
        content = std::regex_replace(content, rate, "in 1.00 seconds at 1/sec");
        same[std::regex_replace(file.first, temporary, ".tmp-000000")] =
            std::regex_replace(content, seconds, "seconds =1.00");
    }
    return same;
}

// Every state a kill at any file operation, then a power cut during the
// restart, could leave.
std::set<FolderState> statesOfAKillThenAPowerCut(const PowerCutScenario& scenario) {
    const long total = countOperations(scenario.worktodo);
    EXPECT_GT(total, 20);
    std::set<FolderState> states;
    for (long at = 1; at <= total; ++at) {
        TempDir dir, logs;
        FolderImage start = startImage(dir, scenario);
        ChildResult killed = runRecorded(dir.path(), logs.file("killed"), at);
        EXPECT_FALSE(killed.exited) << "not killed at " << at;
        ChildResult restart = runRecorded(dir.path(), logs.file("restart"));
        EXPECT_TRUE(restart.status == 6 || restart.status == 1) << at << restart.out << restart.err;
        std::vector<FileOperation> operations = readOperationLog(logs.file("killed"));
        const size_t restartFrom = operations.size();
        for (const FileOperation& op : readOperationLog(logs.file("restart"))) operations.push_back(op);
        for (const FolderState& state : powerCutStates(operations, start, restartFrom)) states.insert(Unclocked(state));
    }
    std::cout << "power-cut test, " << scenario.what << ", killed at each of " << total
              << " file operations, then a power cut in the restart: " << states.size() << " crash states\n";
    return states;
}

// Restarts the program from every state until its work is done and checks
// the outcome; returns the number of states.
size_t checkEveryState(const PowerCutScenario& scenario, const std::set<FolderState>& states) {
    for (const auto& state : states) {
        std::string shown;
        for (const auto& file : state) shown += "[" + file.first + "]\n" + file.second;
        SCOPED_TRACE("power cut leaving:\n" + shown);
        TempDir dir;
        for (const auto& file : state) writeFile(dir.file(file.first), file.second);
        ChildResult restart = runProgram(QUILBREX_BINARY, dir.path(), 300);
        EXPECT_TRUE(restart.exited) << restart.err;
        // Status 1: the last line's removal was on disk, nothing left to do.
        EXPECT_TRUE(restart.status == 6 || (restart.status == 1 && restart.out.find(
                                                                        "\nNo available assignments found in worktodo "
                                                                        "file.\n") != std::string::npos))
            << restart.out << restart.err;
        EXPECT_EQ(restart.err, "");

        std::string factors = readFile(dir.file("factors.txt"));
        for (const std::string& factor : scenario.factors) EXPECT_EQ(countOf(factors, factor), 1u) << factors;
        std::string results = readFile(dir.file("results.txt"));
        for (int n : scenario.exponents)
            EXPECT_EQ(countOf(results, "\nn=" + std::to_string(n) + ": tested "), 1u) << n << "\n" << results;
        for (const auto& closing : scenario.closings)
            EXPECT_EQ(countOf(results, closing.first), closing.second) << results;
        EXPECT_EQ(countOf(results, "--------------------------------------------------------------------------------\n"),
                  scenario.lines)
            << results;
        EXPECT_EQ(countOf(results, "Starting range: "), scenario.lines) << results;
        EXPECT_EQ(readFile(dir.file("worktodo.txt")), "");
        Tally tally;
        checkProofs(readFile(dir.file("proofs.txt")), cleanProofs(scenario.worktodo), "", &tally);
        EXPECT_EQ(UnexpectedFiles(dir.path(), {"worktodo.txt", "factors.txt", "results.txt", "proofs.txt", "quilbrex.lock"}),
                  "");
        if (testing::Test::HasFailure()) break;
    }
    return states.size();
}

const std::string RULE = "--------------------------------------------------------------------------------\n";

// The second line's factor comes in its first exponent, so its checkpoint
// follows its Starting range record at once.
const PowerCutScenario QUEUE_OF_TWO = {
    "a queue of two lines", "FermatFactor=54,54,4001,5001\nFermatFactor=61,61,9,101\n",
    {"!!! Found factor 4119*2^54+1 !!!\n", "!!! Found factor 95*2^61+1 !!!\n"}, {54, 61},
    {{"Range is complete. Found 1 factor(s). For details see file factors.txt\n" + RULE, 2}}, 2};

}  // namespace

TEST(PowerCut, EveryStateAPowerCutCanLeaveEndsWithNothingLostOrDoubled) {
    MemoryTemporaries memory;
    const std::vector<PowerCutScenario> scenarios = {
        // Cut into one line per exponent, a factor in the first and the last.
        {"a cut line with two factors", "FermatFactor=149,154,3,5439\n", {FACTORS[0], FACTORS[1]},
         {149, 150, 151, 152, 153, 154},
         {{"Range is complete. Found 1 factor(s). For details see file factors.txt\n" + RULE, 2},
          {"Range is complete. No factors found.\n" + RULE, 4}},
         6},
        QUEUE_OF_TWO,
    };
    size_t explored = 0;
    for (const PowerCutScenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.what);
        explored += checkEveryState(scenario, statesOfOneRun(scenario));
    }
    std::cout << "power-cut test: " << explored << " crash states explored\n";
    EXPECT_GE(explored, 90u);
    RecordProperty("power_cut_states", static_cast<int>(explored));
}

// The second line has two batches, both factors in the first: their
// checkpoint comes before the line's last, right after its Starting range
// record, which must be on disk first.
TEST(PowerCut, FactorsInABatchBeforeTheLastOfASecondLine) {
    MemoryTemporaries memory;
    const PowerCutScenario scenario = {
        "factors in a batch before the last of a second line",
        "FermatFactor=61,61,9,101\nFermatFactor=54,54,4001,30000001\n",
        {"!!! Found factor 95*2^61+1 !!!\n", "!!! Found factor 4119*2^54+1 !!!\n",
         "!!! Found factor 21626655*2^54+1 !!!\n"},
        {61, 54},
        {{"Range is complete. Found 1 factor(s). For details see file factors.txt\n" + RULE, 1},
         {"Range is complete. Found 2 factor(s). For details see file factors.txt\n" + RULE, 1}},
        2};
    EXPECT_GE(checkEveryState(scenario, statesOfOneRun(scenario)), 20u);
}

// A kill leaves what the run wrote but did not flush in memory, and a power
// cut in the restart can still lose it: a record the restart found in a file
// and trusted without flushing it first is lost with it.
TEST(PowerCut, AKillThenAPowerCutInTheRestartEndsWithNothingLostOrDoubled) {
    MemoryTemporaries memory;
    size_t explored = checkEveryState(QUEUE_OF_TWO, statesOfAKillThenAPowerCut(QUEUE_OF_TWO));
    EXPECT_GE(explored, 20u);
    RecordProperty("kill_then_power_cut_states", static_cast<int>(explored));
}
