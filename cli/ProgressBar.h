// ProgressBar: a one-line percentage bar on standard error.
// Threads: not thread-safe; one owner (the hash command updates it from the main queue).
#pragma once

#include <cstdint>
#include <string>

namespace quillon::cli {

class CliOutput;

// A one-line progress bar on standard error, drawn only when progress is wanted (not --quiet,
// standard error a terminal). The line is ended when the bar goes away.
class ProgressBar {
  public:
    ProgressBar(CliOutput& output, std::string label);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(std::uint64_t done, std::uint64_t total);
    void finish();

  private:
    CliOutput& output_;
    std::string label_;
    bool enabled_;
    bool drawn_ = false;
    int lastPercent_ = -1;
};

}  // namespace quillon::cli
