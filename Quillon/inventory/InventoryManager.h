// InventoryManager: one vault's stored inventories: creation, lookup, listing, pruning.
// Threads: not thread-safe; one owner. The vault's database queue serialises the rows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "interfaces/db/Database.h"
#include "inventory/Inventory.h"

namespace quillon {

class Vault;

// The stored inventories of one vault: creation, lookup, listing and pruning. Only complete
// inventories (finished imports and placeholders) are listed. Owned by its vault.
class InventoryManager {
  public:
    explicit InventoryManager(Vault& vault);

    Vault& vault() const { return vault_; }

    // The newest complete inventory (ties: the higher id).
    InventoryPtr latestFromDB(Database& db);
    InventoryPtr latest();
    // Complete inventories, newest first.
    std::vector<InventoryPtr> allFromDB(Database& db);
    std::vector<InventoryPtr> all();
    // An inventory of this vault and region by id, complete or not.
    InventoryPtr getFromDB(Database& db, std::int64_t id);
    InventoryPtr get(std::int64_t id);
    // A new (incomplete) inventory; rows left under a reused id are removed first.
    InventoryPtr createInDB(Database& db, double inventoryDate);
    InventoryPtr create(double inventoryDate);
    // A placeholder (date 0), complete at once.
    InventoryPtr createDummyInDB(Database& db);
    // Deletes every complete inventory but the latest, or but `keep` when given.
    void removeOldInventoriesFromDB(Database& db, std::optional<std::int64_t> keep = {});
    // Gives the file's free pages back once they pass kReclaimFreeShare of it (after old
    // inventories were removed) and empties the write-ahead log; outside any transaction, on
    // the vault's queue.
    void reclaimSpace();

    static constexpr double kReclaimFreeShare = 0.2;

  private:
    Vault& vault_;
};

}  // namespace quillon
