// RestorePlanDBBuilder: the tables of a vault's restore plan file.
// Threads: as DBBuilder: not thread-safe, one owner.
#pragma once

#include "foundation/DBBuilder.h"

namespace quillon {

// Schema of a restore plan ("restore.db" in the vault's directory): the plan's settings, one row
// per archive to restore with its state, job and local path, the archives left out because a
// newer one has the same path, and the retrieval requests made (what pacing counts).
class RestorePlanDBBuilder : public DBBuilder {
  public:
    using DBBuilder::DBBuilder;

    void initializeTables() override;
    void performMigration() override;
};

}  // namespace quillon
