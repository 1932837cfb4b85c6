// BlobWriter: a request body hashed and kept. Threads: as in BlobWriter.h.
#include "sim/BlobWriter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quillon::sim {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

// Asks for the whole 2 MiB pages inside a fresh buffer to be backed by huge pages: each first
// touch of a page is a fault, and a virtual machine's faults are dear (a large body would
// spend more time faulting its buffer in than being received).
void adviseHugePages(char* data, uint64_t length) {
    const uintptr_t misalignment = reinterpret_cast<uintptr_t>(data) % kHugePage;
    const uint64_t skip = misalignment == 0 ? 0 : kHugePage - misalignment;
    if (length > skip && length - skip >= kHugePage) {
        ::madvise(data + skip, (length - skip) / kHugePage * kHugePage, MADV_HUGEPAGE);
    }
}

}  // namespace

BlobWriter::BlobWriter(const std::string& dataDir, uint64_t expectedSize) {
    if (dataDir.empty()) {
        // Reserve up front so a large body is never copied while it grows.
        bytes_.reserve(static_cast<size_t>(expectedSize));
        adviseHugePages(bytes_.data(), expectedSize);
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
}

bool BlobWriter::write(const char* data, size_t length) {
    content_.update(data, length);
    tree_.update(data, length);
    size_ += length;
    if (fd_ < 0) {
        if (!failed_) {
            bytes_.append(data, length);
        }
        return !failed_;
    }
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
    result.contentHash = Sha256::hex(content_.finish());
    result.chunks = tree_.finish();
    result.treeHash = TreeHash::treeHash(result.chunks);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        result.part = BlobPart::inFile(std::move(path_), size_);
        path_.clear();
    } else {
        result.part = BlobPart::inMemory(std::move(bytes_));
    }
    return result;
}

}  // namespace quillon::sim
