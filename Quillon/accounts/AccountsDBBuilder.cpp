// AccountsDBBuilder: the accounts schema. Threads: as in AccountsDBBuilder.h.
#include "accounts/AccountsDBBuilder.h"

#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"

namespace quillon {

void AccountsDBBuilder::initializeTables() {
    database()->executeStatements(
        "CREATE TABLE accounts (  id INTEGER PRIMARY KEY AUTOINCREMENT,  name TEXT,  access_key "
        "TEXT,  region TEXT,  use_keychain INTEGER,  updated_at INTEGER);CREATE INDEX "
        "idx_accounts_name ON accounts (name);CREATE INDEX idx_accounts_access_key ON accounts "
        "(access_key);");
}

void AccountsDBBuilder::performMigration() {
    Database& db = *database();
    if (!db.tableExists("account_regions")) {
        NSLog("Run DB migration 1.0 %@", {db.databasePath()});
        db.executeStatements(
            "CREATE TABLE account_regions (  region TEXT,  account_id INTEGER,  PRIMARY KEY "
            "(region, account_id));");
    }
}

}  // namespace quillon
