// JobOutputDownload: the parts, their checks and the retries. Threads: as in
// JobOutputDownload.h.
#include "inventory/JobOutputDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/files/FileDescriptor.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierManager.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

constexpr std::int64_t kMiB = 1048576;
constexpr const char* kErrorDomain = "JobOutputDownload";

ErrorPtr downloadError(std::int64_t code, const std::string& text) {
    return Error(kErrorDomain, code, {{kLocalizedDescriptionKey, text}}).share();
}

std::string rangeText(std::int64_t offset, std::int64_t length) {
    return std::to_string(offset) + "-" + std::to_string(offset + length - 1);
}

struct Part {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    int fetches = 0;
    bool verified = false;
};

// What the caller's thread and the parts' completions share; guarded by `mutex`.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Part> parts;
    std::deque<std::size_t> pending;
    std::vector<RequestOperation::Ptr> operations;
    int inFlight = 0;
    ErrorPtr failure;
    FileDescriptor file;
    std::string path;
    std::int64_t received = 0;
    RequestOperation::ProgressBlock progress;
    std::int64_t size = 0;

    void reportProgress(std::int64_t step) {
        // Called with `mutex` held.
        received += step;
        if (progress && step > 0) {
            progress(static_cast<std::uint64_t>(step), received, size);
        }
    }
};

// Why a fetched part cannot be kept, or none.
ErrorPtr checkPart(const Shared& shared, const Part& part, std::int64_t written,
                   const std::string& serviceHash) {
    if (written != part.length) {
        return downloadError(1, "Bytes " + rangeText(part.offset, part.length) +
                                    " of the output arrived incomplete (" +
                                    std::to_string(written) + " bytes)");
    }
    if (serviceHash.empty()) {
        return nullptr;
    }
    TreeHash::Options window;
    window.offset = part.offset;
    window.length = part.length;
    window.threads = 1;
    ErrorPtr error;
    const std::string computed =
        TreeHash::treeHash(TreeHash::chunkHashes(shared.path, window, &error));
    if (error) {
        return error;
    }
    if (computed != serviceHash) {
        return downloadError(2, "The tree hash of bytes " + rangeText(part.offset, part.length) +
                                    " (" + computed + ") differs from the service's (" +
                                    serviceHash + ")");
    }
    return nullptr;
}

}  // namespace

JobOutputDownload::JobOutputDownload(Job::Ptr job, std::string path, std::int64_t size,
                                     std::string treeHash, Options options)
    : job_(std::move(job)),
      path_(std::move(path)),
      size_(size),
      treeHash_(std::move(treeHash)),
      options_(std::move(options)) {}

std::int64_t JobOutputDownload::alignedPartSize(std::int64_t wished) {
    std::int64_t size = kMiB;
    while (size <= wished / 2) {
        size *= 2;
    }
    return size;
}

