// BatchProgress: the batch's byte counts and the line drawn from them. Threads: as in
// BatchProgress.h.

#include "BatchProgress.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>

#include "ArchiveUploader.h"
#include "HumanText.h"

namespace quillon::cli {

BatchProgress::BatchProgress(CliOutput& output, std::int64_t files, std::int64_t bytes)
    : bar_(output, "Uploading"), files_(files), total_(bytes) {}

ArchiveUploader::Progress BatchProgress::begin(const std::string& name, std::int64_t size) {
    {
        std::lock_guard lock(mutex_);
        ++begun_;
        name_ = escapedText(name);
        size_ = size;
        sent_ = 0;
        heldHere_ = 0;
    }
    ArchiveUploader::Progress progress;
    progress.hashing = [this](int percent) { draw("hashing " + std::to_string(percent) + "%"); };
    progress.sent = [this](std::int64_t bytes) {
        {
            std::lock_guard lock(mutex_);
            sent_ = bytes;
        }
        draw("sending");
    };
    progress.held = [this](std::int64_t bytes) {
        {
            std::lock_guard lock(mutex_);
            held_ += bytes;
            heldHere_ += bytes;
        }
        bar_.addAlreadyDone(bytes);
        draw("resuming");
    };
    return progress;
}

void BatchProgress::end() {
    std::lock_guard lock(mutex_);
    sentBefore_ += sent_;
    dropped_ += std::max<std::int64_t>(size_ - sent_ - heldHere_, 0);
    sent_ = 0;
    size_ = 0;
    heldHere_ = 0;
    bar_.clear();
}

void BatchProgress::draw(const std::string& phase) {
    std::int64_t done = 0;
    std::int64_t expected = 0;
    {
        std::lock_guard lock(mutex_);
        bar_.setLabel(
            std::to_string(begun_ - 1) + "/" + std::to_string(files_) + " files, " + phase, name_);
        done = sentBefore_ + sent_;
        expected = total_ - dropped_ - held_;
    }
    bar_.update(done, expected);
}

}  // namespace quillon::cli
