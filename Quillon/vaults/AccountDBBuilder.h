// AccountDBBuilder: the schema, migrations and maintenance of an account's data database.
// Threads: as DBBuilder: not thread-safe, one owner.
#pragma once

#include <string>

#include "foundation/DBBuilder.h"
#include "interfaces/db/Database.h"

namespace quillon {

// Schema of an account's data database ("Store.db"): vaults, tags, retrieval policies,
// inventories with their items and folder tree, and the local archive journal.
class AccountDBBuilder : public DBBuilder {
  public:
    using DBBuilder::DBBuilder;

    void initializeTables() override;
    void performMigration() override;
    // Removes inventories whose import never finished, with their items and folders, and
    // builds any missing index of inventory_items.
    bool performMaintenance() override;

    // A large import drops the indexes of inventory_items and builds them in one pass at its
    // end (inside the transaction that completes it), instead of inserting into each at
    // random; the next opening restores them after an import that was stopped.
    static void dropInventoryItemIndexes(Database& db);
    // Creates each missing index of inventory_items; true when one was missing.
    static bool restoreInventoryItemIndexes(Database& db);

  private:
    void fillBaseAndDirNames(Database& db);
    void createAndRebuildDirectories(Database& db);
    void replaceIndex(Database& db, const std::string& name, const std::string& target);
};

}  // namespace quillon
