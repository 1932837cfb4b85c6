// MultipartStore: the unfinished multipart uploads per region and vault, with their parts.
// Threads: any thread; a mutex guards the map, and get() and list() return copies.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/files/Sha256.h"
#include "sim/BlobPart.h"

namespace quillon::sim {

struct UploadedPart {
    uint64_t start = 0;
    std::string treeHash;
    std::shared_ptr<const BlobPart> bytes;
    std::vector<Sha256Digest> chunks;
};

struct MultipartUpload {
    std::string id;
    std::string description;
    std::string creationDate;
    uint64_t partSize = 0;
    std::map<uint64_t, UploadedPart> parts;  // by first byte
};

// Unfinished multipart uploads per region and vault, oldest first.
class MultipartStore {
  public:
    void add(const std::string& region, const std::string& vault, MultipartUpload upload);
    // False when there is no such upload.
    bool putPart(const std::string& region, const std::string& vault, const std::string& id,
                 UploadedPart part);
    std::optional<MultipartUpload> get(const std::string& region, const std::string& vault,
                                       const std::string& id) const;
    std::vector<MultipartUpload> list(const std::string& region, const std::string& vault) const;
    bool remove(const std::string& region, const std::string& vault, const std::string& id);
    void removeVault(const std::string& region, const std::string& vault);

  private:
    static std::string key(const std::string& region, const std::string& vault) {
        return region + "\n" + vault;
    }

    mutable std::mutex mutex_;
    std::map<std::string, std::vector<MultipartUpload>> uploads_;
};

}  // namespace quillon::sim
