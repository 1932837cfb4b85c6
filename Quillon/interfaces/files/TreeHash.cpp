// TreeHash: the file reads, the parallel chunk hashing and the tree combination. Threads: as
// in TreeHash.h; workers share only atomics and their own slots of the digest list.
#include "interfaces/files/TreeHash.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "interfaces/files/FileDescriptor.h"
#include "interfaces/files/Sha256.h"

namespace quillon {

namespace {

constexpr std::size_t kChunk = static_cast<std::size_t>(TreeHash::kChunkSize);

void setError(ErrorPtr* error, ErrorPtr value) {
    if (error != nullptr) {
        *error = std::move(value);
    }
}

std::size_t chunkCount(std::size_t bytes) {
    return (bytes + kChunk - 1) / kChunk;
}

// Hashes the chunks of one block into digests[base...], spread over `workers` threads.
// Returns false when a worker failed.
bool hashChunks(const std::uint8_t* data, std::size_t size, std::vector<Sha256Digest>& digests,
                std::size_t base, unsigned workers, const std::function<void()>& alongside) {
    const std::size_t count = chunkCount(size);
    digests.resize(base + count);
    std::atomic<bool> failed{false};
    auto hashStride = [&, data, size, count, base](std::size_t first, std::size_t step) {
        try {
            for (std::size_t i = first; i < count; i += step) {
                const std::size_t begin = i * kChunk;
                digests[base + i] = Sha256::digest(data + begin, std::min(kChunk, size - begin));
            }
        } catch (...) {
            failed = true;
        }
    };
    const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(workers, count));
    if (threads <= 1) {
        alongside();
        hashStride(0, 1);
        return !failed;
    }
    {
        std::vector<std::jthread> pool;
        pool.reserve(threads);
        for (unsigned w = 0; w < threads; ++w) {
            pool.emplace_back(hashStride, w, threads);
        }
        alongside();
    }
    return !failed;
}

// The chunk digests alone need no sequential pass: every worker (the calling thread is one)
// takes the next chunk, reads it with its own pread and hashes it, so the copy out of the page
// cache is spread over the cores as well. A chunk read short (the file shrank) ends the list
// there. Progress is reported from the calling thread.
std::optional<std::vector<Sha256Digest>> hashChunksInParallel(const FileDescriptor& fd,
                                                              std::int64_t offset,
                                                              std::int64_t total, unsigned threads,
                                                              const TreeHash::Progress& progress,
                                                              int* readError) {
    const std::size_t count = chunkCount(static_cast<std::size_t>(total));
    std::vector<Sha256Digest> digests(count);
    std::atomic<std::size_t> nextChunk{0};
    std::atomic<std::size_t> finished{0};
    std::atomic<std::size_t> endChunk{count};  // first chunk not in the result
    std::atomic<int> error{0};
    std::atomic<bool> stop{false};
    int lastPercent = -1;

    auto work = [&](bool reportProgress) {
        std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kChunk]);
        Sha256 sha;
        for (;;) {
            if (stop) {
                return;
            }
            const std::size_t i = nextChunk.fetch_add(1);
            if (i >= endChunk) {
                return;
            }
            const std::int64_t begin = static_cast<std::int64_t>(i * kChunk);
            const auto want =
                static_cast<std::size_t>(std::min<std::int64_t>(kChunk, total - begin));
            const std::int64_t got = fd.readFullyAt(buffer.get(), want, offset + begin);
            if (got < 0) {
                error = errno;
                stop = true;
                return;
            }
            if (static_cast<std::size_t>(got) < want) {
                // Keep the smallest cut if several workers see the file end early.
                std::size_t end = endChunk;
                const std::size_t cut = got == 0 ? i : i + 1;
                while (cut < end && !endChunk.compare_exchange_weak(end, cut)) {
                }
            }
            if (got > 0) {
                sha.update(buffer.get(), static_cast<std::size_t>(got));
                digests[i] = sha.finish();
            }
            const std::size_t done = ++finished;
            if (reportProgress && progress) {
                const int percent =
                    static_cast<int>(std::min<std::size_t>(100, done * 100 / count));
                lastPercent = percent;
                if (!progress(percent)) {
                    stop = true;
                    return;
                }
            }
        }
    };
    {
        std::vector<std::jthread> pool;
        for (unsigned w = 1; w < threads; ++w) {
            pool.emplace_back(work, false);
        }
        work(true);
    }
    if (error != 0) {
        *readError = error;
        return std::nullopt;
    }
    if (stop) {
        return std::nullopt;
    }
    digests.resize(endChunk);
    if (progress && lastPercent != 100 && !progress(100)) {
        return std::nullopt;
    }
    return digests;
}

