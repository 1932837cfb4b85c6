// Logger: line formatting, the target file and its rotation. Threads: as in Logger.h; the
// writing state (locale, file) is touched on the main thread only.
#include "settings/Logger.h"

#include <fnmatch.h>
#include <locale.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/FileHelpers.h"
#include "foundation/MainQueue.h"
#include "interfaces/base/ConsoleLog.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

// A C locale handle for strftime_l; the user's locale when it is installed, else "C".
class TimeLocale {
  public:
    TimeLocale() {
        handle_ = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
        if (handle_ == static_cast<locale_t>(nullptr)) {
            handle_ = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        }
    }
    ~TimeLocale() {
        if (handle_ != static_cast<locale_t>(nullptr)) {
            freelocale(handle_);
        }
    }
    TimeLocale(const TimeLocale&) = delete;
    TimeLocale& operator=(const TimeLocale&) = delete;

    // Medium date and medium time in the local time zone, e.g. "Jan 31, 2024 at 11:59:59 PM".
    std::string mediumDateTime(std::time_t when) const {
        std::tm local{};
        localtime_r(&when, &local);
        char buffer[128];
        std::size_t n = 0;
        if (handle_ != static_cast<locale_t>(nullptr)) {
            n = strftime_l(buffer, sizeof buffer, "%b %-d, %Y at %X", &local, handle_);
        } else {
            n = std::strftime(buffer, sizeof buffer, "%b %-d, %Y at %H:%M:%S", &local);
        }
        return std::string(buffer, n);
    }

  private:
    locale_t handle_ = static_cast<locale_t>(nullptr);
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string fileNameStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char buffer[32];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%Y%m%d%H%M%S", &local);
    return std::string(buffer, n);
}

}  // namespace

class Logger::State {
  public:
    std::string prefix() const {
        std::lock_guard lock(mutex_);
        return prefix_;
    }
    void setPrefix(std::string prefix) {
        std::lock_guard lock(mutex_);
        prefix_ = std::move(prefix);
    }
    std::optional<std::string> targetFile() const {
        std::lock_guard lock(mutex_);
        return targetFile_;
    }
    void setTargetFile(std::optional<std::string> path) {
        std::lock_guard lock(mutex_);
        targetFile_ = std::move(path);
    }
    std::int64_t rotateKeep() const {
        std::lock_guard lock(mutex_);
        return rotateKeep_;
    }
    void setRotateKeep(std::int64_t keep) {
        std::lock_guard lock(mutex_);
        rotateKeep_ = keep;
    }
    std::int64_t countdown() const {
        std::lock_guard lock(mutex_);
        return countdown_;
    }

    // Formats and writes one line; runs on the main thread only.
    void write(std::string text) {
        std::string pre = prefix();
        if (!pre.empty()) {
            text = pre + " " + text;
        }
        auto target = targetFile();
        if (!target) {
            NSLog("%@", {text});
            return;
        }
        bool check = false;
        {
            std::lock_guard lock(mutex_);
            check = --countdown_ < 1;
        }
        if (check) {
            rotate(*target);
            std::lock_guard lock(mutex_);
            countdown_ = rotateCheckInterval;
        }
        if (!lineLocale_) {
            lineLocale_ = std::make_unique<TimeLocale>();
        }
        std::string line =
            "[" + lineLocale_->mediumDateTime(std::time(nullptr)) + "] " + text + "\n";
        FileHelpers::createFileIfMissing(*target);
        FilePtr file(std::fopen(target->c_str(), "ab"));
        if (file) {
            std::fwrite(line.data(), 1, line.size(), file.get());
        }
    }

  private:
    static std::pair<std::string, std::string> splitExtension(const fs::path& file) {
        return {file.stem().string(), file.has_extension() ? file.extension().string() : ""};
    }

    void rotate(const std::string& target) {
        std::error_code ec;
        auto size = fs::file_size(target, ec);
        if (ec || size <= static_cast<std::uintmax_t>(rotateAtBytes)) {
            return;
        }
        cleanupOldFiles(target);
        fs::path path(target);
        auto [stem, extension] = splitExtension(path);
        std::uniform_int_distribution<int> draw(0, 999999);
        std::string rotatedName = stem + "." + fileNameStamp(std::time(nullptr)) + "." +
                                  std::to_string(draw(random_)) + extension;
        fs::rename(path, path.parent_path() / rotatedName, ec);
        FileHelpers::createFileIfMissing(target);
    }

