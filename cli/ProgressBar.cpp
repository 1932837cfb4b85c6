// ProgressBar: drawing and ending the bar. Threads: as in ProgressBar.h.

#include "ProgressBar.h"

#include <algorithm>
#include <ostream>

#include "CliOutput.h"

namespace quillon::cli {

namespace {
constexpr int kBarWidth = 30;
}

ProgressBar::ProgressBar(CliOutput& output, std::string label)
    : output_(output), label_(std::move(label)), enabled_(output.progressEnabled()) {}

ProgressBar::~ProgressBar() {
    finish();
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
    if (!enabled_) {
        return;
    }
    int percent = total == 0 ? 100 : static_cast<int>(std::min(done, total) * 100 / total);
    if (percent == lastPercent_) {
        return;
    }
    lastPercent_ = percent;
    int filled = percent * kBarWidth / 100;
    output_.writeErr("\r" + label_ + " [" + std::string(filled, '#') +
                     std::string(kBarWidth - filled, ' ') + "] " + std::to_string(percent) + "%");
    drawn_ = true;
}

void ProgressBar::finish() {
    if (drawn_) {
        output_.writeErr("\n");
        drawn_ = false;
    }
}

}  // namespace quillon::cli
