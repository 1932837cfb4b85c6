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
    enum class Action { Add, Delete };
    static const char* rawValue(Action action);
    // None for any text but "add" and "delete".
    static std::optional<Action> actionFromRawValue(std::string_view text);

    explicit Archive(std::shared_ptr<Vault> vault);

    std::shared_ptr<Vault> vault;
    std::string archiveID;
    std::string archiveDescription;
    double creationDate;  // now, at construction
    std::int64_t size = 0;
    std::string treeHash;
    Action action = Action::Add;

    // Writes the entry through the vault's database queue, under the vault's writer lock
    // (waiting for it).
    void append();
    // The same, then `next`: at once on this thread when the writer lock is free; otherwise the
    // wait for the lock, the write and `next` happen on the journal's own thread
    // (BackgroundQueue::journal()), so that a client worker never waits for another process's
    // import.
    void appendThen(std::function<void()> next);
    // Inserts the row on an open handle, then applies the entry to the vault's latest inventory
    // (a placeholder one is made when the vault has none). Failures are not reported.
    void appendToDB(Database& db);
    // For an archive the service confirmed: append(), the vault log's "Archive added" line and
    // NVArchiveUploadDoneNotification.
    void appendAdded();
    // appendThen() with what appendAdded() adds, then `next`.
    void appendAddedThen(std::function<void()> next);

    // The description under which a path is uploaded: outer white space and line breaks
    // trimmed, then every byte of a character outside printable ASCII written as "%XX"
    // (upper-case hex). Blanks and "%" inside stay as they are, so "a%41" is kept verbatim
    // (and decodes to "aA"). None when the text is not valid UTF-8.
    static std::optional<std::string> encodeArchiveDescription(std::string_view text);

  private:
    void appendHolding(const FileLock& writer);
    void noteAdded();
};

using ArchivePtr = std::shared_ptr<Archive>;

}  // namespace quillon
