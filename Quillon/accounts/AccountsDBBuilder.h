// AccountsDBBuilder: the accounts database's tables and migration.
// Threads: as DBBuilder: not thread-safe, one owner.
#pragma once

#include "foundation/DBBuilder.h"

namespace quillon {

// Schema of the accounts database: the accounts and the regions selected for each.
class AccountsDBBuilder : public DBBuilder {
  public:
    using DBBuilder::DBBuilder;

    void initializeTables() override;
    void performMigration() override;
};

}  // namespace quillon
