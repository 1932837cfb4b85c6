// Blob: an archive's content and its range tree hashes. Threads: as in Blob.h.
#include "sim/Blob.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "interfaces/files/Sha256.h"
#include "interfaces/files/TreeHash.h"
#include "sim/BlobPart.h"

namespace quillon::sim {

Blob::Blob(std::vector<std::shared_ptr<const BlobPart>> parts, std::vector<Sha256Digest> chunks)
    : parts_(std::move(parts)), chunks_(std::move(chunks)) {
    for (const auto& part : parts_) {
        size_ += part->size();
    }
    treeHash_ = TreeHash::treeHash(chunks_);
}

bool Blob::read(uint64_t offset, uint64_t length, const ByteSink& sink) const {
    if (offset > size_ || length > size_ - offset) {
        return false;
    }
    uint64_t partStart = 0;
    for (const auto& part : parts_) {
        if (length == 0) {
            break;
        }
        uint64_t partEnd = partStart + part->size();
        if (offset < partEnd) {
            uint64_t inPart = offset - partStart;
            uint64_t take = std::min(length, part->size() - inPart);
            if (!part->read(inPart, take, sink)) {
                return false;
            }
            offset += take;
            length -= take;
        }
        partStart = partEnd;
    }
    return length == 0;
}

std::optional<std::string> Blob::rangeTreeHash(uint64_t offset, uint64_t length) const {
    if (offset == 0 && length == size_) {
        return treeHash_;
    }
    uint64_t end = offset + length;
    if (length == 0 || end > size_ || offset % kMiB != 0 || (end % kMiB != 0 && end != size_)) {
        return std::nullopt;
    }
    size_t first = static_cast<size_t>(offset / kMiB);
    size_t last = static_cast<size_t>((end - 1) / kMiB);
    return TreeHash::treeHash(
        std::vector<Sha256Digest>(chunks_.begin() + static_cast<std::ptrdiff_t>(first),
                                  chunks_.begin() + static_cast<std::ptrdiff_t>(last) + 1));
}

}  // namespace quillon::sim
