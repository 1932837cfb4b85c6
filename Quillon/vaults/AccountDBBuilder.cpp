// AccountDBBuilder: the account data tables, their migrations and the index upkeep. Threads: as
// in AccountDBBuilder.h.
#include "vaults/AccountDBBuilder.h"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/FileLock.h"
#include "foundation/PathComponents.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

// Stored schema versions below this one predate the base/folder name columns being filled
// reliably and the two-column folder indexes.
constexpr std::uint32_t kBackfillBeforeVersion = 13;

// Vaults the service stopped listing, kept with their local data until they come back or are
// forgotten on purpose.
constexpr const char* kHiddenVaultsTable =
    "CREATE TABLE hidden_vaults (  name TEXT NOT NULL,  region TEXT NOT NULL,  meta TEXT,  "
    "hidden_at INTEGER,  PRIMARY KEY (name, region));";

std::string trimmedSlashes(const std::string& path) {
    auto first = path.find_first_not_of('/');
    if (first == std::string::npos) {
        return "";
    }
    auto last = path.find_last_not_of('/');
    return path.substr(first, last - first + 1);
}

// Adds the folder and every ancestor of it, without leading or trailing slashes.
void addFolderAndAncestors(std::string path, std::set<std::string>& folders) {
    while (!path.empty() && path != "/") {
        folders.insert(trimmedSlashes(path));
        path = deletingLastPathComponent(path);
    }
}

// The indexes of inventory_items: name and indexed columns.
constexpr std::pair<const char*, const char*> kItemIndexes[] = {
    {"idx_inventory_items_inventory_id", "inventory_id"},
    {"idx_inventory_items_name_2", "inventory_id, name"},
    {"idx_inventory_items_archive_id_2", "inventory_id, archive_id"},
    {"idx_inventory_items_tree_hash_2", "inventory_id, tree_hash"},
    {"idx_inventory_items_local_add_2", "inventory_id, local_add"},
    {"idx_inventory_items_local_delete_2", "inventory_id, local_delete"},
    {"idx_inventory_items_dir_name_2", "inventory_id, dir_name"},
    {"idx_inventory_items_base_name_2", "inventory_id, base_name"},
    {"idx_inventory_items_archive_description_2", "inventory_id, archive_description"},
    {"idx_inventory_items_size_2", "inventory_id, size"},
};

std::string itemIndexStatement(const std::pair<const char*, const char*>& index, bool ifNotExists) {
    // SQLite stores the statement without "IF NOT EXISTS", so both forms give the same schema.
    return std::string("CREATE INDEX ") + (ifNotExists ? "IF NOT EXISTS " : "") + index.first +
           " ON inventory_items (" + index.second + ");";
}

std::string inventoryItemIndexStatements() {
    std::string statements;
    for (const auto& index : kItemIndexes) {
        statements += itemIndexStatement(index, false);
    }
    return statements;
}

}  // namespace

void AccountDBBuilder::dropInventoryItemIndexes(Database& db) {
    for (const auto& index : kItemIndexes) {
        db.executeUpdate(std::string("DROP INDEX IF EXISTS ") + index.first);
    }
}

bool AccountDBBuilder::restoreInventoryItemIndexes(Database& db) {
    bool restored = false;
    for (const auto& index : kItemIndexes) {
        if (!db.indexExists(index.first)) {
            NSLog("Building index %@ file=%@", {index.first, db.databasePath()});
            db.executeUpdate(itemIndexStatement(index, true));
            restored = true;
        }
    }
    return restored;
}