JobOutputDownload::Result JobOutputDownload::run() {
    Result result;
    auto shared = std::make_shared<Shared>();
    shared->path = path_;
    shared->size = size_;
    shared->progress = options_.progress;
    shared->file = FileDescriptor::open(path_, O_WRONLY | O_CREAT, 0644);
    if (!shared->file || ::ftruncate(shared->file.get(), static_cast<off_t>(size_)) != 0) {
        result.error = downloadError(3, "Cannot write " + path_);
        return result;
    }
    const std::int64_t partSize = alignedPartSize(options_.partSize);
    for (std::int64_t offset = 0; offset < size_; offset += partSize) {
        shared->pending.push_back(shared->parts.size());
        shared->parts.push_back({offset, std::min(partSize, size_ - offset)});
    }
    const int concurrency = std::clamp<int>(
        options_.concurrency, 1, std::max<int>(1, static_cast<int>(shared->parts.size())));
    OperationQueue& queue =
        job_->vault()->accountRegion()->account()->glacierManager().operationQueue();
    if (queue.maxConcurrentOperationCount() < concurrency) {
        queue.setMaxConcurrentOperationCount(concurrency);
    }
    const int attempts = std::max(1, options_.partAttempts);

    std::unique_lock lock(shared->mutex);
    while (true) {
        while (!shared->failure && shared->inFlight < concurrency && !shared->pending.empty()) {
            const std::size_t index = shared->pending.front();
            shared->pending.pop_front();
            const Part part = shared->parts[index];
            ++shared->parts[index].fetches;
            ++shared->inFlight;
            lock.unlock();
            auto written = std::make_shared<std::int64_t>(0);
            auto completed = std::make_shared<bool>(false);
            auto operation = job_->apiDownload(
                [shared, part, written](const char* data, std::size_t length) {
                    if (*written + static_cast<std::int64_t>(length) > part.length) {
                        return false;
                    }
                    std::int64_t at = part.offset + *written;
                    for (std::size_t done = 0; done < length;) {
                        ssize_t wrote = ::pwrite(shared->file.get(), data + done, length - done,
                                                 static_cast<off_t>(at));
                        if (wrote <= 0) {
                            return false;
                        }
                        done += static_cast<std::size_t>(wrote);
                        at += wrote;
                    }
                    *written += static_cast<std::int64_t>(length);
                    std::lock_guard progressLock(shared->mutex);
                    shared->reportProgress(static_cast<std::int64_t>(length));
                    return true;
                },
                Job::ByteRange{part.offset, part.offset + part.length - 1}, nullptr,
                [shared, index, part, written, completed, attempts](
                    const std::string& hash, ErrorPtr error, RequestOperation::Ptr) {
                    if (!error) {
                        error = checkPart(*shared, part, *written, hash);
                    }
                    std::lock_guard doneLock(shared->mutex);
                    *completed = true;
                    --shared->inFlight;
                    Part& state = shared->parts[index];
                    if (!error) {
                        state.verified = true;
                    } else if (state.fetches < attempts && error->domain() != kURLErrorDomain) {
                        NSLog("Fetching bytes %@ of the output again: %@",
                              {rangeText(part.offset, part.length), error->localizedDescription()});
                        shared->reportProgress(-*written);
                        shared->pending.push_back(index);
                    } else if (!shared->failure) {
                        shared->failure = error;
                    }
                    shared->changed.notify_all();
                },
                [shared, written] {
                    // The frame sends the part again: it starts over at the part's offset.
                    std::lock_guard restartLock(shared->mutex);
                    shared->reportProgress(-*written);
                    *written = 0;
                    return true;
                });
            lock.lock();
            if (operation) {
                shared->operations.push_back(operation);
            } else if (!*completed) {
                --shared->inFlight;
                shared->failure = downloadError(4, "The region has no usable endpoint");
            }
        }
        if (shared->failure) {
            for (const auto& operation : shared->operations) {
                operation->cancel();
            }
        }
        if (shared->inFlight == 0 && (shared->pending.empty() || shared->failure)) {
            break;
        }
        shared->changed.wait(lock);
    }
    shared->operations.clear();

    if (shared->failure) {
        result.error = shared->failure;
        for (const Part& part : shared->parts) {
            if (!part.verified) {
                break;
            }
            result.keptBytes = part.offset + part.length;
        }
        if (::ftruncate(shared->file.get(), static_cast<off_t>(result.keptBytes)) != 0) {
            result.keptBytes = 0;
        }
        return result;
    }
    shared->file.reset();
    if (!treeHash_.empty()) {
        ErrorPtr error;
        TreeHash::Options whole;
        const std::string computed =
            TreeHash::treeHash(TreeHash::chunkHashes(path_, whole, &error));
        if (error) {
            result.error = error;
        } else if (computed != treeHash_) {
            result.error = downloadError(2, "The tree hash of the downloaded data (" + computed +
                                                ") differs from the service's (" + treeHash_ + ")");
        } else {
            result.treeHash = computed;
        }
    }
    return result;
}

}  // namespace quillon
