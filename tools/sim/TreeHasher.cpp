#include "sim/TreeHasher.h"

#include <algorithm>

namespace quillon::sim {

void TreeHasher::update(const char* data, size_t length) {
    while (length > 0) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(length, kMiB - inChunk_));
        chunk_.update(data, take);
        inChunk_ += take;
        data += take;
        length -= take;
        if (inChunk_ == kMiB) {
            digests_.push_back(chunk_.finish());
            inChunk_ = 0;
        }
    }
}

std::vector<Digest> TreeHasher::finish() {
    if (inChunk_ > 0) {
        digests_.push_back(chunk_.finish());
        inChunk_ = 0;
    }
    return std::move(digests_);
}

std::string TreeHasher::treeHash(const Digest* first, size_t count) {
    if (count == 0) {
        return Sha256::hex(Sha256::of(""));
    }
    std::vector<Digest> level(first, first + count);
    while (level.size() > 1) {
        std::vector<Digest> next;
        next.reserve((level.size() + 1) / 2);
        for (size_t i = 0; i < level.size(); i += 2) {
            if (i + 1 == level.size()) {
                next.push_back(level[i]);
                continue;
            }
            Sha256 pair;
            pair.update(level[i].data(), level[i].size());
            pair.update(level[i + 1].data(), level[i + 1].size());
            next.push_back(pair.finish());
        }
        level = std::move(next);
    }
    return Sha256::hex(level.front());
}

}  // namespace quillon::sim