// One sequential pass over a file window: optionally the linear digest, optionally the chunk
// digests. None when the file cannot be read (error set) or when progress said stop (error
// untouched).
std::optional<TreeHash::FileDigests> hashWindow(const std::string& path,
                                                const TreeHash::Options& options, bool wantLinear,
                                                bool wantChunks, ErrorPtr* error) {
    auto fail = [&](int err) -> std::optional<TreeHash::FileDigests> {
        setError(error, FileHelpers::makeError(err, "Cannot read file", path));
        return std::nullopt;
    };
    if (options.offset < 0 || options.length < -1) {
        return fail(EINVAL);
    }
    FileDescriptor fd = FileDescriptor::open(path, O_RDONLY);
    if (!fd) {
        return fail(errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return fail(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return fail(EISDIR);
    }
    const std::int64_t available = std::max<std::int64_t>(0, st.st_size - options.offset);
    const std::int64_t total =
        options.length < 0 ? available : std::min<std::int64_t>(options.length, available);
    std::int64_t remaining =
        options.length < 0 ? std::numeric_limits<std::int64_t>::max() : options.length;
    std::int64_t position = options.offset;
    ::posix_fadvise(fd.get(), options.offset, options.length < 0 ? 0 : options.length,
                    POSIX_FADV_SEQUENTIAL);

    const std::size_t expectedChunks =
        std::max<std::size_t>(1, chunkCount(static_cast<std::size_t>(total)));
    unsigned threads =
        options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    if (!wantChunks || expectedChunks < 2) {
        threads = 1;
    }
    if (wantChunks && !wantLinear && threads > 1) {
        int readError = 0;
        auto chunks =
            hashChunksInParallel(fd, options.offset, total, threads, options.progress, &readError);
        if (!chunks) {
            return readError != 0 ? fail(readError) : std::nullopt;
        }
        TreeHash::FileDigests result;
        result.chunks = std::move(*chunks);
        if (result.chunks.empty()) {
            result.chunks.push_back(Sha256::digest("", 0));
        }
        return result;
    }
    const std::size_t perBatch =
        threads == 1 ? 4 : std::clamp<std::size_t>(std::size_t{threads} * 4, 4, 64);
    const std::size_t batchBytes = std::min(perBatch, expectedChunks) * kChunk;
    std::unique_ptr<std::uint8_t[]> buffers[2];
    buffers[0].reset(new std::uint8_t[batchBytes]);
    if (threads > 1) {
        buffers[1].reset(new std::uint8_t[batchBytes]);
    }

    struct Block {
        std::int64_t size = 0;
        int err = 0;
        bool last = false;
    };
    auto readBlock = [&](std::uint8_t* into) {
        Block block;
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(batchBytes), remaining));
        block.size = want == 0 ? 0 : fd.readFullyAt(into, want, position);
        if (block.size < 0) {
            block.err = errno;
            return block;
        }
        position += block.size;
        remaining -= block.size;
        block.last = static_cast<std::size_t>(block.size) < want || remaining == 0;
        return block;
    };

    Sha256 linear;
    TreeHash::FileDigests result;
    std::int64_t done = 0;
    int current = 0;
    Block block = readBlock(buffers[0].get());
    for (;;) {
        if (block.err != 0) {
            return fail(block.err);
        }
        const std::uint8_t* data = buffers[current].get();
        const auto size = static_cast<std::size_t>(block.size);
        Block next;
        // The linear digest and the read of the next block run while the workers hash.
        auto alongside = [&] {
            if (wantLinear) {
                linear.update(data, size);
            }
            if (!block.last && threads > 1) {
                next = readBlock(buffers[1 - current].get());
            }
        };
        if (wantChunks) {
            if (!hashChunks(data, size, result.chunks, result.chunks.size(), threads, alongside)) {
                return fail(EIO);
            }
        } else {
            alongside();
        }
        done += block.size;
        if (options.progress) {
            const int percent =
                total > 0 ? static_cast<int>(std::min<std::int64_t>(100, done * 100 / total)) : 100;
            if (!options.progress(percent)) {
                return std::nullopt;
            }
        }
        if (block.last) {
            break;
        }
        if (threads > 1) {
            current = 1 - current;
            block = next;
        } else {
            block = readBlock(buffers[0].get());
        }
    }
    if (wantChunks && result.chunks.empty()) {
        result.chunks.push_back(Sha256::digest("", 0));
    }
    if (wantLinear) {
        result.sha256 = Sha256::hex(linear.finish());
    }
    return result;
}

}  // namespace

