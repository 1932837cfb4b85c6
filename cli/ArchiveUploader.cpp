// ArchiveUploader: part sizes, the single-request upload and the resumed multipart upload.
// Threads: as in ArchiveUploader.h.

#include "ArchiveUploader.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "CliContext.h"
#include "HumanText.h"
#include "ProgressGate.h"
#include "foundation/ModelError.h"
#include "foundation/Support.h"
#include "interfaces/files/FileHelpers.h"
#include "interfaces/files/PathComponents.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/platform/MainQueue.h"
#include "ops/Awaited.h"
#include "transfers/Archives.h"
#include "transfers/FileHasher.h"
#include "transfers/MultipartUpload.h"
#include "transfers/MultipartUploads.h"

namespace quillon::cli {

namespace {

// Parts in flight, their errors and the bytes they have sent.
struct PartTracker {
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;
    ErrorPtr firstError;
    std::map<std::int64_t, std::int64_t> sentByPart;
    std::int64_t finishedBytes = 0;

    std::int64_t sentBytes() {
        std::int64_t sum = finishedBytes;
        for (const auto& [part, bytes] : sentByPart) {
            sum += bytes;
        }
        return sum;
    }

    // Runs the main queue while `busy` holds (checked under the lock); false when the bound
    // passed first. Main thread only.
    template <typename Busy>
    bool waitWhile(Busy busy, double seconds) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(seconds));
        std::unique_lock lock(mutex);
        while (busy()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            changed.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            MainQueue::runOnce();
            lock.lock();
        }
        return true;
    }
};

}  // namespace

void ArchiveUploader::validatePartSize(std::int64_t mebibytes) {
    if (mebibytes < 1 || mebibytes > kMaxPartSizeMiB ||
        !std::has_single_bit(static_cast<std::uint64_t>(mebibytes))) {
        throw ModelError::invalidPartSize(mebibytes);
    }
}

std::int64_t ArchiveUploader::partSizeFor(std::int64_t fileSize, std::int64_t preferredMiB,
                                          bool* raised) {
    validatePartSize(preferredMiB);
    std::int64_t mebibytes = preferredMiB;
    while (mebibytes <= kMaxPartSizeMiB &&
           (fileSize + mebibytes * kMiB - 1) / (mebibytes * kMiB) > kMaxParts) {
        mebibytes *= 2;
    }
    if (mebibytes > kMaxPartSizeMiB) {
        throw ModelError::invalidPartSize(mebibytes);
    }
    if (raised) {
        *raised = mebibytes != preferredMiB;
    }
    return mebibytes * kMiB;
}

ArchiveUploader::ArchiveUploader(CliContext& context, VaultPtr vault, std::int64_t partSizeMiB,
                                 int maxConcurrent)
    : context_(context),
      vault_(std::move(vault)),
      partSizeMiB_(partSizeMiB),
      maxConcurrent_(std::max(1, maxConcurrent)) {}

ArchiveUploader::Result ArchiveUploader::upload(const std::string& path,
                                                const std::string& description,
                                                const Progress& progress) {
    ErrorPtr error;
    auto size = FileHelpers::fileSize(path, &error);
    if (!size) {
        context_.fail(error);
    }
    if (*size == 0) {
        context_.fail(ModelError::uploadFileEmpty().toError());
    }
    TreeHash::Progress hashing;
    if (progress.hashing) {
        hashing = [&progress](int percent) {
            progress.hashing(percent);
            return true;
        };
    }
    FileHashPtr hash = FileHasher::sharedInstance().compute(path, hashing, &error);
    if (!hash) {
        context_.fail(error);
    }
    if (*size <= partSizeMiB_ * kMiB) {
        return uploadSingle(path, description, *hash->treeHash, *size, progress);
    }
    return uploadMultipart(path, description, *hash->treeHash, *size, progress);
}

