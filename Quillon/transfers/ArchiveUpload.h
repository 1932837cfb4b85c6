// ArchiveUpload: one file sent to a vault as one archive, each byte read once.
//
// Sends one file as one archive: in a single request when it fits in one part, else as a
// multipart upload with up to `concurrency` parts in flight (PartWindow). Each part is read
// once into memory, hashed as it is read (its SHA-256 and its 1 MiB chunk digests) and sent from
// there, so the first part is on the wire as soon as it is read, whatever the file's size. The
// whole file's tree hash is combined from the parts' chunk digests and checked, before the
// upload is completed, against the hash cache's record of the file when there is one; the cache
// learns it otherwise. A file that changes while it is read is not completed.
//
// An unfinished multipart upload with the same description is resumed with its own part size:
// the parts the service holds with the same tree hash are not sent again. Parts too large to
// hold in memory with the others in flight (more than kMemoryBudget together) are hashed from
// the file, then streamed from it: those bytes are read twice.
//
// An answer that names the archive counts even when the connection broke after it. Before the
// request that stores the archive (the single request, or the completion) the journal records
// the store as in flight (Archive::recordPending), and the answer settles it. When the answer is
// lost after the whole request went out, or the process dies, the archive may exist: the row
// stays as stored, unconfirmed (with the upload id of a multipart upload), and the result says
// so, so that no later run sends the file again before an inventory tells.
// Threads: run() blocks the calling thread, which reads and hashes the parts while earlier ones
//   are on the wire on the account's operation queue; cancel() from any thread; the progress
//   callbacks come from the client's worker threads, never with a lock of this object held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "vaults/Vault.h"

namespace quillon {

class Archive;
class PartWindow;

class ArchiveUpload {
  public:
    static constexpr std::int64_t kMiB = 1048576;
    static constexpr std::int64_t kMaxParts = 10000;
    static constexpr std::int64_t kMaxPartSizeMiB = 4096;
    // Bytes of parts held in memory at once (read, in flight) before parts are streamed.
    static constexpr std::int64_t kMemoryBudget = 1024 * kMiB;
    static constexpr const char* kErrorDomain = "ArchiveUpload";
    // Error codes of kErrorDomain.
    enum Code : std::int64_t {
        kFileChanged = 1,        // the file changed while it was read; nothing was stored
        kCachedHashDiffers = 2,  // the file is not what the hash cache says; nothing was stored
        kUnconfirmed = 3,        // the answer to the store was lost; the archive may be stored
        kNoEndpoint = 4,
    };

    struct Options {
        std::int64_t partSizeMiB = 16;  // the preferred part size (a power of two, 1 to 4096)
        int concurrency = 1;            // parts in flight at once
        // Sent as given (Archive::encodeArchiveDescription); also what a resume looks for.
        std::optional<std::string> description;
        // Bytes of the file sent in this run so far; any thread.
        std::function<void(std::int64_t bytes)> sent;
        // Bytes of a resumed upload the service holds already (never sent again); any thread.
        std::function<void(std::int64_t bytes)> held;
        // What the upload has to say as it starts (a resume, a raised part size); calling thread.
        std::function<void(const std::string& text)> note;
    };

    struct Result {
        // None on success. With an archive id: the archive was stored, but the service's tree
        // hash differs (Frostvale, 1) or it could not be recorded (Archive::kNotRecordedCode).
        ErrorPtr error;
        std::string archiveId;
        std::string treeHash;  // of the bytes read and sent
        std::int64_t size = 0;
        std::string uploadId;      // the multipart upload, when one was used
        bool unconfirmed = false;  // kUnconfirmed: recorded as stored, unconfirmed
    };

    ArchiveUpload(VaultPtr vault, std::string path, Options options);
    ~ArchiveUpload();
    ArchiveUpload(const ArchiveUpload&) = delete;
    ArchiveUpload& operator=(const ArchiveUpload&) = delete;

    // One run per object.
    Result run();
    // Ends the upload from any thread: parts in flight are cancelled and run() returns a
    // cancellation error; a multipart upload stays on the service to be resumed.
    void cancel();

    // Throws ModelError::invalidPartSize unless `mebibytes` is a power of two from 1 to 4096.
    static void validatePartSize(std::int64_t mebibytes);
    // The part size in bytes for a file: the preferred size, or the smallest power of two of
    // MiB that keeps the file within 10,000 parts (`raised` tells which). Throws
    // invalidPartSize when even 4096 MiB parts are too small.
    static std::int64_t partSizeFor(std::int64_t fileSize, std::int64_t preferredMiB,
                                    bool* raised = nullptr);

  private:
    struct Run;

    // The journal's record of the store about to be sent, and what its answer makes of it.
    std::shared_ptr<Archive> pendingStore(std::int64_t size, const std::string& treeHash,
                                          const std::string& uploadId) const;
    void settleStore(Archive& pending, Result& result, bool bodyWhole) const;

    VaultPtr vault_;
    std::string path_;
    Options options_;
    std::shared_ptr<PartWindow> window_;
};

}  // namespace quillon