void AccountDBBuilder::initializeTables() {
    Database& db = *database();
    db.executeStatements(
        "CREATE TABLE vaults (  name TEXT,  number_of_archives INTEGER NOT NULL DEFAULT 0,  size "
        "INTEGER NOT NULL DEFAULT 0,  meta TEXT NOT NULL,  region TEXT NOT NULL,  created_at "
        "INTEGER,  updated_at INTEGER,  position INTEGER NOT NULL DEFAULT 0,  PRIMARY KEY (name, "
        "region));"
        "CREATE INDEX idx_vaults_name ON vaults (name);"
        "CREATE INDEX idx_vaults_region ON vaults (region);"
        "CREATE INDEX idx_vaults_created_at ON vaults (created_at);"
        "CREATE INDEX idx_vaults_position ON vaults (position);"
        "CREATE INDEX idx_vaults_size ON vaults (size);"
        "CREATE INDEX idx_vaults_number_of_archives ON vaults (number_of_archives);"
        "CREATE TABLE vaults_fetch (  region TEXT,  last_fetch INTEGER,  PRIMARY KEY (region));"
        "CREATE INDEX idx_vaults_fetch_region ON vaults_fetch (region);" +
        std::string(kHiddenVaultsTable));
    db.executeStatements(
        "CREATE TABLE inventories (  id INTEGER PRIMARY KEY,  inventory_date INTEGER,  "
        "import_done_at INTEGER,  vault TEXT NOT NULL,  region TEXT NOT NULL,  created_at "
        "INTEGER);"
        "CREATE INDEX idx_inventory_vault ON inventories (vault);"
        "CREATE INDEX idx_inventory_region ON inventories (region);"
        "CREATE TABLE inventory_items (  id INTEGER PRIMARY KEY,  archive_id TEXT,  "
        "archive_description TEXT,  name TEXT,  base_name TEXT NOT NULL DEFAULT '',  dir_name "
        "TEXT NOT NULL DEFAULT '',  created_at INTEGER,  size INTEGER,  tree_hash TEXT,  "
        "local_add INTEGER,  local_delete INTEGER,  inventory_id INTEGER);" +
        inventoryItemIndexStatements() +
        "CREATE TABLE inventory_directories (  id INTEGER PRIMARY KEY,  name TEXT,  base_name "
        "TEXT,  dir_name TEXT,  expanded INTEGER,  inventory_id INTEGER,  UNIQUE(name, "
        "inventory_id));"
        "CREATE INDEX idx_inventory_directories_base_name_2 ON inventory_directories "
        "(inventory_id, base_name);"
        "CREATE INDEX idx_inventory_directories_dir_name_2 ON inventory_directories "
        "(inventory_id, dir_name);"
        "CREATE INDEX idx_inventory_directories_inventory_id ON inventory_directories "
        "(inventory_id);");
    db.executeStatements(
        "CREATE TABLE archives (  id INTEGER PRIMARY KEY,  archive_id TEXT NOT NULL,  "
        "description TEXT NOT NULL,  size INTEGER NOT NULL DEFAULT 0,  tree_hash TEXT NOT NULL,  "
        "action TEXT NOT NULL,  vault TEXT NOT NULL,  region TEXT NOT NULL,  created_at "
        "INTEGER);"
        "CREATE INDEX idx_archives_action ON archives (action);"
        "CREATE INDEX idx_archives_vault ON archives (vault);"
        "CREATE INDEX idx_archives_region ON archives (region);"
        "CREATE INDEX idx_archives_created_at ON archives (created_at);");
}

