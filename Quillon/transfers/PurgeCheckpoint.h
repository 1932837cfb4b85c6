// PurgeCheckpoint: where a vault purge stands, in "Purge.db" in the vault's directory.
// Threads: one owner (the purge that holds the vault's purge lock); its own database queue
//   serialises the file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "interfaces/db/Database.h"

namespace quillon {

// The state of one vault's purge, kept in a small SQLite file of its own beside the vault's
// inventories, so that a run killed at any point goes on where it stopped: which inventory it
// empties, with which cutoff, how far through that inventory's rows it is, and whether the
// vault itself waits to be deleted. Which archives are gone is the archive journal's to say
// (each deletion marks its inventory row); the checkpoint says where to look next.
class PurgeCheckpoint {
  public:
    static constexpr const char* kFileName = "Purge.db";
    static constexpr const char* kDeleting = "deleting";
    // Every archive is gone; the service still refuses to delete the vault.
    static constexpr const char* kVaultPending = "vault-pending";

    struct State {
        std::int64_t inventoryID = 0;
        double inventoryDate = 0;
        // The --older-than the purge was started with, and the creation date it made of it.
        std::optional<double> olderThanDays;
        std::optional<double> createdBefore;
        bool deleteVault = false;
        std::string state = kDeleting;
        // Every inventory row up to this id is settled (deleted, or found gone).
        std::int64_t position = 0;
        // Archives this purge deleted (or found gone), all runs together.
        std::int64_t deleted = 0;
        double startedAt = 0;
        std::optional<double> vaultRefusedAt;
    };

    // Opens (creating when missing) the file in `directory`.
    explicit PurgeCheckpoint(const std::string& directory);
    ~PurgeCheckpoint();
    PurgeCheckpoint(const PurgeCheckpoint&) = delete;
    PurgeCheckpoint& operator=(const PurgeCheckpoint&) = delete;

    static std::string pathIn(const std::string& directory);
    // The stored state without creating the file; none when there is no purge.
    static std::optional<State> peek(const std::string& directory);

    std::optional<State> load();
    // Replaces the stored state; false when the file could not be written.
    bool save(const State& state);
    // Moves the resume point and the count on, in one small transaction.
    bool advance(std::int64_t position, std::int64_t deleted);
    // Forgets the purge: it is complete, the next run starts a new one.
    bool clear();
    // Closes the file (the vault's directory may then be removed).
    void close();

  private:
    static std::optional<State> loadFromDB(Database& db);

    std::unique_ptr<DatabaseQueue> queue_;
};

}  // namespace quillon
