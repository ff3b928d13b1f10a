#include "support/test_support.h"

#include <dirent.h>
#include "sieve/device_sieve.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/startup.h"
#include "hostpaths/host_paths.h"
#include "quilbrex.h"

namespace {

ChildResult collect(pid_t pid, const std::string& outPath, const std::string& errPath, int timeoutSeconds) {
    ChildResult result;
    int status = 0;
    if (timeoutSeconds > 0) {
        for (int waited = 0;; ++waited) {
            pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) break;
            if (waited >= timeoutSeconds * 100) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            usleep(10000);
        }
    } else {
        waitpid(pid, &status, 0);
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return result;
}

void redirect(const std::string& outPath, const std::string& errPath) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(250);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(in);
    close(out);
    close(err);
}

std::string capturePath(const char* what) {
    static int counter = 0;
    std::ostringstream name;
    const char* tmp = std::getenv("TMPDIR");
    name << (tmp ? tmp : "/tmp") << "/quilbrex-capture-" << getpid() << "-" << ++counter << "-" << what;
    return name.str();
}

}  // namespace

namespace {

// Forks a child with captured output in dir; the child runs body and ends
// with its result.
ChildResult spawn(const std::string& dir, int timeoutSeconds, const std::function<int()>& body) {
    std::string outPath = capturePath("out"), errPath = capturePath("err");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        redirect(outPath, errPath);
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(251);
        int status = body();
        std::fflush(nullptr);
        _exit(status);
    }
    return collect(pid, outPath, errPath, timeoutSeconds);
}

}  // namespace

ChildResult runInChild(const std::function<int()>& body, const std::string& dir) { return spawn(dir, 0, body); }

ChildResult runProgram(const std::string& path, const std::string& dir, int timeoutSeconds,
                       const std::vector<std::string>& arguments) {
    return spawn(dir, timeoutSeconds, [&]() {
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        return 252;
    });
}

TempDir::TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/quilbrex-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::string command = "chmod -R u+w '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Leaving a temporary directory behind is harmless.
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void inDirectory(const std::string& dir, const std::function<void()>& body) {
    char previous[4096];
    if (!getcwd(previous, sizeof previous)) throw std::runtime_error("getcwd failed");
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed: " + dir);
    try {
        body();
    } catch (...) {
        if (chdir(previous) != 0) std::abort();
        throw;
    }
    if (chdir(previous) != 0) std::abort();
}

time_t fixedClock() { return FIXED_TIME; }
double fixedMonotonic() { return 1000; }

std::string stampOf(time_t when) { return ctime(&when); }

ChildResult runQuilbrex(const std::string& dir, const ProgramRun& how) {
    // The clock of durations must be a plain function: one that follows the
    // chosen wall clock reads it from here.
    static time_t (*wallClock)();
    wallClock = how.wallClock;
    return runInChild(
        [&how]() {
            hostRuntimeReset();
            if (how.failing != hostOpCount) hostRuntimeFailCall(how.failing, 1, cudaErrorLaunchFailure);
            hostRuntimeSetLaunchHook(how.hook);
            clockNow = how.wallClock;
            monotonicNow = how.durations ? how.durations : []() { return static_cast<double>(wallClock()); };
            return quilbrexMain();
        },
        dir);
}

std::string UnexpectedFiles(const std::string& dir, std::initializer_list<std::string> expected) {
    std::string unexpected;
    DIR* listing = opendir(dir.c_str());
    if (!listing) return "cannot list " + dir;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool known = false;
        for (const std::string& allowed : expected) known = known || name == allowed;
        if (!known) unexpected += name + " ";
    }
    closedir(listing);
    return unexpected;
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t found = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}
void BothSieves::SetUp() {
    builtChoice_ = sieveOnDevice;
    sieveOnDevice = GetParam();
}

void BothSieves::TearDown() { sieveOnDevice = builtChoice_; }

std::string sieveName(const testing::TestParamInfo<bool>& info) { return info.param ? "Device" : "Host"; }

std::string typicalTested() {
    // 4,000,000 primes leave 31 (up to 2,000,000 left 32).
    if (sieveOnDevice) return "n=54: tested 31 of 1001 numbers ( 3.10%)";
    // The host device sieves as deep as its path pays for: 10,000 primes on
    // the IFMA path leave 47, 300,000 on the others 35.
    return hostPrimeCount(hostPathInUse, 3) == 10000 ? "n=54: tested 47 of 1001 numbers ( 4.70%)"
                                                     : "n=54: tested 35 of 1001 numbers ( 3.50%)";
}