void AccountDBBuilder::performMigration() {
    Database& db = *database();
    const std::string& path = db.databasePath();

    if (!db.tableExists("tags")) {
        NSLog("Run DB migration 1.3 %@", {path});
        db.executeStatements(
            "CREATE TABLE tags (  key TEXT NOT NULL,  value TEXT NOT NULL,  vault TEXT NOT NULL,  "
            "region TEXT NOT NULL,  updated_at INTEGER,  PRIMARY KEY (key, vault, region));"
            "CREATE INDEX idx_tags_key ON tags (key);"
            "CREATE INDEX idx_tags_vault ON tags (vault);");
        db.executeStatements("CREATE INDEX idx_tags_region ON tags (region);");
        db.executeStatements(
            "CREATE TABLE tags_fetch (  region TEXT,  vault TEXT NOT NULL,  last_fetch INTEGER,  "
            "PRIMARY KEY (region, vault));"
            "CREATE INDEX idx_tags_fetch_region ON tags_fetch (region);"
            "CREATE INDEX idx_tags_fetch_vault ON tags_fetch (vault);");
    }

    if (!db.tableExists("data_retrieval_policies")) {
        NSLog("Run DB migration 2.0 %@", {path});
        db.executeStatements(
            "CREATE TABLE data_retrieval_policies (  strategy TEXT,  bytes_per_hour INTEGER,  "
            "region TEXT,  last_fetch INTEGER,  PRIMARY KEY (region));"
            "CREATE INDEX idx_policy_rules_region ON data_retrieval_policies (region);");
    }

    if (!db.columnExists("created_at", "vaults")) {
        NSLog("Run DB migration 2.0 %@", {path});
        db.executeStatements(
            "ALTER TABLE vaults ADD COLUMN created_at INTEGER;"
            "CREATE INDEX idx_vaults_created_at ON vaults (created_at);"
            "CREATE INDEX idx_vaults_position ON vaults (position);"
            "CREATE INDEX idx_vaults_size ON vaults (size);"
            "CREATE INDEX idx_vaults_number_of_archives ON vaults (number_of_archives);");
    }

    if (!db.tableExists("hidden_vaults")) {
        NSLog("Run DB migration 4.0 %@", {path});
        db.executeStatements(kHiddenVaultsTable);
    }

    bool backfill = db.userVersion() < kBackfillBeforeVersion;

    if (!db.columnExists("base_name", "inventory_items")) {
        NSLog("Run DB migration 2.0 (a) %@", {path});
        db.executeStatements(
            "ALTER TABLE inventory_items ADD COLUMN base_name TEXT NOT NULL DEFAULT ''");
        db.executeStatements(
            "CREATE INDEX idx_inventory_items_base_name ON inventory_items (base_name)");
        backfill = true;
    }

    bool addedDirName = false;
    if (!db.columnExists("dir_name", "inventory_items")) {
        NSLog("Run DB migration 2.0 (b) %@", {path});
        db.executeStatements(
            "ALTER TABLE inventory_items ADD COLUMN dir_name TEXT NOT NULL DEFAULT ''");
        db.executeStatements(
            "CREATE INDEX idx_inventory_items_dir_name ON inventory_items (dir_name)");
        addedDirName = true;
    }

    if (addedDirName || backfill) {
        NSLog("Run DB migration 2.0 (c) %@", {path});
        fillBaseAndDirNames(db);
        if (db.tableExists("inventory_directories")) {
            NSLog("Run DB migration 2.0 (d) %@", {path});
            db.executeStatements("DROP TABLE inventory_directories");
        }
    }

    if (!db.indexExists("idx_inventory_items_name") &&
        !db.indexExists("idx_inventory_items_name_2")) {
        NSLog("Run DB migration 2.0 (e) %@", {path});
        db.executeStatements("CREATE INDEX idx_inventory_items_name ON inventory_items (name)");
    }

    if (!db.tableExists("inventory_directories")) {
        NSLog("Run DB migration 2.0 %@", {path});
        createAndRebuildDirectories(db);
    }

    if (!db.indexExists("idx_inventory_items_archive_desc") &&
        !db.indexExists("idx_inventory_items_archive_description") &&
        !db.indexExists("idx_inventory_items_archive_desc_2") &&
        !db.indexExists("idx_inventory_items_archive_description_2")) {
        NSLog("Run DB migration 2.5 (a) %@", {path});
        db.executeStatements(
            "CREATE INDEX idx_inventory_items_archive_description ON inventory_items "
            "(archive_description)");
    }

    if (!db.indexExists("idx_inventory_items_size") &&
        !db.indexExists("idx_inventory_items_size_2")) {
        NSLog("Run DB migration 2.5 (b) %@", {path});
        db.executeStatements("CREATE INDEX idx_inventory_items_size ON inventory_items (size)");
    }

    static const std::pair<const char*, const char*> kTwoColumnIndexes[] = {
        {"idx_inventory_items_name", "inventory_items (inventory_id, name)"},
        {"idx_inventory_items_archive_id", "inventory_items (inventory_id, archive_id)"},
        {"idx_inventory_items_tree_hash", "inventory_items (inventory_id, tree_hash)"},
        {"idx_inventory_items_local_add", "inventory_items (inventory_id, local_add)"},
        {"idx_inventory_items_local_delete", "inventory_items (inventory_id, local_delete)"},
        {"idx_inventory_items_dir_name", "inventory_items (inventory_id, dir_name)"},
        {"idx_inventory_items_base_name", "inventory_items (inventory_id, base_name)"},
        {"idx_inventory_items_archive_description",
         "inventory_items (inventory_id, archive_description)"},
        {"idx_inventory_items_size", "inventory_items (inventory_id, size)"},
        {"idx_inventory_directories_base_name", "inventory_directories (inventory_id, base_name)"},
        {"idx_inventory_directories_dir_name", "inventory_directories (inventory_id, dir_name)"},
    };
    for (const auto& [name, target] : kTwoColumnIndexes) {
        replaceIndex(db, name, target);
    }
}

void AccountDBBuilder::fillBaseAndDirNames(Database& db) {
    std::vector<std::pair<std::int64_t, std::string>> items;
    if (auto rs = db.executeQuery("SELECT id, name FROM inventory_items")) {
        while (rs->next()) {
            if (auto name = rs->stringForColumn("name")) {
                items.emplace_back(rs->longForColumn("id"), std::move(*name));
            }
        }
    }
    db.beginTransaction();
    for (const auto& [id, name] : items) {
        db.executeUpdate(
            "UPDATE inventory_items SET base_name = :baseName, dir_name = :dirName WHERE id = :id",
            SqlNamedArgs{{"id", sqlInt(id)},
                         {"baseName", lastPathComponent(name)},
                         {"dirName", deletingLastPathComponent(name)}});
    }
    db.commit();
}

