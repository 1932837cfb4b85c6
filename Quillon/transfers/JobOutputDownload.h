// JobOutputDownload: a job's output fetched into a file in checked parts, resumable.
//
// Fetches a succeeded job's whole output to `target` through PartFile's "<target>.part", as
// ranged parts several at once (PartWindow), each written once at its own offset. Part
// boundaries fall on tree-hash chunk boundaries (a power of two of 1 MiB), so the service sends
// the tree hash of each part: each part's chunks are hashed and written as they arrive, by one
// writer thread (ChunkWriter), and the part is checked when it ends, without reading it back. An
// answer is checked before it is kept: 206 with the Content-Range asked for (200 only for a part
// that is the whole output), every byte of it, its tree hash. A part that still fails after the
// request frame's retries, or whose hash differs, is fetched again alone. The whole output's tree
// hash is combined from the parts' chunk digests and compared with the job's; only then does the
// .part file become the target.
//
// Each checked part is noted beside the .part file, so a download that fails or is killed keeps
// every part it wrote and checked: the next run reads back only those parts (to know their
// chunk digests and check they are still intact) and fetches the others. An output whose size
// the job does not describe is fetched in one request from the start.
// Threads: run() blocks the calling thread while the parts run on the account's operation
//   queue and a writer thread of the download's own writes them; cancel() from any thread; the
//   progress callback is called from the client's worker threads (several at once with parts in
//   parallel), never with a lock of this object held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "interfaces/http/RequestOperation.h"
#include "inventory/Job.h"

namespace quillon {

class PartWindow;

class JobOutputDownload {
  public:
    static constexpr const char* kErrorDomain = "JobOutputDownload";

    struct Options {
        std::int64_t partSize =
            std::int64_t{16} * 1048576;  // rounded down to a power of two of 1 MiB
        int concurrency = 1;             // parts in flight at once
        int partAttempts = 3;            // fetches of one part before the download fails
        // (bytes in this step, bytes of the output in place so far, the output's size or -1);
        // a part fetched again takes its bytes back with a negative step.
        RequestOperation::ProgressBlock progress;
        // Told on the calling thread, before any request, how many bytes of an earlier run's
        // .part file are kept.
        std::function<void(std::int64_t keptBytes)> resuming;
    };

    struct Result {
        ErrorPtr error;
        std::string path;  // the target, holding the output, on success
        std::string partPath;
        std::int64_t size = 0;
        // The whole output's tree hash, checked against the job's or against every part's hash
        // from the service; "" when nothing named one (then nothing was checked).
        std::string treeHash;
        // Bytes kept from an earlier run's .part file.
        std::int64_t resumedAt = 0;
        // After a failure, the bytes written and checked that stay in the .part file for the
        // next run; when none stay, the .part file is removed.
        std::int64_t keptBytes = 0;
    };

    // `job` holds the service's description of a succeeded job (Job::apiDescribe).
    JobOutputDownload(Job::Ptr job, std::string target, Options options);
    ~JobOutputDownload();
    JobOutputDownload(const JobOutputDownload&) = delete;
    JobOutputDownload& operator=(const JobOutputDownload&) = delete;

    Result run();
    // Ends the download from any thread: the parts in flight are cancelled, run() returns with
    // a cancellation error and the parts checked so far stay for the next run.
    void cancel();

    // The part size used for a wished-for size: the largest power of two of 1 MiB not above it.
    static std::int64_t alignedPartSize(std::int64_t wished);
    // The output's size as the job's description gives it (a range, the archive's or the
    // inventory's size); none when it gives none.
    static std::optional<std::int64_t> describedSize(const Job& job);

  private:
    Job::Ptr job_;
    std::string target_;
    Options options_;
    std::shared_ptr<PartWindow> window_;
};

}  // namespace quillon
