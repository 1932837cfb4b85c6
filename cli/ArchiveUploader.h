// ArchiveUploader: the upload command's face of ArchiveUpload, one file at a time.
// Threads: main thread, which ArchiveUpload::run() blocks; progress callbacks come from client
//   threads while it runs, and none after it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "transfers/ArchiveUpload.h"
#include "vaults/Vault.h"

namespace quillon::cli {

class CliContext;

// Sends one file to a vault as one archive with the preferences' part size and parts in flight
// (ArchiveUpload), printing what the upload has to say and failing the command, with a sentence
// for each way it can end, on any error.
class ArchiveUploader {
  public:
    static constexpr std::int64_t kMiB = ArchiveUpload::kMiB;

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
    static void validatePartSize(std::int64_t mebibytes) {
        ArchiveUpload::validatePartSize(mebibytes);
    }

    ArchiveUploader(CliContext& context, VaultPtr vault, std::int64_t partSizeMiB,
                    int maxConcurrent);

    Result upload(const std::string& path, const std::string& description,
                  const Progress& progress = {});

  private:
    CliContext& context_;
    VaultPtr vault_;
    std::int64_t partSizeMiB_;
    int maxConcurrent_;
};

}  // namespace quillon::cli
