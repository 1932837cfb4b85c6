// Archives: one vault's archive journal, single-request uploads, deletions and folders.
// Threads: the caller's thread; completions arrive on the client's worker threads (several at
//   once with concurrent uploads). Journal access goes through the vault's database queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"
#include "transfers/Archive.h"

namespace quillon {

class InventoryItem;
class Vault;

// The archive side of one vault: its local journal, single-request uploads, deletions and
// folder archives. Owned by the vault.
class Archives {
  public:
    using UploadDone =
        std::function<void(const std::string& archiveID, const std::string& treeHash, ErrorPtr)>;
    using DeleteDone = std::function<void(std::shared_ptr<InventoryItem>, ErrorPtr)>;
    using Completion = std::function<void(ErrorPtr)>;

    explicit Archives(Vault& vault) : vault_(vault) {}

    Vault& vault() const { return vault_; }

    // The vault's journal entries, through the vault's database queue.
    std::vector<ArchivePtr> all();
    // The vault's journal entries on an open handle, in row order.
    std::vector<ArchivePtr> journalFromDB(Database& db);
    // Entries created strictly after `after` (seconds since 1970; the fraction is cut off),
    // through the vault's database queue or on an open handle.
    std::vector<ArchivePtr> archivesAfter(double after);
    std::vector<ArchivePtr> archivesAfterFromDB(Database& db, double after);
    ArchivePtr getFromDB(Database& db, std::int64_t rowID);
    // The stores in flight or unanswered (Unconfirmed rows) under one description, as the
    // journal holds them now.
    std::vector<ArchivePtr> unconfirmed(const std::string& description);
    ArchivePtr get(std::int64_t rowID);
    // Deletes every journal entry of the vault.
    void clear();

    // Uploads a file as one archive in a single request: the body is streamed from the file and
    // signed with its SHA-256; the service's tree hash must equal the local one. On success the
    // archive is journalled and NVArchiveUploadDoneNotification is posted. A tree-hash mismatch
    // is an error (Frostvale, 1) that journals nothing but still hands over the service's archive
    // id and tree hash. `description` is sent as given (see Archive::encodeArchiveDescription).
    // Returns none, after `done`, when the file cannot be read or the request cannot be signed;
    // none without `done` when the region has no endpoint.
    // An answer whose head names the archive (201 with "x-amz-archive-id") counts as stored even
    // when the connection broke after it. A journal entry that cannot be written (after a retry)
    // is an error with the archive id handed over (Archive::appendAdded).
    RequestOperation::Ptr apiUpload(const std::string& path,
                                    const std::optional<std::string>& description,
                                    RequestOperation::ProgressBlock progress, UploadDone done);
    // The same for bytes already in memory whose hashes the caller computed as it read them:
    // the body is sent as it is, never read from the file again.
    RequestOperation::Ptr apiUploadBody(const SharedBody& body, const std::string& treeHash,
                                        const std::string& sha256,
                                        const std::optional<std::string>& description,
                                        RequestOperation::ProgressBlock progress, UploadDone done);
    // Deletes an archive and journals the deletion; `done` receives the latest inventory's item
    // of that archive when there is one.
    RequestOperation::Ptr apiDelete(const std::string& archiveID, DeleteDone done);
    // Uploads a one-byte archive "0" described by the folder path (`name` + "/"). With `silent`
    // an existing folder or an unencodable name ends the call without `done`.
    RequestOperation::Ptr apiCreateFolder(const std::string& name, bool silent, bool skipValidation,
                                          bool skipEncodeArchiveDesc, Completion done);

    // The three console lines of a tree hash the service answered differently.
    static void logTreeHashMismatch(const std::string& received, const std::string& computed);
    // The error (domain "Frostvale", code 1) of an upload whose tree hash, as the service
    // computed it, is not the one sent: a sentence naming both, for `what` ("the archive",
    // "the part at byte N").
    static ErrorPtr treeHashMismatchError(const std::string& what, const std::string& received,
                                          const std::string& computed);

  private:
    RequestOperation::Ptr send(const std::function<void(URLRequest&)>& setBody, std::int64_t size,
                               const std::string& treeHash, const std::string& sha256,
                               const std::optional<std::string>& description,
                               RequestOperation::ProgressBlock progress, UploadDone done);
    std::vector<ArchivePtr> listFromDB(Database& db, const std::string& sql, SqlArgs args);

    Vault& vault_;
};

}  // namespace quillon
