// TransferProgress: the rate, the time left and the redraw limit. Threads: as in
// TransferProgress.h.

#include "TransferProgress.h"

#include <algorithm>
#include <ostream>

#include "CliOutput.h"
#include "HumanText.h"
#include "foundation/Support.h"

namespace quillon::cli {

namespace {
constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
}  // namespace

TransferProgress::TransferProgress(CliOutput& output, std::string label, std::uint64_t alreadyDone)
    : output_(output),
      label_(std::move(label)),
      alreadyDone_(alreadyDone),
      enabled_(output.progressEnabled()) {}

TransferProgress::~TransferProgress() {
    finish();
}

void TransferProgress::update(std::int64_t done, std::int64_t expected) {
    if (!enabled_) {
        return;
    }
    std::lock_guard lock(mutex_);
    Clock::time_point now = Clock::now();
    bool complete = expected >= 0 && done >= expected;
    if (drawn_ && !complete && now - lastDraw_ < kRedrawInterval) {
        return;
    }
    lastDraw_ = now;
    double seconds = std::chrono::duration<double>(now - started_).count();
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;

    std::string line = "\r" + label_;
    if (expected >= 0) {
        std::uint64_t total = alreadyDone_ + static_cast<std::uint64_t>(expected);
        std::uint64_t sofar =
            alreadyDone_ + static_cast<std::uint64_t>(std::max<std::int64_t>(done, 0));
        int percent = total == 0 ? 100 : static_cast<int>(std::min(sofar, total) * 100 / total);
        int filled = percent * kBarWidth / 100;
        line += " [" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "] " +
                std::to_string(percent) + "%";
        if (rate > 0 && !complete) {
            if (auto left =
                    TimeHelper::formatTimeLeft(static_cast<double>(expected - done) / rate)) {
                line += ", " + *left + " left";
            }
        }
    } else {
        line += " " + sizeText(static_cast<std::int64_t>(alreadyDone_) + done);
    }
    if (rate > 0) {
        line += ", " + sizeText(static_cast<std::int64_t>(rate)) + "/s";
    }
    // Clear what a longer previous line left behind.
    line += "\033[K";
    output_.writeErr(line);
    drawn_ = true;
}

void TransferProgress::setLabel(std::string label) {
    std::lock_guard lock(mutex_);
    label_ = std::move(label);
}

void TransferProgress::addAlreadyDone(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    alreadyDone_ += bytes;
}

void TransferProgress::clear() {
    std::lock_guard lock(mutex_);
    if (drawn_) {
        output_.writeErr("\r\033[K");
        drawn_ = false;
    }
}

void TransferProgress::finish() {
    std::lock_guard lock(mutex_);
    if (drawn_) {
        output_.writeErr("\n");
        drawn_ = false;
    }
}

}  // namespace quillon::cli