ArchiveUploader::Result ArchiveUploader::uploadSingle(const std::string& path,
                                                      const std::string& description,
                                                      const std::string& treeHash,
                                                      std::int64_t size, const Progress& progress) {
    // The archive id and the tree hash the service computed.
    ProgressGate gate(progress.sent);
    ops::Awaited<std::pair<std::string, std::string>> stored(context_, ops::kTransferTimeout);
    stored.track(vault_->archives().apiUpload(
        path, description,
        [sent = gate.reporter()](std::uint64_t, std::int64_t bytes, std::int64_t) { sent(bytes); },
        [done = stored.completion()](const std::string& archiveId, const std::string& receivedHash,
                                     ErrorPtr error) {
            done({archiveId, receivedHash}, std::move(error));
        }));
    auto [answer, error] = stored.wait();
    const auto& [archiveId, receivedHash] = answer;
    if (error && archiveId.empty()) {
        context_.fail(error);
    }
    if (!error && receivedHash == treeHash) {
        return {archiveId, treeHash, size};
    }
    // The service stored an archive, but with another tree hash than the cached one, or than
    // the one sent with it (`error`). The cached hash is not trusted again either way.
    FileHasher::sharedInstance().forget(path);
    if (!error) {
        // The request carried the file's hash as read for sending, and the service agreed with
        // it: when that is the file's hash now, only the cache was out of date.
        ErrorPtr rehashError;
        FileHashPtr current = FileHasher::sharedInstance().compute(path, {}, &rehashError);
        if (current && current->treeHash == receivedHash) {
            return {archiveId, receivedHash, size};
        }
    }
    context_.fail("The archive " + archiveId + " was stored for " + path + ", but its tree hash (" +
                  receivedHash +
                  ") is not the file's: the file changed during the upload, or the data was "
                  "damaged on the way. Delete that archive with: quillon delete " +
                  archiveId + " --vault " + vault_->name + " and then upload the file again.");
}

