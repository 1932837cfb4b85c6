// JobOutputDownload: the parts, their checks as they arrive, the retries and the resume.
// Threads: as in JobOutputDownload.h.
#include "transfers/JobOutputDownload.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"  // IWYU pragma: keep
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/Support.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/files/FileDescriptor.h"
#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/OperationQueue.h"
#include "interfaces/http/RequestOperation.h"
#include "inventory/Job.h"
#include "transfers/ChunkWriter.h"
#include "transfers/PartFile.h"
#include "transfers/PartWindow.h"
#include "vaults/Vault.h"  // IWYU pragma: keep

namespace quillon {

namespace {

constexpr std::int64_t kMiB = TreeHash::kChunkSize;

ErrorPtr downloadError(std::int64_t code, const std::string& text) {
    return Error(JobOutputDownload::kErrorDomain, code, {{kLocalizedDescriptionKey, text}}).share();
}

std::string rangeText(std::int64_t offset, std::int64_t length) {
    return std::to_string(offset) + "-" + std::to_string(offset + length - 1);
}

std::optional<std::int64_t> headerNumber(const HeaderMap& headers, const std::string& field) {
    auto found = headers.find(field);
    if (found == headers.end()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long long value = std::strtoll(found->second.c_str(), &end, 10);
    if (end == found->second.c_str() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

// One part's request: the bytes of its answer are gathered a chunk at a time by the worker
// running the request and handed to the writer, which hashes and writes them at the part's
// offset. Only that worker touches it until the request ends; a retry of the frame starts it
// over (restart()).
struct Fetch {
    std::int64_t offset = 0;
    std::int64_t length = -1;  // -1: the whole output, of unknown size
    std::int64_t received = 0;
    std::size_t submitted = 0;  // chunks handed to the writer
    ChunkWriter::Bytes chunk;
    std::shared_ptr<ChunkWriter::Stream> written;  // what the writer made of them
};

// What the driving thread and the parts' completions share.
struct Shared {
    // Set before the first request, then only read:
    FileDescriptor file;     // the .part file, written at each part's offset
    FileDescriptor direct;   // the same, past the page cache; none where that is refused
    std::int64_t size = -1;  // the output's size, -1 while unknown
    int attempts = 1;        // fetches of one part before the download fails
    RequestOperation::ProgressBlock progress;
    std::shared_ptr<PartWindow> window;
    PartFile* partFile = nullptr;  // outlives every request (run() waits for them)

    std::atomic<std::int64_t> inPlace{0};  // bytes of the output written so far, for progress

    std::mutex mutex;
    // Guarded by `mutex`:
    std::vector<std::optional<Sha256Digest>> chunks;  // the output's chunk digests, by index
    std::deque<std::size_t> pending;                  // parts still to fetch, by index
    std::vector<int> fetches;                         // fetches so far, by part index
    std::vector<PartFile::Piece> done;                // parts written and checked
    bool everyPartHashed = true;      // every part's hash came from the service and matched
    int checking = 0;                 // parts whose answer ended and waits for its check
    std::condition_variable settled;  // a check ended, or a part was queued again

    // Hashes and writes the parts' chunks into `file`; set before the first request, and last,
    // so that it ends first.
    std::unique_ptr<ChunkWriter> writer;

    void report(std::int64_t step) {
        const std::int64_t now = inPlace.fetch_add(step) + step;
        if (progress && step != 0) {
            progress(static_cast<std::uint64_t>(std::max<std::int64_t>(step, 0)), now, size);
        }
    }

    // Hands what the part's buffer holds to the writer; false once a write of the part failed.
    // Worker thread of the part.
    bool flush(Fetch& fetch) {
        if (!fetch.chunk.empty()) {
            const std::int64_t at =
                fetch.offset + static_cast<std::int64_t>(fetch.submitted) * kMiB;
            writer->submit(fetch.written, std::move(fetch.chunk), at, fetch.submitted++);
            fetch.chunk = writer->buffer();
        }
        return !fetch.written->failed.load();
    }

    bool receive(Fetch& fetch, const char* data, std::size_t length) {
        if (fetch.length >= 0 &&
            fetch.received + static_cast<std::int64_t>(length) > fetch.length) {
            return false;
        }
        fetch.received += static_cast<std::int64_t>(length);
        while (length > 0) {
            const std::size_t take =
                std::min(length, static_cast<std::size_t>(kMiB) - fetch.chunk.size());
            fetch.chunk.insert(fetch.chunk.end(), data, data + take);
            data += take;
            length -= take;
            if (fetch.chunk.size() == static_cast<std::size_t>(kMiB) && !flush(fetch)) {
                return false;
            }
        }
        return true;
    }

    void restart(Fetch& fetch) {
        writer->drain(*fetch.written);
        report(-fetch.written->written);
        fetch.received = 0;
        fetch.submitted = 0;
        fetch.chunk.clear();
        fetch.written = std::make_shared<ChunkWriter::Stream>();
    }

    // Why a part's answer cannot be kept, or none; `hashed` tells whether the service's tree
    // hash checked it.
    // Every chunk of the part is written (or failed) by then.
    ErrorPtr check(Fetch& fetch, const std::string& serviceHash, const HTTPResponse& response,
                   bool& hashed) {
        std::vector<Sha256Digest>& digests = fetch.written->digests;
        if (fetch.written->error) {
            return fetch.written->error;
        }
        const std::string what =
            fetch.length < 0 ? std::string("The output")
                             : "Bytes " + rangeText(fetch.offset, fetch.length) + " of the output";
        if (fetch.length >= 0) {
            const bool whole = fetch.offset == 0 && fetch.length == size;
            const std::string asked =
                "bytes " + rangeText(fetch.offset, fetch.length) + "/" + std::to_string(size);
            auto range = response.headers.find("Content-Range");
            if (response.statusCode == 206
                    ? range == response.headers.end() || range->second != asked
                    : !(response.statusCode == 200 && whole)) {
                return downloadError(
                    5, what + " came back as another range (" +
                           std::to_string(response.statusCode) +
                           (range == response.headers.end() ? "" : ", " + range->second) + ")");
            }
        }
        const auto announced = headerNumber(response.headers, "Content-Length");
        if ((fetch.length >= 0 && fetch.received != fetch.length) ||
            (announced && *announced != fetch.received)) {
            return downloadError(
                1, what + " arrived incomplete (" + std::to_string(fetch.received) + " bytes)");
        }
        if (digests.empty()) {
            digests.push_back(Sha256::digest("", 0));
        }
        hashed = !serviceHash.empty();
        if (hashed) {
            const std::string computed = TreeHash::treeHash(digests);
            if (computed != serviceHash) {
                return downloadError(
                    2, "The tree hash of " +
                           (fetch.length < 0 ? std::string("the output")
                                             : "bytes " + rangeText(fetch.offset, fetch.length)) +
                           " (" + computed + ") differs from the service's (" + serviceHash + ")");
            }
        }
        return nullptr;
    }

    // What a part's end makes of it, once every chunk of it is written: kept and noted, fetched
    // again (queued in `pending`), or the download's failure (returned). `response` is the
    // answer when the request itself succeeded.
    ErrorPtr settle(Fetch& fetch, std::size_t index, const std::string& serviceHash, ErrorPtr error,
                    const HTTPResponse* response) {
        if (fetch.written->error) {
            // The part's bytes could not be written: that, not the request it cut short, is the
            // reason, whichever of the two noticed first.
            error = fetch.written->error;
        }
        bool hashed = false;
        if (!error) {
            error = response ? check(fetch, serviceHash, *response, hashed)
                             : downloadError(4, "No answer to check");
        }
        ErrorPtr failure;
        {
            std::lock_guard lock(mutex);
            if (!error) {
                const std::vector<Sha256Digest>& digests = fetch.written->digests;
                if (fetch.length < 0) {
                    chunks.assign(digests.begin(), digests.end());
                    size = fetch.received;
                } else {
                    std::copy(digests.begin(), digests.end(), chunks.begin() + fetch.offset / kMiB);
                }
                everyPartHashed = everyPartHashed && hashed;
                PartFile::Piece piece{fetch.offset, fetch.received, TreeHash::treeHash(digests)};
                done.push_back(piece);
                if (fetch.length >= 0) {
                    if (ErrorPtr noted = partFile->noteVerified(piece)) {
                        NSLog("%@", {noted->localizedDescription()});
                    }
                }
            } else if (++fetches[index] < attempts && error->domain() != kURLErrorDomain &&
                       fetch.length >= 0 && !fetch.written->error) {
                NSLog("Fetching bytes %@ of the output again: %@",
                      {rangeText(fetch.offset, fetch.length), error->localizedDescription()});
                pending.push_back(index);
                settled.notify_all();
            } else {
                failure = error;
            }
        }
        if (error) {
            report(-fetch.written->written);
        }
        return failure;
    }
};

}  // namespace

JobOutputDownload::JobOutputDownload(Job::Ptr job, std::string target, Options options)
    : job_(std::move(job)),
      target_(std::move(target)),
      options_(std::move(options)),
      window_(std::make_shared<PartWindow>(std::max(1, options_.concurrency))) {}

JobOutputDownload::~JobOutputDownload() = default;

void JobOutputDownload::cancel() {
    window_->cancelAll();
}

std::int64_t JobOutputDownload::alignedPartSize(std::int64_t wished) {
    std::int64_t size = kMiB;
    while (size <= wished / 2) {
        size *= 2;
    }
    return size;
}

std::optional<std::int64_t> JobOutputDownload::describedSize(const Job& job) {
    if (auto range = extractRange(job.data["RetrievalByteRange"].stringValue())) {
        return range->second - range->first + 1;
    }
    if (auto size = job.data["ArchiveSizeInBytes"].int64()) {
        return size;
    }
    return job.data["InventorySizeInBytes"].int64();
}

JobOutputDownload::Result JobOutputDownload::run() {
    Result result;
    const std::optional<std::int64_t> size = describedSize(*job_);
    const std::string describedHash = job_->data["SHA256TreeHash"].stringValue();
    PartFile part(target_, job_->id);
    result.partPath = part.path();
    std::vector<PartFile::Piece> noted = part.prepare(size, result.error);
    if (result.error) {
        return result;
    }
    auto shared = std::make_shared<Shared>();
    shared->file = FileDescriptor::open(part.path(), O_WRONLY);
    if (!shared->file) {
        result.error = FileHelpers::makeError(errno, "Cannot write", part.path());
        return result;
    }
    shared->direct = FileDescriptor::open(part.path(), O_WRONLY | O_DIRECT);
    shared->size = size.value_or(-1);
    shared->attempts = std::max(1, options_.partAttempts);
    shared->progress = options_.progress;
    shared->window = window_;
    shared->partFile = &part;
    shared->writer = std::make_unique<ChunkWriter>(
        shared->file, shared->direct, part.path(),
        [raw = shared.get()](std::int64_t bytes) { raw->report(bytes); });

    // The parts: the whole output in one request when its size is unknown, else a grid of
    // aligned parts, of which those an earlier run wrote and noted are kept when they still
    // hold what was noted.
    std::vector<Fetch> parts;
    if (!size) {
        parts.push_back(Fetch{});
    } else {
        const std::int64_t partSize = alignedPartSize(options_.partSize);
        shared->chunks.resize(
            static_cast<std::size_t>(std::max<std::int64_t>(1, (*size + kMiB - 1) / kMiB)));
        if (*size == 0) {
            shared->chunks[0] = Sha256::digest("", 0);
        }
        for (std::int64_t offset = 0; offset < *size; offset += partSize) {
            Fetch fetch;
            fetch.offset = offset;
            fetch.length = std::min(partSize, *size - offset);
            auto kept = std::find_if(noted.begin(), noted.end(), [&](const PartFile::Piece& piece) {
                return piece.offset == fetch.offset && piece.length == fetch.length;
            });
            if (kept != noted.end()) {
                TreeHash::Options window;
                window.offset = fetch.offset;
                window.length = fetch.length;
                ErrorPtr ignored;
                auto digests = TreeHash::chunkHashes(part.path(), window, &ignored);
                if (!digests.empty() && TreeHash::treeHash(digests) == kept->treeHash) {
                    std::copy(digests.begin(), digests.end(),
                              shared->chunks.begin() + fetch.offset / kMiB);
                    shared->done.push_back(*kept);
                    result.resumedAt += fetch.length;
                    continue;
                }
            }
            shared->pending.push_back(parts.size());
            parts.push_back(std::move(fetch));
        }
    }
    if (!size) {
        shared->pending.push_back(0);
    }
    shared->fetches.assign(parts.size(), 0);
    shared->inPlace = result.resumedAt;
    if (result.resumedAt > 0 && options_.resuming) {
        options_.resuming(result.resumedAt);
    }

    OperationQueue& queue =
        job_->vault()->accountRegion()->account()->glacierManager().operationQueue();
    if (queue.maxConcurrentOperationCount() < window_->limit()) {
        queue.setMaxConcurrentOperationCount(window_->limit());
    }
    auto fetchPart = [&](std::size_t index) {
        auto fetch = std::make_shared<Fetch>(parts[index]);
        fetch->chunk = shared->writer->buffer();
        fetch->written = std::make_shared<ChunkWriter::Stream>();
        auto ended = std::make_shared<std::atomic<bool>>(false);
        std::optional<Job::ByteRange> range;
        if (fetch->length >= 0) {
            range = Job::ByteRange{fetch->offset, fetch->offset + fetch->length - 1};
        }
        auto operation = job_->apiDownload(
            [shared, fetch](const char* data, std::size_t length) {
                return shared->receive(*fetch, data, length);
            },
            range, nullptr,
            [shared, fetch, index, ended](const std::string& hash, ErrorPtr error,
                                          RequestOperation::Ptr op) {
                ended->store(true);
                if (error || !op) {
                    shared->writer->drain(*fetch->written);
                    shared->window->release(
                        shared->settle(*fetch, index, hash, std::move(error), nullptr));
                    return;
                }
                // The answer came whole: the part is checked on the writing thread once its
                // last chunks are written, while the next part is fetched. The check holds no
                // reference that could end the download's state on that thread.
                shared->flush(*fetch);
                {
                    std::lock_guard lock(shared->mutex);
                    ++shared->checking;
                }
                Shared* state = shared.get();
                shared->writer->after([state, fetch, index, hash, response = op->response()] {
                    if (ErrorPtr failure = state->settle(*fetch, index, hash, nullptr, &response)) {
                        state->window->fail(failure);
                    }
                    std::lock_guard lock(state->mutex);
                    --state->checking;
                    state->settled.notify_all();
                });
                shared->window->release();
            },
            [shared, fetch] {
                // The frame sends the request again: the part starts over at its offset.
                shared->restart(*fetch);
                return true;
            });
        window_->track(operation);
        if (!operation && !ended->load()) {
            window_->release(downloadError(4, "The region has no usable endpoint"));
        }
    };

    while (true) {
        std::optional<std::size_t> next;
        {
            std::lock_guard lock(shared->mutex);
            if (!shared->pending.empty()) {
                next = shared->pending.front();
                shared->pending.pop_front();
            }
        }
        if (next) {
            if (!window_->acquire()) {
                break;
            }
            fetchPart(*next);
            continue;
        }
        if (window_->wait()) {
            break;
        }
        std::unique_lock lock(shared->mutex);
        shared->settled.wait(lock,
                             [&] { return shared->checking == 0 || !shared->pending.empty(); });
        if (shared->pending.empty()) {
            break;
        }
    }
    {
        std::unique_lock lock(shared->mutex);
        shared->settled.wait(lock, [&] { return shared->checking == 0; });
    }
    result.error = window_->wait();
    shared->writer->drainAll();

    std::lock_guard lock(shared->mutex);
    if (result.error) {
        // Every part written and checked stays for the next run; bytes past the last of them
        // are cut.
        std::int64_t end = 0;
        for (const PartFile::Piece& piece : shared->done) {
            if (size) {
                result.keptBytes += piece.length;
                end = std::max(end, piece.offset + piece.length);
            }
        }
        if (result.keptBytes == 0 ||
            ::ftruncate(shared->file.get(), static_cast<off_t>(end)) != 0) {
            result.keptBytes = 0;
            shared->file.reset();
            part.discard();
        }
        return result;
    }
    result.size = std::max<std::int64_t>(shared->size, 0);
    std::vector<Sha256Digest> digests;
    digests.reserve(shared->chunks.size());
    for (const auto& digest : shared->chunks) {
        digests.push_back(digest.value_or(Sha256Digest{}));
    }
    const std::string whole = TreeHash::treeHash(digests);
    if (!describedHash.empty() && whole != describedHash) {
        shared->file.reset();
        part.discard();
        result.error = downloadError(2, "The tree hash of the downloaded data (" + whole +
                                            ") differs from the service's (" + describedHash +
                                            "); the download was discarded");
        return result;
    }
    if (!describedHash.empty() || shared->everyPartHashed) {
        result.treeHash = whole;
    }
    if (!shared->file.reset()) {
        result.error = FileHelpers::makeError(errno, "Cannot write", part.path());
        return result;
    }
    if ((result.error = part.finish())) {
        return result;
    }
    result.path = target_;
    return result;
}

}  // namespace quillon