void AccountDBBuilder::createAndRebuildDirectories(Database& db) {
    db.beginTransaction();
    db.executeStatements(
        "CREATE TABLE inventory_directories (  id INTEGER PRIMARY KEY,  name TEXT,  base_name "
        "TEXT,  dir_name TEXT,  expanded INTEGER,  inventory_id INTEGER,  UNIQUE(name, "
        "inventory_id));"
        "CREATE INDEX idx_inventory_directories_name ON inventory_directories (name);"
        "CREATE INDEX idx_inventory_directories_base_name ON inventory_directories (base_name);"
        "CREATE INDEX idx_inventory_directories_dir_name ON inventory_directories (dir_name);"
        "CREATE INDEX idx_inventory_directories_inventory_id ON inventory_directories "
        "(inventory_id);");

    std::vector<std::int64_t> inventoryIds;
    if (auto rs = db.executeQuery("SELECT DISTINCT inventory_id FROM inventory_items")) {
        while (rs->next()) {
            if (!rs->columnIsNull("inventory_id")) {
                inventoryIds.push_back(rs->longForColumn("inventory_id"));
            }
        }
    }

    for (std::int64_t inventoryId : inventoryIds) {
        std::set<std::string> folders;
        const SqlNamedArgs byId{{"id", sqlInt(inventoryId)}};
        if (auto rs = db.executeQuery(
                "SELECT DISTINCT dir_name FROM inventory_items WHERE inventory_id = :id", byId)) {
            while (rs->next()) {
                if (auto dirName = rs->stringForColumn("dir_name")) {
                    addFolderAndAncestors(*dirName, folders);
                }
            }
        }
        if (auto rs = db.executeQuery(
                "SELECT name FROM inventory_items WHERE inventory_id = :id AND name LIKE \"%/\"",
                byId)) {
            while (rs->next()) {
                if (auto name = rs->stringForColumn("name")) {
                    addFolderAndAncestors(*name, folders);
                }
            }
        }
        for (const std::string& folder : folders) {
            db.executeUpdate(
                "INSERT OR IGNORE INTO inventory_directories (inventory_id, name, dir_name, "
                "base_name) VALUES (:inventory_id, :name, :dir_name, :base_name)",
                SqlNamedArgs{{"inventory_id", sqlInt(inventoryId)},
                             {"name", folder},
                             {"dir_name", deletingLastPathComponent(folder)},
                             {"base_name", lastPathComponent(folder)}});
        }
    }
    db.commit();
}

void AccountDBBuilder::replaceIndex(Database& db, const std::string& name,
                                    const std::string& target) {
    if (db.indexExists(name + "_2")) {
        return;
    }
    NSLog("Run DB migration 3.8 %@", {db.databasePath() + " replaceIndex " + name});
    db.executeStatements("CREATE INDEX " + name + "_2 ON " + target);
    db.executeStatements("DROP INDEX " + name);
}

bool AccountDBBuilder::performMaintenance() {
    Database& db = *database();
    struct Unfinished {
        std::int64_t id;
        std::string vault;
        std::string region;
    };
    std::vector<Unfinished> unfinished;
    auto rs = db.executeQuery(
        "SELECT id, vault, region FROM inventories WHERE inventory_date > 0 AND import_done_at "
        "IS NULL");
    if (!rs) {
        return false;
    }
    while (rs->next()) {
        unfinished.push_back({rs->longForColumn("id"), rs->stringForColumn("vault").value_or(""),
                              rs->stringForColumn("region").value_or("")});
    }
    rs->close();
    // An unfinished import may still be running in another process: only the rows of an
    // import whose owner no longer holds the vault's writer lock are left-overs. The lock is
    // held while they go, so no import of that vault starts meanwhile.
    const std::string accountDirectory = deletingLastPathComponent(file());
    int removed = 0;
    bool importRunning = false;
    for (const Unfinished& inventory : unfinished) {
        FileLock lock(Vault::writerLockPath(accountDirectory, inventory.region, inventory.vault));
        if (!lock.tryLock()) {
            importRunning = true;
            continue;
        }
        NSLog("Removing incomplete inventory id=%@ vault=%@ file=%@",
              {std::to_string(inventory.id), inventory.vault, db.databasePath()});
        db.executeUpdate("DELETE FROM inventory_items WHERE inventory_id = ?", {inventory.id});
        db.executeUpdate("DELETE FROM inventory_directories WHERE inventory_id = ?",
                         {inventory.id});
        db.executeUpdate("DELETE FROM inventories WHERE id = ?", {inventory.id});
        ++removed;
    }
    // A large import builds the item indexes only at its end; one that was stopped before
    // leaves them to be built here. While another process still imports, the indexes are
    // missing on purpose: building them now would slow its every insert.
    if (!importRunning && restoreInventoryItemIndexes(db)) {
        ++removed;
    }
    if (removed > 0) {
        NSLog("performMaintenance done. file=%@", {db.databasePath()});
        return true;
    }
    return false;
}

}  // namespace quillon