ArchiveUploader::Result ArchiveUploader::uploadMultipart(const std::string& path,
                                                         const std::string& description,
                                                         const std::string& treeHash,
                                                         std::int64_t size,
                                                         const Progress& progress) {
    // An unfinished upload of the same archive is resumed with the part size it was started
    // with, whatever the preference says now, so that changing it does not orphan the upload.
    ops::Awaited<std::vector<MultipartUploadPtr>> listed(context_);
    vault_->multipartUploads().apiGetAll(listed.completion());
    MultipartUploadPtr upload;
    std::int64_t partSize = 0;
    for (const auto& candidate : listed.get()) {
        std::int64_t candidateSize = candidate->data["PartSizeInBytes"].int64Value();
        if (candidate->data["ArchiveDescription"].stringValue() == description &&
            candidateSize > 0 && candidateSize % kMiB == 0 &&
            (size + candidateSize - 1) / candidateSize <= kMaxParts) {
            upload = candidate;
            partSize = candidateSize;
            break;
        }
    }
    bool raised = false;
    if (!upload) {
        partSize = partSizeFor(size, partSizeMiB_, &raised);
    }
    const std::int64_t partCount = (size + partSize - 1) / partSize;
    if (raised) {
        context_.output().note("The part size is raised to " + std::to_string(partSize / kMiB) +
                               " MiB so that " + lastPathComponent(path) +
                               " fits in at most 10,000 parts.");
    }

    MultipartUpload::Parts present;
    if (upload) {
        ops::Awaited<MultipartUpload::Parts> parts(context_);
        upload->apiGetAllParts([done = parts.completion()](MultipartUpload::Parts found,
                                                           std::int64_t, ErrorPtr error) {
            done(std::move(found), std::move(error));
        });
        present = parts.get();
        context_.output().note("Resuming the upload of " + lastPathComponent(path) + ": " +
                               std::to_string(present.size()) + " of " + std::to_string(partCount) +
                               " parts are on the service.");
    } else {
        ops::Awaited<MultipartUploadPtr> started(context_);
        started.track(
            vault_->multipartUploads().apiInitiate(description, partSize, started.completion()));
        upload = started.get();
        context_.output().note("Uploading " + lastPathComponent(path) + " (" + sizeText(size) +
                               ") in " + std::to_string(partCount) + " parts of " +
                               std::to_string(partSize / kMiB) +
                               " MiB: " + std::to_string(partCount + 2) + " requests.");
    }

    auto tracker = std::make_shared<PartTracker>();
    // Leaving early (a failure, the bound) leaves parts in flight: they report no more.
    ProgressGate gate(progress.sent);
    // The part requests, cancelled when the parts in flight take longer than any transfer may.
    std::vector<RequestOperation::Ptr> running;
    auto giveUp = [&] {
        for (const auto& operation : running) {
            operation->cancel();
        }
        context_.fail("The parts in flight did not finish within " +
                      std::to_string(static_cast<long>(ops::kTransferTimeout)) +
                      " seconds (the upload can be resumed: run the same command again).");
    };
    std::vector<Sha256Digest> allChunks;
    allChunks.reserve(static_cast<std::size_t>((size + kMiB - 1) / kMiB));
    for (std::int64_t part = 0; part < partCount; ++part) {
        const std::int64_t from = part * partSize;
        const std::int64_t to = std::min(size, from + partSize) - 1;
        TreeHash::Options window;
        window.offset = from;
        window.length = to - from + 1;
        ErrorPtr error;
        auto digests = TreeHash::hashFile(path, window, &error);
        if (!digests) {
            context_.fail(error ? error : FileHasher::cancelledError());
        }
        allChunks.insert(allChunks.end(), digests->chunks.begin(), digests->chunks.end());
        const std::string partHash = TreeHash::treeHash(digests->chunks);
        auto known = present.find(std::to_string(from) + "-" + std::to_string(to));
        if (known != present.end() && known->second == partHash) {
            if (progress.held) {
                progress.held(to - from + 1);
            }
            continue;
        }
        if (!tracker->waitWhile(
                [&] { return tracker->inFlight >= maxConcurrent_ && !tracker->firstError; },
                ops::kTransferTimeout)) {
            giveUp();
        }
        {
            std::lock_guard lock(tracker->mutex);
            if (tracker->firstError) {
                break;
            }
            ++tracker->inFlight;
        }
        const std::int64_t length = to - from + 1;
        auto sent = [tracker, report = gate.reporter(), part](std::uint64_t, std::int64_t bytes,
                                                              std::int64_t) {
            std::int64_t total;
            {
                std::lock_guard lock(tracker->mutex);
                tracker->sentByPart[part] = bytes;
                total = tracker->sentBytes();
            }
            report(total);
        };
        auto finished = [tracker, part, length](ErrorPtr error) {
            {
                std::lock_guard lock(tracker->mutex);
                --tracker->inFlight;
                tracker->sentByPart.erase(part);
                if (error && !tracker->firstError) {
                    tracker->firstError = error;
                } else if (!error) {
                    tracker->finishedBytes += length;
                }
            }
            tracker->changed.notify_all();
        };
        try {
            auto operation =
                upload->apiUpload(path, from, to, partHash, digests->sha256, sent, finished);
            std::erase_if(running,
                          [](const RequestOperation::Ptr& done) { return done->isFinished(); });
            if (operation) {
                running.push_back(operation);
            }
            if (!operation) {
                std::lock_guard lock(tracker->mutex);
                --tracker->inFlight;
                if (!tracker->firstError) {
                    context_.fail("The region has no usable endpoint.");
                }
            }
        } catch (const ModelError& error) {
            context_.fail(error.toError());
        }
    }
    if (!tracker->waitWhile([&] { return tracker->inFlight > 0; }, ops::kTransferTimeout)) {
        giveUp();
    }
    {
        std::lock_guard lock(tracker->mutex);
        if (tracker->firstError) {
            context_.fail(tracker->firstError->localizedDescription() +
                          " (the upload can be resumed: run the same command again)");
        }
    }
    if (TreeHash::treeHash(allChunks) != treeHash) {
        // Nothing is stored until the upload completes; the next run hashes the file afresh and
        // resumes with the parts that still match.
        FileHasher::sharedInstance().forget(path);
        context_.fail("The file " + path +
                      " is not what was hashed before (it changed, or its cached hash was out of "
                      "date); nothing was stored. Upload it again.");
    }

    ops::Awaited<std::optional<std::string>> completed(context_);
    completed.track(upload->apiComplete(treeHash, size, description, completed.completion()));
    return {completed.get().value_or(""), treeHash, size};
}

}  // namespace quillon::cli
