// Archive: one entry of a vault's local archive journal.
// Threads: one owner per entry; append() runs in the vault's database queue and under the
//   vault's writer lock; the upload-done notice is posted on the calling thread, or on the
//   journal's thread when appendThen() had to wait for the lock there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/db/Database.h"

namespace quillon {

class FileLock;
class Vault;

// Posted on the default notification centre, on the thread that saw the service confirm the
// upload, with the journalled archive (a std::shared_ptr<Archive>) as the object.
inline constexpr const char* NVArchiveUploadDoneNotification = "NVArchiveUploadDoneNotification";

// One entry of a vault's local archive journal: an archive added or deleted on the service,
// kept until an inventory of the service shows the change. Dates are seconds since 1970.
class Archive : public std::enable_shared_from_this<Archive> {
  public:
    // Unconfirmed: an archive that may exist. The row is written before the request that
    // stores it and removed once its answer tells; it stays when the answer was lost or the
    // process died. `archiveID` holds the multipart upload id, or nothing for a single
    // request. It is never applied to an inventory.
    enum class Action { Add, Delete, Unconfirmed };
    static const char* rawValue(Action action);
    // None for any text but "add", "delete" and "unconfirmed".
    static std::optional<Action> actionFromRawValue(std::string_view text);

    explicit Archive(std::shared_ptr<Vault> vault);

    std::shared_ptr<Vault> vault;
    std::string archiveID;
    std::string archiveDescription;
    double creationDate;  // now, at construction
    std::int64_t size = 0;
    std::string treeHash;
    Action action = Action::Add;
    std::int64_t rowId = 0;  // the journal row, once read or written

    // Writes the entry through the vault's database queue, under the vault's writer lock
    // (waiting for it); false when the row could not be stored (it is looked for afterwards, so
    // a failed commit counts too).
    bool append();
    // Writes several entries of one vault in one transaction, under one hold of the writer
    // lock: for a batch of deletions confirmed together. False (nothing written) when a row
    // could not be stored.
    // With `pruneFolders` false the emptied folders stay listed until the caller prunes them.
    static bool appendAll(Vault& vault, const std::vector<std::shared_ptr<Archive>>& entries,
                          bool pruneFolders = true);
    // append(), tried again once when it fails, then `next` with whether the row was stored: at
    // once on this thread when the writer lock is free; otherwise the wait for the lock, the
    // write and `next` happen on the journal's own thread (BackgroundQueue::journal()), so that
    // a client worker never waits for another process's import.
    void appendThen(std::function<void(bool recorded)> next);
    // Inserts the row on an open handle, then applies the entry to the vault's latest inventory
    // (a placeholder one is made when the vault has none); false when the insert failed.
    bool appendToDB(Database& db);
    // For an archive the service confirmed: append(), tried again once when it fails, the
    // vault log's "Archive added" line and NVArchiveUploadDoneNotification. When the entry
    // still cannot be written, an error (Frostvale, kNotRecordedCode) naming the archive id as
    // stored but not recorded, so that the caller can say so and a later run can reconcile.
    ErrorPtr appendAdded();
    // appendAdded() through appendThen(), then `next` with its error.
    void appendAddedThen(std::function<void(ErrorPtr unrecorded)> next);

    static constexpr std::int64_t kNotRecordedCode = 3;

    // The journal's record of a store in flight (an Unconfirmed entry), without the writer
    // lock since no inventory is touched: written before the request that may store the
    // archive (false when it could not be), removed once the answer says what happened, or
    // kept, dated now, when the answer was lost: the store may have happened until then.
    bool recordPending();
    void dropPending();
    void keepPending();

    // The description under which a path is uploaded: outer white space and line breaks
    // trimmed, then every byte of a character outside printable ASCII written as "%XX"
    // (upper-case hex). Blanks and "%" inside stay as they are, so "a%41" is kept verbatim
    // (and decodes to "aA"). None when the text is not valid UTF-8.
    static std::optional<std::string> encodeArchiveDescription(std::string_view text);
    // What to tell the user about a name encodeArchiveDescription refuses (localised).
    static std::string unencodableNameMessage();

  private:
    // The journal row alone; false when the insert failed.
    bool insertRowToDB(Database& db);
    bool appendHolding(const FileLock& writer);
    // The vault log's line and the notice; the error of appendAdded() when not `recorded`.
    ErrorPtr noteAdded(bool recorded);
};

using ArchivePtr = std::shared_ptr<Archive>;

}  // namespace quillon
