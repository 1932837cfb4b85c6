// BlobWriter: a request body hashed and kept. Threads: as in BlobWriter.h.
#include "sim/BlobWriter.h"

#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "interfaces/files/PayloadHash.h"
#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"
#include "sim/BlobMemory.h"
#include "sim/BlobPart.h"

namespace quillon::sim {

BlobWriter::BlobWriter(const std::string& dataDir, uint64_t expectedSize) {
    if (dataDir.empty()) {
        blocks_.reserve(static_cast<size_t>((expectedSize + BlobMemory::kBlockSize - 1) /
                                            BlobMemory::kBlockSize));
        return;
    }
    std::string pattern = dataDir + "/blob-XXXXXX";
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) {
        failed_ = true;
        return;
    }
    path_ = pattern;
}

BlobWriter::~BlobWriter() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
    BlobMemory::shared().give(blocks_);
}

// Copies the bytes after the `size_` bytes already kept into the blocks, adding blocks as
// they fill.
void BlobWriter::append(const char* data, size_t length) {
    uint64_t at = size_;
    while (length > 0) {
        const uint64_t within = at % BlobMemory::kBlockSize;
        if (within == 0) {
            blocks_.push_back(BlobMemory::shared().take());
        }
        const size_t take =
            static_cast<size_t>(std::min<uint64_t>(length, BlobMemory::kBlockSize - within));
        std::memcpy(blocks_.back().get() + within, data, take);
        at += take;
        data += take;
        length -= take;
    }
}

bool BlobWriter::write(const char* data, size_t length) {
    hash_.update(data, length);
    if (fd_ < 0) {
        if (failed_) {
            return false;
        }
        append(data, length);
        size_ += length;
        return true;
    }
    size_ += length;
    while (length > 0) {
        ssize_t written = ::write(fd_, data, length);
        if (written <= 0) {
            failed_ = true;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

std::optional<BlobWriter::Result> BlobWriter::finish() {
    if (failed_) {
        return std::nullopt;
    }
    Result result;
    result.size = size_;
    PayloadHash::Digests digests = hash_.finish();
    result.contentHash = Sha256::hex(digests.linear);
    result.chunks = std::move(digests.chunks);
    result.treeHash = TreeHash::treeHash(result.chunks);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        result.part = BlobPart::inFile(std::move(path_), size_);
        path_.clear();
    } else {
        result.part = BlobPart::inBlocks(std::move(blocks_), size_);
    }
    return result;
}

}  // namespace quillon::sim
