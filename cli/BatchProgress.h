// BatchProgress: what an upload batch feeds the program's progress line (ProgressLine): files
// done of all, the file at hand and whether it is being hashed or sent, the batch's bytes with
// rate and time left. The rate counts only bytes sent in this run: parts a resumed upload finds
// on the service count as done but not as sent. Drawn only when progress is wanted
// (CliOutput::progressEnabled).
// Threads: files begin and end on the main thread; the file's callbacks may come from any
//   thread, under its mutex.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "ArchiveUploader.h"
#include "ProgressLine.h"

namespace quillon::cli {

class CliOutput;

class BatchProgress {
  public:
    // `files` files of `bytes` bytes in all are to be sent.
    BatchProgress(CliOutput& output, std::int64_t files, std::int64_t bytes);

    // The next file begins; the callbacks report on it until end().
    ArchiveUploader::Progress begin(const std::string& name, std::int64_t size);
    // The file is done, stored or not: what it did not send leaves the batch's total. The line
    // is wiped, so that what is said about the file stands alone.
    void end();
    void finish() { bar_.finish(); }

  private:
    void draw(const std::string& phase);

    ProgressLine bar_;
    std::mutex mutex_;
    const std::int64_t files_;
    const std::int64_t total_;
    std::int64_t begun_ = 0;
    std::int64_t sentBefore_ = 0;  // by the files before this one
    std::int64_t dropped_ = 0;     // of files that will not be sent (skipped, failed)
    std::int64_t held_ = 0;        // found on the service
    std::string name_;
    std::int64_t size_ = 0;
    std::int64_t sent_ = 0;      // of this file, in this run
    std::int64_t heldHere_ = 0;  // of this file
};

}  // namespace quillon::cli