    void cleanupOldFiles(const std::string& target) {
        fs::path path(target);
        auto [stem, extension] = splitExtension(path);
        std::string pattern = stem + ".*" + extension;
        fs::path parent = path.parent_path().empty() ? fs::path(".") : path.parent_path();

        struct Rotated {
            fs::path path;
            std::optional<fs::file_time_type> modified;
        };
        std::vector<Rotated> files;
        std::error_code ec;
        fs::directory_iterator it(parent, ec);
        if (ec) {
            return;
        }
        for (const auto& entry : it) {
            std::string name = entry.path().filename().string();
            if (fnmatch(pattern.c_str(), name.c_str(), 0) != 0) {
                continue;
            }
            std::error_code timeError;
            auto modified = fs::last_write_time(entry.path(), timeError);
            files.push_back({entry.path(), timeError ? std::nullopt : std::optional(modified)});
        }
        // Newest first; files without a modification date count as the oldest.
        std::stable_sort(files.begin(), files.end(), [](const Rotated& a, const Rotated& b) {
            if (a.modified && b.modified) {
                return *a.modified > *b.modified;
            }
            return a.modified.has_value() && !b.modified.has_value();
        });
        std::int64_t keep = std::max<std::int64_t>(0, rotateKeep());
        while (static_cast<std::int64_t>(files.size()) > keep) {
            std::error_code removeError;
            fs::remove(files.back().path, removeError);
            files.pop_back();
        }
    }

    mutable std::mutex mutex_;
    std::string prefix_;
    std::optional<std::string> targetFile_;
    std::int64_t rotateKeep_ = 5;
    std::int64_t countdown_ = 0;
    std::unique_ptr<TimeLocale> lineLocale_;
    std::mt19937 random_{std::random_device{}()};
};

std::optional<Logger::LogLevel> Logger::logLevel(std::int64_t rawValue) {
    if (rawValue < 0 || rawValue > 6) {
        return std::nullopt;
    }
    return static_cast<LogLevel>(rawValue);
}

Logger::Logger() : state_(std::make_shared<State>()) {}

Logger::Logger(LogLevel level) : Logger() {
    level_.store(level);
}

std::string Logger::prefix() const {
    return state_->prefix();
}

void Logger::setPrefix(std::string prefix) {
    state_->setPrefix(std::move(prefix));
}

std::optional<std::string> Logger::targetFile() const {
    return state_->targetFile();
}

void Logger::setTargetFile(std::optional<std::string> path) {
    state_->setTargetFile(std::move(path));
}

std::int64_t Logger::rotateKeep() const {
    return state_->rotateKeep();
}

void Logger::setRotateKeep(std::int64_t keep) {
    state_->setRotateKeep(keep);
}

std::int64_t Logger::rotateCheckCountdown() const {
    return state_->countdown();
}

void Logger::info(const std::string& message) {
    if (level() <= LogLevel::info) {
        log("[info] " + message);
    }
}

void Logger::verbose(const std::string& message) {
    if (level() <= LogLevel::info) {
        log("[verbose] " + message);
    }
}

void Logger::log(const std::string& text) {
    if (level() == LogLevel::none) {
        return;
    }
    if (MainQueue::isMainThread()) {
        state_->write(text);
        return;
    }
    MainQueue::async([state = state_, text] { state->write(text); });
}

namespace {

std::mutex& sharedLoggerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Logger>& sharedLoggerSlot() {
    static std::shared_ptr<Logger> logger = std::make_shared<Logger>();
    return logger;
}

}  // namespace

std::shared_ptr<Logger> Logger::sharedInstance() {
    std::lock_guard lock(sharedLoggerMutex());
    return sharedLoggerSlot();
}

void Logger::setSharedInstance(std::shared_ptr<Logger> logger) {
    std::lock_guard lock(sharedLoggerMutex());
    sharedLoggerSlot() = std::move(logger);
}

std::shared_ptr<Logger> Logger::dummyLogger() {
    static const std::shared_ptr<Logger> logger = std::make_shared<Logger>(LogLevel::none);
    return logger;
}

}  // namespace quillon