std::string TreeHash::sha256Hex(std::string_view bytes) {
    return Sha256::hex(Sha256::digest(bytes));
}

std::string TreeHash::sha256Hex(const Bytes& bytes) {
    return Sha256::hex(Sha256::digest(bytes.data(), bytes.size()));
}

std::optional<std::string> TreeHash::sha256OfFile(const std::string& path, ErrorPtr* error) {
    return sha256OfFile(path, Options{}, error);
}

std::optional<std::string> TreeHash::sha256OfFile(const std::string& path, const Options& options,
                                                  ErrorPtr* error) {
    auto digests = hashWindow(path, options, true, false, error);
    if (!digests) {
        return std::nullopt;
    }
    return std::move(digests->sha256);
}

std::vector<Sha256Digest> TreeHash::chunkHashes(const std::string& path, const Progress& progress,
                                                ErrorPtr* error) {
    Options options;
    options.progress = progress;
    return chunkHashes(path, options, error);
}

std::vector<Sha256Digest> TreeHash::chunkHashes(const std::string& path, const Options& options,
                                                ErrorPtr* error) {
    auto digests = hashWindow(path, options, false, true, error);
    if (!digests) {
        return {};
    }
    return std::move(digests->chunks);
}

std::vector<Sha256Digest> TreeHash::chunkHashesSingleThreaded(const std::string& path,
                                                              const Progress& progress,
                                                              ErrorPtr* error) {
    Options options;
    options.threads = 1;
    options.progress = progress;
    return chunkHashes(path, options, error);
}

void TreeHash::ChunkStream::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const std::size_t take = std::min(size, kChunk - inChunk_);
        chunk_.update(bytes, take);
        inChunk_ += take;
        bytes += take;
        size -= take;
        if (inChunk_ == kChunk) {
            digests_.push_back(chunk_.finish());
            inChunk_ = 0;
        }
    }
}

std::vector<Sha256Digest> TreeHash::ChunkStream::finish() {
    if (inChunk_ > 0 || digests_.empty()) {
        digests_.push_back(chunk_.finish());
        inChunk_ = 0;
    }
    return std::exchange(digests_, {});
}

std::vector<Sha256Digest> TreeHash::chunkHashesOfBuffer(std::string_view bytes) {
    std::vector<Sha256Digest> digests;
    for (std::size_t begin = 0; begin < bytes.size(); begin += kChunk) {
        digests.push_back(Sha256::digest(bytes.substr(begin, kChunk)));
    }
    if (digests.empty()) {
        digests.push_back(Sha256::digest("", 0));
    }
    return digests;
}

std::optional<TreeHash::FileDigests> TreeHash::hashFile(const std::string& path,
                                                        const Options& options, ErrorPtr* error) {
    return hashWindow(path, options, true, true, error);
}

std::optional<Sha256Digest> TreeHash::treeHashDigest(std::vector<Sha256Digest> level) {
    if (level.empty()) {
        return std::nullopt;
    }
    Sha256 pair;
    while (level.size() > 1) {
        std::size_t out = 0;
        for (std::size_t i = 0; i < level.size(); i += 2) {
            if (i + 1 < level.size()) {
                pair.update(level[i].data(), level[i].size());
                pair.update(level[i + 1].data(), level[i + 1].size());
                level[out++] = pair.finish();
            } else {
                level[out++] = level[i];  // an odd one out moves up unchanged
            }
        }
        level.resize(out);
    }
    return level.front();
}

std::string TreeHash::treeHash(const std::vector<Sha256Digest>& chunkDigests) {
    const auto root = treeHashDigest(chunkDigests);
    return root ? Sha256::hex(*root) : std::string();
}

std::optional<std::string> TreeHash::treeHashOfFile(const std::string& path,
                                                    const Progress& progress, ErrorPtr* error) {
    const auto chunks = chunkHashes(path, progress, error);
    if (chunks.empty()) {
        return std::nullopt;
    }
    return treeHash(chunks);
}

std::string TreeHash::treeHashOfBuffer(std::string_view bytes) {
    return treeHash(chunkHashesOfBuffer(bytes));
}

}  // namespace quillon
