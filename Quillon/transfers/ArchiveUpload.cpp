// ArchiveUpload: reading and hashing parts once, the window of parts, resume, the checks and
// the completion. Threads: as in ArchiveUpload.h.
#include "transfers/ArchiveUpload.h"

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/ModelError.h"
#include "foundation/PathComponents.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/files/FileDescriptor.h"
#include "interfaces/files/PayloadHash.h"
#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"
#include "transfers/Archive.h"
#include "transfers/Archives.h"
#include "transfers/FileHash.h"
#include "transfers/FileHasher.h"
#include "transfers/MultipartUpload.h"
#include "transfers/MultipartUploads.h"
#include "transfers/PartWindow.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

constexpr std::int64_t kMiB = ArchiveUpload::kMiB;

ErrorPtr uploadError(std::int64_t code, const std::string& text) {
    return Error(ArchiveUpload::kErrorDomain, code, {{kLocalizedDescriptionKey, text}}).share();
}

std::string rangeText(std::int64_t from, std::int64_t to) {
    return std::to_string(from) + "-" + std::to_string(to);
}

// A part's bytes, read once, and their digests.
struct PartBytes {
    SharedBody body;  // no owner: the part is streamed from the file
    std::string sha256;
    std::vector<Sha256Digest> chunks;
};

// Reads `length` bytes at `offset` into memory a chunk at a time, hashing each chunk as it
// arrives (both digests in one pass); none with `error` set when the file cannot be read or is
// shorter.
std::optional<PartBytes> readPart(const FileDescriptor& file, const std::string& path,
                                  std::int64_t offset, std::int64_t length, ErrorPtr& error) {
    auto buffer = std::make_shared_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(length));
    PayloadHash hash;
    for (std::int64_t done = 0; done < length;) {
        const std::int64_t want = std::min(kMiB, length - done);
        std::uint8_t* at = buffer.get() + done;
        const std::int64_t got =
            file.readFullyAt(at, static_cast<std::size_t>(want), offset + done);
        if (got != want) {
            error = FileHelpers::makeError(got < 0 ? errno : EIO,
                                           "Cannot read (the file is shorter than it was)", path);
            return std::nullopt;
        }
        hash.update(at, static_cast<std::size_t>(want));
        done += want;
    }
    PayloadHash::Digests digests = hash.finish();
    PartBytes part;
    part.sha256 = Sha256::hex(digests.linear);
    part.chunks = std::move(digests.chunks);
    part.body = {buffer, buffer.get(), static_cast<std::uint64_t>(length)};
    return part;
}

// The digests of a part that is too large to hold, hashed from the file.
std::optional<PartBytes> hashPart(const std::string& path, std::int64_t offset, std::int64_t length,
                                  ErrorPtr& error) {
    TreeHash::Options window;
    window.offset = offset;
    window.length = length;
    window.threads = 1;  // the other cores send
    auto digests = TreeHash::hashFile(path, window, &error);
    if (!digests) {
        return std::nullopt;
    }
    PartBytes part;
    part.body.length = static_cast<std::uint64_t>(length);
    part.sha256 = digests->sha256;
    part.chunks = std::move(digests->chunks);
    return part;
}

// Whether a failed store (the single request, or the completion) may have stored the archive:
// anything but a refusal the service answered (a 4xx other than 404, whose upload may have just
// been completed by this request).
bool mayHaveStored(const Error& error) {
    const bool refused = error.domain() == kHTTPErrorDomain && error.code() >= 400 &&
                         error.code() < 500 && error.code() != 404 && error.code() != 408;
    return !refused && error.domain() != kURLErrorDomain;
}

}  // namespace

// One run: the file, the window and the bytes sent, shared with the parts' completions.
struct ArchiveUpload::Run {
    // Set before the first request, then only read:
    std::function<void(std::int64_t)> sent;

    std::mutex mutex;
    // Guarded by `mutex`:
    std::map<std::int64_t, std::int64_t> sentByPart;  // bytes sent so far of each part in flight
    std::int64_t finishedBytes = 0;                   // bytes of the parts the service took

    // A part's progress; reported outside the lock.
    void progress(std::int64_t part, std::int64_t bytes) {
        std::int64_t total = 0;
        {
            std::lock_guard lock(mutex);
            sentByPart[part] = bytes;
            total = finishedBytes;
            for (const auto& [index, count] : sentByPart) {
                total += count;
            }
        }
        if (sent) {
            sent(total);
        }
    }

