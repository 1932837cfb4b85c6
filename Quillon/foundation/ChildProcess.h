// ChildProcess: starting other programs, the one place that forks and execs. A program is either
// run to its end with its output collected (runChild), or kept running in the background until
// the owning object goes (BackgroundProcess).
// Threads: runChild from any thread (everything the child needs is prepared before fork); each
//   BackgroundProcess belongs to one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quillon {

struct ChildOptions {
    // Added to (or replacing in) the inherited environment.
    std::map<std::string, std::string> env;
    // Removed from the inherited environment.
    std::vector<std::string> unsetEnv;
    // The directory the program starts in; empty: ours.
    std::string workingDirectory;
    // Standard error is collected when true, else it passes through to ours.
    bool captureErr = false;
    // A program still running after this long is killed.
    std::chrono::milliseconds timeout = std::chrono::minutes(10);
    // Called with all of standard error so far each time more arrives (captureErr only).
    std::function<void(const std::string& errSoFar)> errWatcher;
    // Asked with all of standard error so far each time more arrives (captureErr only): true
    // kills the program at once with SIGKILL, as a crash at that point would.
    std::function<bool(const std::string& errSoFar)> killWhen;
};

struct ChildResult {
    int exitCode = -1;  // 128 + signal number when the program was killed; -1 not started
    std::string out;
    std::string err;
    bool timedOut = false;
    // What the program used: CPU time (user and system), its peak resident memory, and the bytes
    // it read through read-like calls (/proc's rchar; 0 where that is not available).
    double cpuSeconds = 0;
    std::int64_t peakResidentBytes = 0;
    std::int64_t bytesRead = 0;
};

// Runs `program args...` to its end, feeding `input` on standard input. Throws
// std::runtime_error when the pipes or the process cannot be made; a program that cannot be
// executed exits 127.
ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "", const ChildOptions& options = {});

// A program started in the background whose first line of standard output is read at start
// (a server announces its address that way; later output is not read). Stopped with SIGTERM
// (SIGKILL after a bounded wait) when the object goes away.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds firstLineTimeout = std::chrono::seconds(20));
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Empty when the program closed its output or said nothing in time.
    const std::string& firstLine() const { return firstLine_; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    void stop();

  private:
    pid_t pid_ = -1;
    std::string firstLine_;
};

// The path of the running program.
std::string selfExecutable();

}  // namespace quillon
