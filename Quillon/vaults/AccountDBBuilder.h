#pragma once

#include <string>

#include "foundation/DBBuilder.h"

namespace quillon {

// Schema of an account's data database ("Store.db"): vaults, tags, retrieval policies,
// inventories with their items and folder tree, and the local archive journal.
class AccountDBBuilder : public DBBuilder {
  public:
    using DBBuilder::DBBuilder;

    void initializeTables() override;
    void performMigration() override;
    // Removes inventories whose import never finished, with their items and folders.
    bool performMaintenance() override;

  private:
    void fillBaseAndDirNames(Database& db);
    void createAndRebuildDirectories(Database& db);
    void replaceIndex(Database& db, const std::string& name, const std::string& target);
};

}  // namespace quillon
