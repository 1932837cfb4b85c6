// Runs the quillon program (or another) as a child process with an application directory of its
// own and collects what it wrote. Thread rules: run() may be called from several threads at once,
// each run a process of its own; the setters belong to the test's thread while nothing runs.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/ChildProcess.h"
#include "support/BuildPaths.h"

namespace quillon::testing {

// What a run of a program left behind.
using CliResult = ChildResult;

// The program inherits the environment without QUILLON_HOME, plus what setEnv adds.
class CliRunner {
  public:
    explicit CliRunner(std::string home, std::string program = cliProgram())
        : home_(std::move(home)), program_(std::move(program)) {}

    // Runs `program --home HOME args...`, feeding `input` on standard input.
    CliResult run(const std::vector<std::string>& args, const std::string& input = "") const {
        std::vector<std::string> all = {"--home", home_};
        all.insert(all.end(), args.begin(), args.end());
        return runWithoutHome(all, input);
    }
    // Runs `program args...` without --home.
    CliResult runWithoutHome(const std::vector<std::string>& args,
                             const std::string& input = "") const {
        ChildOptions options;
        options.env = env_;
        options.unsetEnv = {"QUILLON_HOME"};
        options.workingDirectory = workingDirectory_;
        options.captureErr = true;
        options.timeout = timeout_;
        options.errWatcher = watcher_;
        options.killWhen = killWhen_;
        return runChild(program_, args, input, options);
    }

    void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    // The directory the program starts in (default: the test's own).
    void setWorkingDirectory(std::string directory) { workingDirectory_ = std::move(directory); }
    // A program still running after this long is killed (default 120 s).
    void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // Called with all of standard error so far each time more arrives, while the program runs:
    // a test acts on what the program says (for example that it waits for a lock).
    using ErrWatcher = std::function<void(const std::string& errSoFar)>;
    void setErrWatcher(ErrWatcher watcher) { watcher_ = std::move(watcher); }
    // Asked the same way: true kills the program with SIGKILL there (a crash at that point).
    using KillWhen = std::function<bool(const std::string& errSoFar)>;
    void setKillWhen(KillWhen killWhen) { killWhen_ = std::move(killWhen); }

    const std::string& home() const { return home_; }

  private:
    std::string home_;
    std::string program_;
    std::map<std::string, std::string> env_;
    std::string workingDirectory_;
    std::chrono::milliseconds timeout_{std::chrono::seconds(120)};
    ErrWatcher watcher_;
    KillWhen killWhen_;
};

}  // namespace quillon::testing
