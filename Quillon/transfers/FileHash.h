#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quillon {

// One file's record in the hash cache: the tree hash and the size and modification time
// (whole seconds since 1970) the file had when it was hashed.
class FileHash {
  public:
    explicit FileHash(std::string path);

    const std::string& path() const { return path_; }
    // The last path component.
    std::string name() const;

    std::optional<std::int64_t> cachedMtime;
    std::int64_t cachedSize = 0;
    std::optional<std::string> treeHash;

    // Whether the cached values no longer describe the file: no cached time, a different
    // modification second or size, or no hash.
    bool needRehash() const;
    // Stores the record in the shared hasher's cache, replacing the one of the same file.
    void save();

  private:
    std::string path_;
};

using FileHashPtr = std::shared_ptr<FileHash>;

}  // namespace quillon
