// FileHash: one file's record in the hash cache. Threads: not thread-safe; one owner per
//   record. save() goes through the shared hasher, whose database queue serialises it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/FileHelpers.h"

namespace quillon {

// One file's record in the hash cache: the tree hash and the stamp (size, modification and
// status-change times to the nanosecond, inode and device) the file had when it was hashed.
// Records are keyed on the file's canonical absolute path, so one typed path in two working
// directories names two records, and a link and its target share one.
class FileHash {
  public:
    explicit FileHash(std::string path);

    // The path as given, for display.
    const std::string& path() const { return path_; }
    // The canonical absolute path: the cache key.
    const std::string& key() const { return key_; }
    // The last component of the key.
    std::string name() const;

    std::optional<FileStamp> cachedStamp;
    // The size in the stamp, 0 without one.
    std::int64_t cachedSize = 0;
    std::optional<std::string> treeHash;

    // Whether the cached values no longer describe the file: no stamp, a file that cannot be
    // examined, any difference in the stamp, or no hash.
    bool needRehash() const;
    // Stores the record in the shared hasher's cache, replacing the one of the same file.
    void save();

  private:
    std::string path_;
    std::string key_;
};

using FileHashPtr = std::shared_ptr<FileHash>;

}  // namespace quillon
