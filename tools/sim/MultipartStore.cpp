// MultipartStore: unfinished multipart uploads. Threads: as in MultipartStore.h.
#include "sim/MultipartStore.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon::sim {

void MultipartStore::add(const std::string& region, const std::string& vault,
                         MultipartUpload upload) {
    std::lock_guard lock(mutex_);
    uploads_[key(region, vault)].push_back(std::move(upload));
}

bool MultipartStore::putPart(const std::string& region, const std::string& vault,
                             const std::string& id, UploadedPart part) {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(key(region, vault));
    if (it == uploads_.end()) {
        return false;
    }
    for (auto& upload : it->second) {
        if (upload.id == id) {
            uint64_t start = part.start;
            upload.parts[start] = std::move(part);
            return true;
        }
    }
    return false;
}

std::optional<MultipartUpload> MultipartStore::get(const std::string& region,
                                                   const std::string& vault,
                                                   const std::string& id) const {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(key(region, vault));
    if (it != uploads_.end()) {
        for (const auto& upload : it->second) {
            if (upload.id == id) {
                return upload;
            }
        }
    }
    return std::nullopt;
}

std::vector<MultipartUpload> MultipartStore::list(const std::string& region,
                                                  const std::string& vault) const {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(key(region, vault));
    if (it == uploads_.end()) {
        return {};
    }
    std::vector<MultipartUpload> result;
    for (const auto& upload : it->second) {
        MultipartUpload summary = upload;
        summary.parts.clear();
        result.push_back(std::move(summary));
    }
    return result;
}

bool MultipartStore::remove(const std::string& region, const std::string& vault,
                            const std::string& id) {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(key(region, vault));
    if (it == uploads_.end()) {
        return false;
    }
    auto& list = it->second;
    auto found = std::find_if(list.begin(), list.end(),
                              [&](const MultipartUpload& upload) { return upload.id == id; });
    if (found == list.end()) {
        return false;
    }
    list.erase(found);
    return true;
}

void MultipartStore::removeVault(const std::string& region, const std::string& vault) {
    std::lock_guard lock(mutex_);
    uploads_.erase(key(region, vault));
}

}  // namespace quillon::sim