    void partEnded(std::int64_t part, std::int64_t length, bool stored) {
        std::lock_guard lock(mutex);
        sentByPart.erase(part);
        if (stored) {
            finishedBytes += length;
        }
    }
};

namespace {

// Runs one request on the window and waits for its end. `start` receives the completion to call
// once and returns the request: none when it makes none, which is an error unless the call
// promises its completion anyway (`alwaysCompletes`, the page walks).
template <typename Value, typename Start>
std::pair<Value, ErrorPtr> awaitRequest(PartWindow& window, Start start,
                                        bool alwaysCompletes = false) {
    struct Box {
        Value value{};
        ErrorPtr error;
        std::atomic<bool> ended{false};
    };
    if (!window.acquire()) {
        return {Value{}, window.error()};
    }
    auto box = std::make_shared<Box>();
    RequestOperation::Ptr operation = start([box, &window](Value value, ErrorPtr error) {
        box->value = std::move(value);
        box->error = error;
        box->ended = true;
        window.release(error);
    });
    window.track(operation);
    if (!operation && !alwaysCompletes && !box->ended.load()) {
        window.release(
            uploadError(ArchiveUpload::kNoEndpoint, "The region has no usable endpoint"));
    }
    ErrorPtr failed = window.wait();
    return {std::move(box->value), box->error ? box->error : failed};
}

}  // namespace

void ArchiveUpload::validatePartSize(std::int64_t mebibytes) {
    if (mebibytes < 1 || mebibytes > kMaxPartSizeMiB ||
        !std::has_single_bit(static_cast<std::uint64_t>(mebibytes))) {
        throw ModelError::invalidPartSize(mebibytes);
    }
}

