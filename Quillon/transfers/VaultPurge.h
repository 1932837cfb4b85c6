// VaultPurge: deletes every archive the vault's latest imported inventory lists, resumably,
// then optionally the vault. Threads: run() blocks its caller, which must be the only user of
//   the vault meanwhile; deletions run on a request queue of its own, whose workers hand their
//   answers back under a mutex. Every callback runs on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.h"

namespace quillon {

class Vault;
using VaultPtr = std::shared_ptr<Vault>;

// One archive a purge deletes: its inventory row and what is shown of it.
struct PurgeArchive {
    std::int64_t rowID = 0;
    std::string archiveID;
    std::string description;
    std::string path;
    std::int64_t size = 0;
    std::int64_t createdAt = 0;
};

// What a purge covers and what it did, all runs of it together unless named otherwise.
struct PurgeReport {
    double inventoryDate = 0;
    // Archives of the inventory the purge covers (created before the cutoff, if any).
    std::int64_t archives = 0;
    std::int64_t bytes = 0;
    // Of those, how many are gone (deleted by the service's word, or found gone).
    std::int64_t deleted = 0;
    std::int64_t remaining = 0;
    // This run: deletions confirmed, of which answered "not found", throttling answers seen.
    std::int64_t deletedNow = 0;
    std::int64_t alreadyGone = 0;
    std::int64_t throttled = 0;
    // This run: archives that could not be deleted, and the first few reasons.
    std::int64_t failed = 0;
    std::vector<std::string> failures;
    // Archives uploaded after the inventory was taken, left alone.
    std::int64_t kept = 0;
    // A run that went on with a purge an earlier run had started.
    bool resumed = false;
    bool vaultDeleted = false;
    // Every archive is gone but the service refused to delete the vault yet.
    bool vaultPending = false;
};

// Empties a vault: deletes every archive its latest imported inventory lists (with
// `olderThanDays`, only those created before then), streaming the inventory's rows page by page
// so that memory stays small at any size. Each confirmed deletion (or "not found", which means
// gone) goes into the archive journal, which marks it deleted in the inventory at once; the
// checkpoint (PurgeCheckpoint) says how far it got, so a run killed at any point goes on without
// sending a deletion again that it had confirmed. Several deletions run at once in an
// AdaptiveWindow: throttling lowers it, with a pause, successes raise it again. Archives added
// after the inventory was taken (from the journal) are reported and left alone.
//
// With `deleteVault`, once no archive remains the vault is deleted; while the service refuses
// (its own last inventory still lists archives, or there were writes since), the vault is
// recorded as pending deletion and every later run tries again first. Deleting the vault removes
// its local data, the checkpoint included.
class VaultPurge {
  public:
    struct Options {
        std::optional<double> olderThanDays;
        bool deleteVault = false;
        // Counts and lists, deletes nothing, writes nothing.
        bool dryRun = false;
        int initialConcurrency = 16;
        int maxConcurrency = 48;
        // Attempts of a deletion that fails for a transient reason other than throttling; 0:
        // the process-wide retry policy's.
        int attempts = 0;
    };
    static constexpr int kReportedFailures = 10;
    // Throttling answers one archive may meet before it counts as failed.
    static constexpr int kMaxThrottled = 100;

    VaultPurge(VaultPtr vault, Options options);
    ~VaultPurge();
    VaultPurge(const VaultPurge&) = delete;
    VaultPurge& operator=(const VaultPurge&) = delete;

    // A dry run: each archive that would be deleted.
    std::function<void(const PurgeArchive&)> onPlanned;
    // Each archive added after the inventory was taken, left alone: its id and path.
    std::function<void(const std::string& archiveID, const std::string& path)> onKept;
    // After each batch of deletions is recorded.
    std::function<void(const PurgeReport&)> onProgress;

    // Runs the purge to its end. An error means it could not start or the vault could not be
    // deleted for another reason than the service's refusal; failed archives are in the report.
    ErrorPtr run(PurgeReport& report);

    // The file name of the lock that keeps two purges of one vault apart.
    static std::string lockPath(Vault& vault);

  private:
    class Deleter;

    ErrorPtr deleteVault(PurgeReport& report);

    VaultPtr vault_;
    Options options_;
};

}  // namespace quillon
