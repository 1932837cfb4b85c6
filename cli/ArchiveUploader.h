// ArchiveUploader: one file sent to a vault as one archive, whole or in resumable parts.
// Threads: main thread, which it blocks while pumping the main queue; progress callbacks come
//   from client threads, and the parts in flight share one mutex-guarded tracker.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "vaults/Vault.h"

namespace quillon::cli {

class CliContext;

// Sends one file to a vault as one archive: in a single request when it fits in one part,
// otherwise as a multipart upload with several parts in flight. An unfinished multipart upload
// of the same description is resumed with its own part size: only parts the service lacks, or holds
// with another tree hash, are sent again. Fails the command on any error.
class ArchiveUploader {
  public:
    static constexpr std::int64_t kMiB = 1048576;
    static constexpr std::int64_t kMaxParts = 10000;
    static constexpr std::int64_t kMaxPartSizeMiB = 4096;

    // What an upload tells while it runs, from any thread; an empty function hears nothing.
    struct Progress {
        std::function<void(int percent)> hashing;      // the whole file is being hashed
        std::function<void(std::int64_t bytes)> sent;  // bytes of the file sent in this run
        std::function<void(std::int64_t bytes)> held;  // bytes of a resumed upload the service
                                                       // holds already (never sent again)
    };

    struct Result {
        std::string archiveId;
        std::string treeHash;
        std::int64_t size = 0;
    };

    // Throws ModelError::invalidPartSize unless `mebibytes` is a power of two from 1 to 4096.
    static void validatePartSize(std::int64_t mebibytes);
    // The part size in bytes for a file: the preferred size, or the smallest power of two of
    // MiB that keeps the file within 10,000 parts (`raised` tells which). Throws
    // invalidPartSize when even 4096 MiB parts are too small.
    static std::int64_t partSizeFor(std::int64_t fileSize, std::int64_t preferredMiB,
                                    bool* raised = nullptr);

    ArchiveUploader(CliContext& context, VaultPtr vault, std::int64_t partSizeMiB,
                    int maxConcurrent);

    Result upload(const std::string& path, const std::string& description,
                  const Progress& progress = {});

  private:
    Result uploadSingle(const std::string& path, const std::string& description,
                        const std::string& treeHash, std::int64_t size, const Progress& progress);
    Result uploadMultipart(const std::string& path, const std::string& description,
                           const std::string& treeHash, std::int64_t size,
                           const Progress& progress);

    CliContext& context_;
    VaultPtr vault_;
    std::int64_t partSizeMiB_;
    int maxConcurrent_;
};

}  // namespace quillon::cli