std::int64_t ArchiveUpload::partSizeFor(std::int64_t fileSize, std::int64_t preferredMiB,
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

ArchiveUpload::ArchiveUpload(VaultPtr vault, std::string path, Options options)
    : vault_(std::move(vault)),
      path_(std::move(path)),
      options_(std::move(options)),
      window_(std::make_shared<PartWindow>(std::max(1, options_.concurrency))) {}

ArchiveUpload::~ArchiveUpload() = default;

void ArchiveUpload::cancel() {
    window_->cancelAll();
}

ArchiveUpload::Result ArchiveUpload::run() {
    Result result;
    auto note = [this](const std::string& text) {
        if (options_.note) {
            options_.note(text);
        }
    };
    const std::optional<FileStamp> before = FileHelpers::stamp(path_, &result.error);
    if (!before) {
        return result;
    }
    result.size = before->size;
    if (result.size == 0) {
        result.error = ModelError::uploadFileEmpty().toErrorPtr();
        return result;
    }
    const FileDescriptor file = FileDescriptor::open(path_, O_RDONLY);
    if (!file) {
        result.error = FileHelpers::makeError(errno, "Cannot read", path_);
        return result;
    }
    const FileHashPtr cached = FileHasher::sharedInstance().get(path_);
    const std::optional<std::string> cachedHash =
        cached->needRehash() ? std::nullopt : cached->treeHash;
    auto run = std::make_shared<Run>();
    run->sent = options_.sent;
    PartWindow& window = *window_;

    // What may be true of the bytes read, checked before anything is stored.
    auto checkRead = [&](const std::string& treeHash) -> ErrorPtr {
        if (FileHelpers::stamp(path_) != before) {
            return uploadError(kFileChanged, "The file " + path_ +
                                                 " changed while it was read for the upload; "
                                                 "nothing was stored. Upload it again.");
        }
        if (cachedHash && *cachedHash != treeHash) {
            FileHasher::sharedInstance().forget(path_);
            return uploadError(kCachedHashDiffers,
                               "The file " + path_ +
                                   " is not what was hashed before (it changed, or its cached "
                                   "hash was out of date); nothing was stored. Upload it again.");
        }
        return nullptr;
    };
    // The cache learns the hash of the bytes sent, under the stamp they were read with.
    auto remember = [&](const std::string& treeHash) {
        if (!cachedHash) {
            FileHash hash(path_);
            hash.cachedStamp = before;
            hash.cachedSize = before->size;
            hash.treeHash = treeHash;
            FileHasher::sharedInstance().save(hash);
        }
    };

    std::int64_t preferred = options_.partSizeMiB;
    if (result.size <= preferred * kMiB) {
        // One request. The file is read and hashed, then sent from memory.
        std::optional<PartBytes> bytes;
        if (2 * result.size <= kMemoryBudget) {
            bytes = readPart(file, path_, 0, result.size, result.error);
            if (!bytes) {
                return result;
            }
            result.treeHash = TreeHash::treeHash(bytes->chunks);
            if ((result.error = checkRead(result.treeHash))) {
                return result;
            }
        }
        using Stored = std::pair<std::string, std::string>;  // archive id, the service's hash
        // The service stores nothing of a body it did not receive whole.
        auto bodyWhole = std::make_shared<std::atomic<bool>>(false);
        auto progress = [run, bodyWhole, size = result.size](std::uint64_t, std::int64_t bytesSent,
                                                             std::int64_t) {
            if (bytesSent >= size) {
                bodyWhole->store(true);
            }
            run->progress(0, bytesSent);
        };
        const ArchivePtr pending = pendingStore(result.size, result.treeHash, "");
        auto [stored, error] = awaitRequest<Stored>(window, [&](auto done) {
            auto settle = [done](const std::string& id, const std::string& hash, ErrorPtr e) {
                done({id, hash}, std::move(e));
            };
            return bytes ? vault_->archives().apiUploadBody(bytes->body, result.treeHash,
                                                            bytes->sha256, options_.description,
                                                            progress, settle)
                         : vault_->archives().apiUpload(path_, options_.description, progress,
                                                        settle);
        });
        result.archiveId = stored.first;
        result.error = error;
        if (!bytes && !error) {
            result.treeHash = stored.second;  // the request hashed the file itself
        }
        if (!error) {
            remember(result.treeHash);
        }
        settleStore(*pending, result, bodyWhole->load());
        return result;
    }

    // A multipart upload: an unfinished one of the same archive is resumed with the part size
    // it was started with, whatever the preference says now, so that changing it does not
    // orphan the upload.
    auto [uploads, listError] = awaitRequest<std::vector<MultipartUploadPtr>>(
        window,
        [&](auto done) {
            vault_->multipartUploads().apiGetAll(done);
            return RequestOperation::Ptr();
        },
        true);
    if ((result.error = listError)) {
        return result;
    }
    MultipartUploadPtr upload;
    std::int64_t partSize = 0;
    for (const auto& candidate : uploads) {
        const std::int64_t candidateSize = candidate->data["PartSizeInBytes"].int64Value();
        if (candidate->data["ArchiveDescription"].stringValue() ==
                options_.description.value_or("") &&
            candidateSize > 0 && candidateSize % kMiB == 0 &&
            (result.size + candidateSize - 1) / candidateSize <= kMaxParts) {
            upload = candidate;
            partSize = candidateSize;
            break;
        }
    }
    bool raised = false;
    if (!upload) {
        try {
            partSize = partSizeFor(result.size, preferred, &raised);
        } catch (const ModelError& error) {
            result.error = error.toErrorPtr();
            return result;
        }
    }
    const std::int64_t partCount = (result.size + partSize - 1) / partSize;
    const std::string name = lastPathComponent(path_);
    if (raised) {
        note("The part size is raised to " + std::to_string(partSize / kMiB) + " MiB so that " +
             name + " fits in at most 10,000 parts.");
    }
    MultipartUpload::Parts present;
    if (upload) {
        auto [parts, partsError] = awaitRequest<MultipartUpload::Parts>(
            window,
            [&](auto done) {
                upload->apiGetAllParts(
                    [done](MultipartUpload::Parts found, std::int64_t, ErrorPtr error) {
                        done(std::move(found), std::move(error));
                    });
                return RequestOperation::Ptr();
            },
            true);
        if ((result.error = partsError)) {
            return result;
        }
        present = std::move(parts);
        note("Resuming the upload of " + name + ": " + std::to_string(present.size()) + " of " +
             std::to_string(partCount) + " parts are on the service.");
    } else {
        auto [started, startError] = awaitRequest<MultipartUploadPtr>(window, [&](auto done) {
            return vault_->multipartUploads().apiInitiate(options_.description, partSize, done);
        });
        if ((result.error = startError)) {
            return result;
        }
        upload = started;
        note("Uploading " + name + " in " + std::to_string(partCount) + " parts of " +
             std::to_string(partSize / kMiB) + " MiB: " + std::to_string(partCount + 2) +
             " requests.");
    }
    result.uploadId = upload->id;

    // The parts: each read and hashed here while the parts before it are on the wire.
    const bool inMemory = (window.limit() + 1) * partSize <= kMemoryBudget;
    std::vector<Sha256Digest> chunks;
    chunks.reserve(static_cast<std::size_t>((result.size + kMiB - 1) / kMiB));
    for (std::int64_t part = 0; part < partCount && !window.error(); ++part) {
        const std::int64_t from = part * partSize;
        const std::int64_t length = std::min(result.size, from + partSize) - from;
        ErrorPtr readError;
        std::optional<PartBytes> bytes = inMemory ? readPart(file, path_, from, length, readError)
                                                  : hashPart(path_, from, length, readError);
        if (!bytes) {
            window.fail(readError ? readError : FileHasher::cancelledError());
            break;
        }
        chunks.insert(chunks.end(), bytes->chunks.begin(), bytes->chunks.end());
        const std::string partHash = TreeHash::treeHash(bytes->chunks);
        auto known = present.find(rangeText(from, from + length - 1));
        if (known != present.end() && known->second == partHash) {
            if (options_.held) {
                options_.held(length);
            }
            continue;
        }
        if (!window.acquire()) {
            break;
        }
        auto ended = std::make_shared<std::atomic<bool>>(false);
        auto progress = [run, part](std::uint64_t, std::int64_t bytesSent, std::int64_t) {
            run->progress(part, bytesSent);
        };
        auto finished = [run, window = window_, ended, part, length](ErrorPtr error) {
            ended->store(true);
            run->partEnded(part, length, !error);
            window->release(error);
        };
        RequestOperation::Ptr operation;
        try {
            operation = bytes->body.owner
                            ? upload->apiUploadBody(bytes->body, from, partHash, bytes->sha256,
                                                    progress, finished)
                            : upload->apiUpload(path_, from, from + length - 1, partHash,
                                                bytes->sha256, progress, finished);
        } catch (const ModelError& error) {
            window.release(error.toErrorPtr());
            break;
        }
        window.track(operation);
        if (!operation && !ended->load()) {
            window.release(uploadError(kNoEndpoint, "The region has no usable endpoint"));
        }
    }
    if ((result.error = window.wait())) {
        return result;
    }
    result.treeHash = TreeHash::treeHash(chunks);
    if ((result.error = checkRead(result.treeHash))) {
        // Nothing is stored until the upload completes; the next run reads the file afresh and
        // resumes with the parts that still match.
        return result;
    }

    const ArchivePtr pending = pendingStore(result.size, result.treeHash, upload->id);
    auto [archiveId, completeError] =
        awaitRequest<std::optional<std::string>>(window, [&](auto done) {
            return upload->apiComplete(result.treeHash, result.size,
                                       options_.description.value_or(""), done);
        });
    result.archiveId = archiveId.value_or("");
    result.error = completeError;
    if (!completeError) {
        remember(result.treeHash);
    }
    settleStore(*pending, result, true);
    return result;
}

ArchivePtr ArchiveUpload::pendingStore(std::int64_t size, const std::string& treeHash,
                                       const std::string& uploadId) const {
    auto entry = std::make_shared<Archive>(vault_);
    entry->archiveID = uploadId;
    entry->archiveDescription = options_.description.value_or("");
    entry->size = size;
    entry->treeHash = treeHash;
    entry->recordPending();
    return entry;
}

void ArchiveUpload::settleStore(Archive& pending, Result& result, bool bodyWhole) const {
    const ErrorPtr error = result.error;
    if (error && !result.archiveId.empty() && error->domain() == ModelError::kDomain &&
        error->code() == Archive::kNotRecordedCode) {
        // Stored, but the journal could not take it: the row is what the next run knows of it.
        pending.keepPending();
        return;
    }
    if (!error || !result.archiveId.empty() || !bodyWhole || !mayHaveStored(*error)) {
        // The service named the archive, which its request journalled, or it certainly stored
        // nothing.
        pending.dropPending();
        return;
    }
    // The request may have reached the service while its answer was lost: the archive may
    // exist. The row stays until an inventory tells.
    pending.keepPending();
    const std::string upload =
        pending.archiveID.empty() ? "" : " with the upload id " + pending.archiveID;
    result.unconfirmed = true;
    result.error =
        uploadError(kUnconfirmed,
                    "The answer to storing " + path_ + " was lost (" +
                        error->localizedDescription() + "): the archive may be stored. " +
                        (pending.rowId != 0 ? "It is recorded as stored, unconfirmed" + upload + "."
                                            : "It could not be recorded" + upload + "."));
    NSLog("%@", {result.error->localizedDescription()});
}

}  // namespace quillon
