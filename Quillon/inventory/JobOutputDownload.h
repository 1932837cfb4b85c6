// JobOutputDownload: a job's output fetched in checked parts. Threads: see below.
#pragma once

// JobOutputDownload: fetches a job's whole output into a file as ranged parts, several at once,
// each written at its own offset. Part boundaries fall on tree-hash chunk boundaries (a power of
// two of 1 MiB), so the service sends the tree hash of each part and each one is checked as it
// lands; a part that still fails after the request frame's retries, or whose hash differs, is
// fetched again alone. Then the whole file is checked against the job's tree hash.
// run() blocks the calling thread; the parts run on the account's operation queue and their
// completions only touch this object's state under its lock.

#include <cstdint>
#include <string>

#include "interfaces/base/Error.h"
#include "inventory/Job.h"

namespace quillon {

class JobOutputDownload {
  public:
    struct Options {
        std::int64_t partSize =
            std::int64_t{16} * 1048576;            // rounded down to a power of two of 1 MiB
        int concurrency = 1;                       // parts in flight at once
        int partAttempts = 3;                      // fetches of one part before the download fails
        RequestOperation::ProgressBlock progress;  // (bytes, received so far, output size)
    };

    struct Result {
        ErrorPtr error;
        // The verified whole file's tree hash; "" when the job names none (an inventory).
        std::string treeHash;
        // After a failure, the length of the start of the file that holds verified bytes; the
        // file is cut to it, so a later ranged download can go on from there.
        std::int64_t keptBytes = 0;
    };

    // `size` is the output's length, `treeHash` the job's hash of it ("" for none).
    JobOutputDownload(Job::Ptr job, std::string path, std::int64_t size, std::string treeHash,
                      Options options);

    Result run();

    // The part size used for a wished-for size: the largest power of two of 1 MiB not above it.
    static std::int64_t alignedPartSize(std::int64_t wished);

  private:
    Job::Ptr job_;
    std::string path_;
    std::int64_t size_;
    std::string treeHash_;
    Options options_;
};

}  // namespace quillon
