// BlobPart: archive bytes in memory or in a file. Threads: as in BlobPart.h.
#include "sim/BlobPart.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/BlobMemory.h"

namespace quillon::sim {

namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

BlobPart::BlobPart(std::string bytes, std::vector<BlobMemory::Block> blocks, std::string path,
                   uint64_t size)
    : bytes_(std::move(bytes)), blocks_(std::move(blocks)), path_(std::move(path)), size_(size) {}

std::shared_ptr<const BlobPart> BlobPart::inMemory(std::string bytes) {
    uint64_t size = bytes.size();
    return std::shared_ptr<const BlobPart>(new BlobPart(std::move(bytes), {}, {}, size));
}

std::shared_ptr<const BlobPart> BlobPart::inBlocks(std::vector<BlobMemory::Block> blocks,
                                                   uint64_t size) {
    return std::shared_ptr<const BlobPart>(new BlobPart({}, std::move(blocks), {}, size));
}

std::shared_ptr<const BlobPart> BlobPart::inFile(std::string path, uint64_t size) {
    return std::shared_ptr<const BlobPart>(new BlobPart({}, {}, std::move(path), size));
}

BlobPart::~BlobPart() {
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
    BlobMemory::shared().give(blocks_);
}

bool BlobPart::read(uint64_t offset, uint64_t length, const ByteSink& sink) const {
    if (offset > size_ || length > size_ - offset) {
        return false;
    }
    if (!blocks_.empty()) {
        while (length > 0) {
            const auto& block = blocks_[static_cast<size_t>(offset / BlobMemory::kBlockSize)];
            const uint64_t within = offset % BlobMemory::kBlockSize;
            const uint64_t take = std::min(length, BlobMemory::kBlockSize - within);
            if (!sink(block.get() + within, static_cast<size_t>(take))) {
                return false;
            }
            offset += take;
            length -= take;
        }
        return true;
    }
    if (path_.empty()) {
        constexpr uint64_t kPiece = 1 << 20;
        while (length > 0) {
            uint64_t take = std::min(length, kPiece);
            if (!sink(bytes_.data() + offset, static_cast<size_t>(take))) {
                return false;
            }
            offset += take;
            length -= take;
        }
        return true;
    }
    FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return false;
    }
    std::vector<char> buffer(std::min<uint64_t>(std::max<uint64_t>(length, 1), 1 << 20));
    while (length > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
        ssize_t got = ::pread(file.get(), buffer.data(), want, static_cast<off_t>(offset));
        if (got <= 0) {
            return false;
        }
        if (!sink(buffer.data(), static_cast<size_t>(got))) {
            return false;
        }
        offset += static_cast<uint64_t>(got);
        length -= static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace quillon::sim
