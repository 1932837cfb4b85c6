// Collects the console log lines written while a LogCapture exists. Thread rules: lines may be
// written from any thread; the mutex guards them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "interfaces/base/ConsoleLog.h"

namespace quillon::testing {

class LogCapture {
  public:
    LogCapture() {
        previous_ = ConsoleLog::setSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() { ConsoleLog::setSink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    ConsoleLog::Sink previous_;
};

}  // namespace quillon::testing
