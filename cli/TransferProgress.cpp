// TransferProgress: the counts and the rate behind the line. Threads: as in
// TransferProgress.h.

#include "TransferProgress.h"

#include <algorithm>

namespace quillon::cli {

TransferProgress::TransferProgress(CliOutput& output, std::string label, std::uint64_t alreadyDone)
    : line_(output), label_(std::move(label)), alreadyDone_(alreadyDone) {}

void TransferProgress::update(std::int64_t done, std::int64_t expected) {
    if (!line_.enabled()) {
        return;
    }
    ProgressLine::Content content;
    {
        std::lock_guard lock(mutex_);
        double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        const std::int64_t sent = std::max<std::int64_t>(done, 0);
        const auto before = static_cast<std::int64_t>(alreadyDone_);
        content.action = label_;
        content.name = name_;
        content.done = before + sent;
        content.total = expected >= 0 ? before + expected : -1;
        content.rate = seconds > 0 ? static_cast<double>(sent) / seconds : 0;
    }
    line_.draw(content);
}

void TransferProgress::setLabel(std::string label, std::string name) {
    std::lock_guard lock(mutex_);
    label_ = std::move(label);
    name_ = std::move(name);
}

void TransferProgress::addAlreadyDone(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    alreadyDone_ += bytes;
}

}  // namespace quillon::cli
