// VaultVerify: local files against a vault's latest imported inventory, without retrieval.
// Threads: run() blocks its caller; the callback runs on the caller's thread. Hashing goes
//   through the shared FileHasher, whose cache is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/Error.h"

namespace quillon {

class Vault;
using VaultPtr = std::shared_ptr<Vault>;

// Compares the regular files below a local directory with the archives of the vault's latest
// imported inventory below a folder, by path, size and tree hash (from the hash cache when a
// file is unchanged; a file is hashed only when an archive of its path has its size). Nothing
// is retrieved. Both sides are streamed: the directory walk looks each file up by its path,
// then the inventory's archives below the folder are walked in pages and looked for on disk,
// so memory stays small at any size. Symbolic links and folder archives are not compared.
// Where several archives share a path, the file is the same when any of them matches.
class VaultVerify {
  public:
    enum class Verdict {
        Same,     // in both, same size and tree hash
        Changed,  // in both, different
        Missing,  // a local file the vault lacks
        Extra,    // in the vault, not a local file
    };
    struct Report {
        std::int64_t same = 0;
        std::int64_t changed = 0;
        std::int64_t missing = 0;
        std::int64_t extra = 0;
        bool differences() const { return changed + missing + extra > 0; }
    };

    // `folder`: the vault path that `directory` stands for ("" for the top).
    VaultVerify(VaultPtr vault, std::string directory, std::string folder);

    // Each path (relative to the directory and folder) with its verdict, as it is found.
    std::function<void(Verdict, const std::string& path)> onResult;
    // A file that could not be hashed; it counts as changed.
    std::function<void(const std::string& path, const ErrorPtr&)> onUnreadable;

    // An error when there is no imported inventory or the directory cannot be walked.
    ErrorPtr run(Report& report);

  private:
    void result(Report& report, Verdict verdict, const std::string& path);

    VaultPtr vault_;
    std::string directory_;
    std::string prefix_;  // the folder followed by "/", or ""
};

}  // namespace quillon
