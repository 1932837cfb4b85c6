// Logger: the leveled, rotating line log. Threads: any thread; lines are written on the main
// thread (see the class comment), a mutex guards the settings, the level is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quillon {

// A leveled line log. With a target file each line is time-stamped and appended to it, and the
// file is rotated once it grows past rotateAtBytes; without one, lines go to the console log.
// Calls may come from any thread: the writing itself happens on the main thread (calls from
// other threads are handed to MainQueue), so lines appear only while the main queue is pumped.
class Logger {
  public:
    enum class LogLevel : int {
        verbose = 0,
        debug = 1,
        info = 2,
        warning = 3,
        error = 4,
        severe = 5,
        none = 6,
    };
    // None for values outside 0...6.
    static std::optional<LogLevel> logLevel(std::int64_t rawValue);

    static constexpr std::int64_t rotateAtBytes = std::int64_t{5} * 1024 * 1024;
    static constexpr std::int64_t rotateCheckInterval = 1000;

    Logger();
    explicit Logger(LogLevel level);
    virtual ~Logger() = default;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    virtual LogLevel level() const { return level_.load(); }
    void setLevel(LogLevel level) { level_.store(level); }
    std::string prefix() const;
    void setPrefix(std::string prefix);
    std::optional<std::string> targetFile() const;
    void setTargetFile(std::optional<std::string> path);
    std::int64_t rotateKeep() const;
    void setRotateKeep(std::int64_t keep);
    // Lines left until the next size check of the target file.
    std::int64_t rotateCheckCountdown() const;

    // Both write only while level() is at most info: "[info] " or "[verbose] " + message.
    void info(const std::string& message);
    void verbose(const std::string& message);

    // The process-wide logger (level info, no target file), replaceable.
    static std::shared_ptr<Logger> sharedInstance();
    static void setSharedInstance(std::shared_ptr<Logger> logger);
    // A logger at level none: never writes.
    static std::shared_ptr<Logger> dummyLogger();

  private:
    class State;

    void log(const std::string& text);

    std::atomic<LogLevel> level_{LogLevel::info};
    // Shared with the blocks handed to the main queue, so they outlive a dropped logger.
    std::shared_ptr<State> state_;
};

}  // namespace quillon
