// CliExit: the exception that ends a command with an exit status and a message.
// Threads: an immutable value; thrown by commands on the main thread, caught by CliApp there.
#pragma once

#include <stdexcept>
#include <string>

namespace quillon::cli {

// Thrown by a command to stop with an exit status and a message for standard error (none when
// the message is empty).
class CliExit : public std::runtime_error {
  public:
    static constexpr int kUsage = 1;
    static constexpr int kFailure = 2;
    // verify found differences.
    static constexpr int kDifferences = 3;
    // Work is under way at the service and nothing failed: run the same command again later.
    static constexpr int kPending = 75;

    CliExit(int code, const std::string& message) : std::runtime_error(message), code_(code) {}

    int code() const { return code_; }

  private:
    int code_;
};

}  // namespace quillon::cli
