#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillon::cli {

// Runs a program to its end, feeding standard input and collecting standard output; standard
// error passes through to ours.
struct ChildResult {
    int exitCode = -1;
    std::string out;
};
ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "");

// A program started in the background whose first output line is read at once (the simulator
// announces its address that way); stopped with SIGTERM when the object goes away.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::string& program, const std::vector<std::string>& args);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    const std::string& firstLine() const { return firstLine_; }
    bool running() const { return pid_ > 0; }
    void stop();

  private:
    pid_t pid_ = -1;
    std::string firstLine_;
};

// The path of the running program.
std::string selfExecutable();

}  // namespace quillon::cli
