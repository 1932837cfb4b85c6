// ProgressLine: composing, fitting and drawing the line. Threads: as in ProgressLine.h.

#include "ProgressLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CliOutput.h"
#include "HumanText.h"

namespace quillon::cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr int kBarWidth = 20;
constexpr std::size_t kShortestName = 12;

// Columns a text takes: one per character (UTF-8 continuation bytes take none).
std::size_t columns(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The first `count` characters of `text` (whole UTF-8 sequences).
std::string firstColumns(const std::string& text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((text[i] & 0xC0) != 0x80 && seen++ == count) {
            return text.substr(0, i);
        }
    }
    return text;
}

// The last `count` characters of `text`.
std::string lastColumns(const std::string& text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t i = text.size(); i-- > 0;) {
        if ((text[i] & 0xC0) != 0x80 && ++seen == count) {
            return text.substr(i);
        }
    }
    return text;
}

// `name` in at most `width` columns, its middle replaced by "...".
std::string cutName(const std::string& name, std::size_t width) {
    if (columns(name) <= width) {
        return name;
    }
    if (width <= 3) {
        return firstColumns("...", width);
    }
    std::size_t keep = width - 3;
    return firstColumns(name, keep - keep / 2) + "..." + lastColumns(name, keep / 2);
}

std::string amount(std::int64_t value, bool bytes) {
    return bytes ? sizeText(value) : std::to_string(value);
}

}  // namespace

ProgressLine::ProgressLine(CliOutput& output, std::string action, bool bytes)
    : output_(output),
      enabled_(output.progressEnabled()),
      bytes_(bytes),
      action_(std::move(action)) {}

ProgressLine::~ProgressLine() {
    finish();
}

int ProgressLine::terminalWidth() {
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    if (const char* text = std::getenv("COLUMNS"); text != nullptr) {
        int width = std::atoi(text);
        if (width > 0) {
            return width;
        }
    }
    return 80;
}

std::string ProgressLine::timeLeft(double seconds) {
    auto whole = static_cast<std::int64_t>(std::ceil(std::max(seconds, 0.0)));
    auto two = [](std::int64_t big, const char* bigUnit, std::int64_t small,
                  const char* smallUnit) {
        std::string text = std::to_string(big) + " " + bigUnit;
        return small > 0 ? text + " " + std::to_string(small) + " " + smallUnit : text;
    };
    if (whole < 60) {
        return std::to_string(whole) + " s";
    }
    if (whole < 3600) {
        return two(whole / 60, "min", whole % 60, "s");
    }
    if (whole < 86400) {
        return two(whole / 3600, "h", whole % 3600 / 60, "min");
    }
    return two(whole / 86400, "d", whole % 86400 / 3600, "h");
}

std::string ProgressLine::compose(const Content& content, int width) {
    const auto room = static_cast<std::size_t>(std::max(width - 1, 1));
    std::string bar;
    std::string figures;  // "45%  12.0 MiB/26.5 MiB" or "12.0 MiB"
    std::string rate;
    std::string left;
    if (content.total >= 0) {
        std::int64_t done = std::clamp<std::int64_t>(content.done, 0, content.total);
        int percent = content.total == 0 ? 100 : static_cast<int>(done * 100 / content.total);
        int filled = percent * kBarWidth / 100;
        bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
              std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') + "]";
        figures = std::to_string(percent) + "% " + amount(done, content.bytes) + "/" +
                  amount(content.total, content.bytes);
        if (content.rate > 0 && done < content.total) {
            left = timeLeft(static_cast<double>(content.total - done) / content.rate) + " left";
        }
    } else {
        figures = amount(std::max<std::int64_t>(content.done, 0), content.bytes);
    }
    if (content.rate > 0) {
        rate = amount(static_cast<std::int64_t>(content.rate), content.bytes) + "/s";
    }

    // Tries the parts from the fullest line to the barest; the name takes what room is left.
    struct Shape {
        bool bar, name, rate, left;
    };
    for (Shape shape : {Shape{true, true, true, true}, Shape{false, true, true, true},
                        Shape{false, false, true, true}, Shape{false, false, true, false},
                        Shape{false, false, false, false}}) {
        std::vector<std::string> after;
        if (shape.bar && !bar.empty()) {
            after.push_back(bar);
        }
        after.push_back(figures);
        if (shape.rate && !rate.empty()) {
            after.push_back(rate);
        }
        if (shape.left && !left.empty()) {
            after.push_back(left);
        }
        std::string tail;
        for (const std::string& part : after) {
            tail += " " + part;
        }
        std::size_t fixed = columns(content.action) + columns(tail);
        if (shape.name && !content.name.empty()) {
            if (fixed + 1 + kShortestName <= room || fixed + 1 + columns(content.name) <= room) {
                return content.action + " " + cutName(content.name, room - fixed - 1) + tail;
            }
            continue;
        }
        if (fixed <= room) {
            return content.action + tail;
        }
    }
    return firstColumns(content.action + " " + figures, room);
}

void ProgressLine::update(std::int64_t done, std::int64_t total) {
    if (!enabled_) {
        return;
    }
    std::lock_guard lock(mutex_);
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    const std::int64_t thisRun = std::max<std::int64_t>(done, 0);
    Content content;
    content.action = action_;
    content.name = name_;
    content.done = alreadyDone_ + thisRun;
    content.total = total >= 0 ? alreadyDone_ + total : -1;
    content.rate = seconds > 0 ? static_cast<double>(thisRun) / seconds : 0;
    content.bytes = bytes_;
    drawLocked(content);
}

void ProgressLine::setLabel(std::string action, std::string name) {
    std::lock_guard lock(mutex_);
    action_ = std::move(action);
    name_ = std::move(name);
}

void ProgressLine::addAlreadyDone(std::int64_t amount) {
    std::lock_guard lock(mutex_);
    alreadyDone_ += amount;
}

void ProgressLine::drawLocked(const Content& content) {
    Clock::time_point now = Clock::now();
    bool complete = content.total >= 0 && content.done >= content.total;
    if (drawn_ && !complete && now - lastDraw_ < kRedrawInterval) {
        return;
    }
    lastDraw_ = now;
    output_.writeErr('\r' + compose(content, terminalWidth()) + "\033[K");
    drawn_ = true;
}

void ProgressLine::clear() {
    std::lock_guard lock(mutex_);
    if (drawn_) {
        output_.writeErr("\r\033[K");
        drawn_ = false;
    }
}

void ProgressLine::finish() {
    std::lock_guard lock(mutex_);
    if (drawn_) {
        output_.writeErr("\n");
        drawn_ = false;
    }
}

}  // namespace quillon::cli
