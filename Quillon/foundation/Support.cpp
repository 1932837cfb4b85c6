// Support and its helpers: directory, log, date and size formats. Threads: as in Support.h.
#include "foundation/Support.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/MainQueue.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/base/Localization.h"
#include "interfaces/files/Sha256.h"
#include "interfaces/platform/AppDirectory.h"
#include "settings/Logger.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

std::mutex& sharedSupportMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Support>& sharedSupportSlot() {
    static std::shared_ptr<Support> support;
    return support;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Reads `count` decimal digits at `pos`.
std::optional<int> digits(std::string_view text, std::size_t& pos, std::size_t count) {
    if (pos + count > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        char c = text[pos + i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    pos += count;
    return value;
}

std::string groupThousands(std::string digitsText) {
    std::string out;
    int n = static_cast<int>(digitsText.size());
    for (int i = 0; i < n; ++i) {
        out += digitsText[i];
        int left = n - 1 - i;
        if (left > 0 && left % 3 == 0) {
            out += ',';
        }
    }
    return out;
}

// value >= 0 rounded to `fractionDigits`, trailing zeros (and a bare point) dropped.
std::string decimalText(double value, int fractionDigits) {
    double scale = std::pow(10.0, fractionDigits);
    double rounded = std::round(value * scale) / scale;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", fractionDigits, rounded);
    std::string text = buffer;
    std::string fraction;
    if (auto point = text.find('.'); point != std::string::npos) {
        fraction = text.substr(point + 1);
        text.resize(point);
        while (!fraction.empty() && fraction.back() == '0') {
            fraction.pop_back();
        }
    }
    text = groupThousands(text);
    return fraction.empty() ? text : text + "." + fraction;
}

}  // namespace

std::shared_ptr<Support> Support::sharedInstance() {
    std::lock_guard lock(sharedSupportMutex());
    auto& slot = sharedSupportSlot();
    if (!slot) {
        slot = std::make_shared<Support>();
    }
    return slot;
}

void Support::setSharedInstance(std::shared_ptr<Support> support) {
    std::lock_guard lock(sharedSupportMutex());
    sharedSupportSlot() = std::move(support);
}

std::string Support::directory() {
    std::lock_guard lock(mutex_);
    if (!directory_) {
        std::string path = AppDirectory::path();
        FileHelpers::createDirectory(path);
        directory_ = path;
    }
    return *directory_;
}

void Support::setDirectory(std::string path) {
    std::lock_guard lock(mutex_);
    directory_ = std::move(path);
}

std::shared_ptr<Logger> Support::log() {
    std::string dir = directory();
    std::lock_guard lock(mutex_);
    if (!log_) {
        auto logger = std::make_shared<Logger>();
        logger->setLevel(Logger::LogLevel::verbose);
        std::string file = (fs::path(dir) / "support.log").string();
        logger->setTargetFile(file);
        if (ErrorPtr error = FileHelpers::createFileIfMissing(file)) {
            NSLog("%@", {error->localizedDescription()});
        }
        log_ = std::move(logger);
    }
    return log_;
}

std::optional<double> awsDateFromString(std::string_view text, std::string_view format) {
    std::tm fields{};
    fields.tm_mday = 1;
    int year = 1970;
    int millis = 0;
    std::size_t pos = 0;
    std::size_t f = 0;
    auto run = [&](char c) {
        std::size_t n = 0;
        while (f + n < format.size() && format[f + n] == c) {
            ++n;
        }
        return n;
    };
    while (f < format.size()) {
        char c = format[f];
        if (c == '\'') {
            auto close = format.find('\'', f + 1);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            auto literal = format.substr(f + 1, close - f - 1);
            if (text.substr(pos, literal.size()) != literal) {
                return std::nullopt;
            }
            pos += literal.size();
            f = close + 1;
            continue;
        }
        std::optional<int> value;
        std::size_t n = 0;
        if (c == 'y' && (n = run('y')) == 4) {
            value = digits(text, pos, 4);
            year = value.value_or(0);
        } else if (c == 'M' && (n = run('M')) == 2) {
            value = digits(text, pos, 2);
            fields.tm_mon = value.value_or(0) - 1;
        } else if (c == 'd' && (n = run('d')) == 2) {
            value = digits(text, pos, 2);
            fields.tm_mday = value.value_or(0);
        } else if (c == 'H' && (n = run('H')) == 2) {
            value = digits(text, pos, 2);
            fields.tm_hour = value.value_or(0);
        } else if (c == 'm' && (n = run('m')) == 2) {
            value = digits(text, pos, 2);
            fields.tm_min = value.value_or(0);
        } else if (c == 's' && (n = run('s')) == 2) {
            value = digits(text, pos, 2);
            fields.tm_sec = value.value_or(0);
        } else if (c == 'S' && (n = run('S')) == 3) {
            value = digits(text, pos, 3);
            millis = value.value_or(0);
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            return std::nullopt;  // a pattern letter this parser does not know
        } else {
            if (pos >= text.size() || text[pos] != c) {
                return std::nullopt;
            }
            ++pos;
            ++f;
            continue;
        }
        if (!value) {
            return std::nullopt;
        }
        f += n;
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    fields.tm_year = year - 1900;
    std::tm wanted = fields;
    std::time_t seconds = timegm(&fields);
    // timegm normalises impossible dates (Feb 30, hour 25); such texts are not dates.
    if (fields.tm_year != wanted.tm_year || fields.tm_mon != wanted.tm_mon ||
        fields.tm_mday != wanted.tm_mday || fields.tm_hour != wanted.tm_hour ||
        fields.tm_min != wanted.tm_min || fields.tm_sec != wanted.tm_sec) {
        return std::nullopt;
    }
    return static_cast<double>(seconds) + millis / 1000.0;
}

std::optional<double> awsDateFromString(std::string_view text) {
    for (const auto& format : kAWSDateFormats) {
        if (auto date = awsDateFromString(text, format)) {
            return date;
        }
    }
    return std::nullopt;
}

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double nowSecondsExact() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string iso8601Format(double secondsSince1970) {
    auto seconds = static_cast<std::time_t>(std::floor(secondsSince1970));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[64];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(buffer, n);
}

std::string bytesFormat(std::int64_t bytes) {
    static const char* const kUnitKeys[] = {"bytes.%@_KB", "bytes.%@_MB", "bytes.%@_GB",
                                            "bytes.%@_TB", "bytes.%@_PB", "bytes.%@_EB"};
    static const int kFractionDigits[] = {0, 1, 2, 2, 2, 2};
    std::string sign = bytes < 0 ? "-" : "";
    // The magnitude of INT64_MIN does not fit in int64_t; a double holds every unit value
    // closely enough for the digits shown.
    double magnitude = std::fabs(static_cast<double>(bytes));
    if (magnitude < 1024.0) {
        auto count = static_cast<std::int64_t>(magnitude);
        std::string number = sign + groupThousands(std::to_string(count));
        return Localization::format(count == 1 ? "bytes.%@_byte" : "bytes.%@_bytes", {number});
    }
    int unit = 0;
    double value = magnitude / 1024.0;
    while (unit < 5 && value >= 1024.0) {
        value /= 1024.0;
        ++unit;
    }
    double scale = std::pow(10.0, kFractionDigits[unit]);
    if (unit < 5 && std::round(value * scale) / scale >= 1024.0) {
        value /= 1024.0;
        ++unit;
    }
    return Localization::format(kUnitKeys[unit],
                                {sign + decimalText(value, kFractionDigits[unit])});
}

std::optional<std::string> TimeHelper::formatTimeLeft(double interval) {
    if (interval == 0 || !std::isfinite(interval) || interval < 0) {
        return std::nullopt;
    }
    if (interval <= 59) {
        return Localization::string("a_few_seconds");
    }
    // std::round rounds halves away from zero.
    auto hours = static_cast<std::int64_t>(std::round(interval / 3600));
    auto minutes = static_cast<std::int64_t>(std::round(std::fmod(interval, 3600) / 60));
    if (hours < 1) {
        return Localization::format("%d_minutes", {minutes});
    }
    return Localization::format("%d_hours", {hours});
}

std::string sha256Hex(std::string_view text) {
    return Sha256::hex(Sha256::digest(text));
}

std::string dbEscapeGlob(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '*':
                out += "[*]";
                break;
            case '?':
                out += "[?]";
                break;
            case '[':
                out += "[[]";
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

std::pair<std::string, std::string> keyValueSeparatedByString(std::string_view text,
                                                              std::string_view separator) {
    auto at = separator.empty() ? std::string_view::npos : text.find(separator);
    if (at == std::string_view::npos) {
        return {std::string(text), ""};
    }
    return {std::string(text.substr(0, at)), std::string(text.substr(at + separator.size()))};
}

std::optional<std::pair<std::int64_t, std::int64_t>> extractRange(std::string_view text) {
    auto parse = [](std::string_view part) -> std::optional<std::int64_t> {
        if (part.empty()) {
            return std::nullopt;
        }
        std::int64_t value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            if (value > (INT64_MAX - (c - '0')) / 10) {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        return value;
    };
    auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    auto rest = text.substr(dash + 1);
    auto from = parse(text.substr(0, dash));
    auto to = parse(rest.substr(0, rest.find('-')));
    if (!from || !to || *from >= *to) {
        return std::nullopt;
    }
    return std::pair{*from, *to};
}

JSON readJSON(const std::string& path) {
    std::string contents;
    bool ok = false;
    int failure = ENOENT;
    if (FilePtr file{std::fopen(path.c_str(), "rb")}) {
        char buffer[65536];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
            contents.append(buffer, n);
        }
        ok = std::ferror(file.get()) == 0;
        failure = ok ? 0 : EIO;
        if (!ok && fs::is_directory(path)) {
            failure = EISDIR;
        }
    } else {
        failure = errno;
    }
    if (!ok) {
        throw FileError(FileHelpers::makeError(failure, "Cannot read file", path));
    }
    return JSON(JSON::Value::parse(contents));
}

void printStderr(const std::string& text, bool appendNewline) {
    std::string out = appendNewline ? text + "\n" : text;
    std::size_t written = 0;
    while (written < out.size()) {
        ssize_t n = ::write(STDERR_FILENO, out.data() + written, out.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

bool waitFor(const std::atomic<bool>& flag, bool progress) {
    while (!flag.load()) {
        if (progress) {
            std::fputs(".", stdout);
            std::fflush(stdout);
        }
        MainQueue::waitFor(flag, 0.1);
    }
    return true;
}

}  // namespace quillon
