// Tests of the account and accounts database builders: schemas, migrations and maintenance.
// Threads: run on the test's thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "accounts/AccountsDBBuilder.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "vaults/AccountDBBuilder.h"

namespace quillon {
namespace {

using testing::LogCapture;
using testing::TempDir;
using Strings = std::vector<std::string>;

Strings names(Database& db, const std::string& sql) {
    Strings out;
    auto rs = db.executeQuery(sql);
    while (rs && rs->next()) {
        out.push_back(rs->stringForColumn(0).value_or("<null>"));
    }
    std::sort(out.begin(), out.end());
    return out;
}

Strings tables(Database& db) {
    return names(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
}
Strings namedIndexes(Database& db) {
    return names(db, "SELECT name FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL");
}
// The columns of an index as "position:name".
Strings indexColumns(Database& db, const std::string& index) {
    return names(db, "SELECT seqno || ':' || name FROM pragma_index_info('" + index + "')");
}

// The name, base name and folder name of the rows of an inventory table, sorted.
using Row = std::tuple<std::string, std::string, std::string>;
std::vector<Row> nameRows(Database& db, const std::string& table, const std::string& where = "") {
    std::vector<Row> out;
    auto rs = db.executeQuery("SELECT name, base_name, dir_name FROM " + table + where);
    while (rs && rs->next()) {
        out.emplace_back(rs->stringForColumn(0).value_or("<null>"),
                         rs->stringForColumn(1).value_or("<null>"),
                         rs->stringForColumn(2).value_or("<null>"));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The log lines of migration steps on the file at `path`, then of the indexes it replaced.
Strings withPath(const Strings& formats, const std::string& path,
                 const Strings& replacedIndexes = {}) {
    Strings out;
    for (const auto& format : formats) {
        out.push_back(format + " " + path);
    }
    for (const auto& index : replacedIndexes) {
        out.push_back("Run DB migration 3.8 " + path + " replaceIndex " + index);
    }
    return out;
}

const Strings kFolderIndexes = {"idx_inventory_directories_base_name",
                                "idx_inventory_directories_dir_name"};

// The words of a text separated by blanks, sorted.
Strings words(const std::string& text) {
    Strings out;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        out.push_back(word);
    }
    std::sort(out.begin(), out.end());
    return out;
}

const Strings kTables = words(
    "archives data_retrieval_policies hidden_vaults inventories inventory_directories "
    "inventory_items sqlite_stat1 tags tags_fetch vaults vaults_fetch");

const Strings kNamedIndexes = words(
    "idx_vaults_name idx_vaults_region idx_vaults_created_at idx_vaults_position "
    "idx_vaults_size idx_vaults_number_of_archives idx_vaults_fetch_region "
    "idx_tags_key idx_tags_vault idx_tags_region idx_tags_fetch_region "
    "idx_tags_fetch_vault idx_policy_rules_region idx_inventory_vault "
    "idx_inventory_region idx_inventory_items_inventory_id "
    "idx_inventory_items_name_2 idx_inventory_items_archive_id_2 "
    "idx_inventory_items_tree_hash_2 idx_inventory_items_local_add_2 "
    "idx_inventory_items_local_delete_2 idx_inventory_items_dir_name_2 "
    "idx_inventory_items_base_name_2 idx_inventory_items_archive_description_2 "
    "idx_inventory_items_size_2 idx_inventory_directories_name "
    "idx_inventory_directories_base_name_2 idx_inventory_directories_dir_name_2 "
    "idx_inventory_directories_inventory_id idx_archives_action idx_archives_vault "
    "idx_archives_region idx_archives_created_at");

// The shape of a data database written by an early build: no tags or retrieval policies, no
// vault creation time, items without base and folder names, single-column item indexes, and
// a folder table that will be rebuilt.
const char* const kOldSchema =
    "CREATE TABLE vaults (  name TEXT,  number_of_archives INTEGER NOT NULL DEFAULT 0,  size "
    "INTEGER NOT NULL DEFAULT 0,  meta TEXT NOT NULL,  region TEXT NOT NULL,  updated_at INTEGER,"
    "  position INTEGER NOT NULL DEFAULT 0,  PRIMARY KEY (name, region));"
    "CREATE INDEX idx_vaults_name ON vaults (name);"
    "CREATE INDEX idx_vaults_region ON vaults (region);"
    "CREATE TABLE vaults_fetch (  region TEXT,  last_fetch INTEGER,  PRIMARY KEY (region));"
    "CREATE INDEX idx_vaults_fetch_region ON vaults_fetch (region);"
    "CREATE TABLE inventories (  id INTEGER PRIMARY KEY,  inventory_date INTEGER,  "
    "import_done_at INTEGER,  vault TEXT NOT NULL,  region TEXT NOT NULL,  created_at INTEGER);"
    "CREATE INDEX idx_inventory_vault ON inventories (vault);"
    "CREATE INDEX idx_inventory_region ON inventories (region);"
    "CREATE TABLE inventory_items (  id INTEGER PRIMARY KEY,  archive_id TEXT,  "
    "archive_description TEXT,  name TEXT,  created_at INTEGER,  size INTEGER,  tree_hash TEXT,"
    "  local_add INTEGER,  local_delete INTEGER,  inventory_id INTEGER);"
    "CREATE INDEX idx_inventory_items_inventory_id ON inventory_items (inventory_id);"
    "CREATE INDEX idx_inventory_items_archive_id ON inventory_items (archive_id);"
    "CREATE INDEX idx_inventory_items_tree_hash ON inventory_items (tree_hash);"
    "CREATE INDEX idx_inventory_items_local_add ON inventory_items (local_add);"
    "CREATE INDEX idx_inventory_items_local_delete ON inventory_items (local_delete);"
    "CREATE TABLE inventory_directories (  id INTEGER PRIMARY KEY,  name TEXT,  base_name TEXT,"
    "  dir_name TEXT,  expanded INTEGER,  inventory_id INTEGER,  UNIQUE(name, inventory_id));"
    "CREATE TABLE archives (  id INTEGER PRIMARY KEY,  archive_id TEXT NOT NULL,  description "
    "TEXT NOT NULL,  size INTEGER NOT NULL DEFAULT 0,  tree_hash TEXT NOT NULL,  action TEXT NOT "
    "NULL,  vault TEXT NOT NULL,  region TEXT NOT NULL,  created_at INTEGER);"
    "CREATE INDEX idx_archives_action ON archives (action);"
    "CREATE INDEX idx_archives_vault ON archives (vault);"
    "CREATE INDEX idx_archives_region ON archives (region);"
    "CREATE INDEX idx_archives_created_at ON archives (created_at);"
    "INSERT INTO inventories (id, inventory_date, import_done_at, vault, region) VALUES "
    "(1, 100, 200, 'v', 'eu-west-1'), (2, 100, 200, 'w', 'eu-west-1');"
    "INSERT INTO inventory_items (id, name, inventory_id) VALUES (1, 'a/b/c.txt', 1),"
    " (2, 'x/', 1), (3, 'c.txt', 1), (4, '/', 1), (5, '', 1), (6, NULL, 1), (7, 'q/r.txt', 2);"
    "INSERT INTO inventory_directories (name, base_name, dir_name, inventory_id) VALUES "
    "('stale', 'stale', '', 1);"
    "PRAGMA user_version = 5;";

class AccountDBBuilderTest : public ::testing::Test {
  protected:
    DatabasePtr open(const std::string& file) {
        AccountDBBuilder builder(file);
        DatabasePtr db = builder.getDB();
        didChange = builder.didChange();
        return db;
    }
    DatabasePtr open() { return open(path); }

    // Runs `statements` on the file through a plain connection, as an earlier build would.
    void runOn(const std::string& file, const std::string& statements) {
        Database old(file);
        ASSERT_TRUE(old.open());
        ASSERT_TRUE(old.executeStatements(statements));
    }

    TempDir dir;
    const std::string path = dir.file("Store.db");
    LogCapture log;
    bool didChange = false;
};

TEST_F(AccountDBBuilderTest, FreshFileHoldsTheFullSchema) {
    DatabasePtr db = open();
    ASSERT_TRUE(db);
    EXPECT_EQ(tables(*db), kTables);
    EXPECT_EQ(namedIndexes(*db), kNamedIndexes);
    EXPECT_EQ(
        names(*db, "SELECT name FROM sqlite_master WHERE type = 'index' AND sql IS NULL"),
        (Strings{"sqlite_autoindex_data_retrieval_policies_1", "sqlite_autoindex_hidden_vaults_1",
                 "sqlite_autoindex_inventory_directories_1", "sqlite_autoindex_tags_1",
                 "sqlite_autoindex_tags_fetch_1", "sqlite_autoindex_vaults_1",
                 "sqlite_autoindex_vaults_fetch_1"}));
    EXPECT_EQ(indexColumns(*db, "idx_inventory_directories_base_name_2"),
              (Strings{"0:inventory_id", "1:base_name"}));
    EXPECT_EQ(indexColumns(*db, "idx_inventory_directories_name"), (Strings{"0:name"}));
    EXPECT_EQ(db->userVersion(), 100u);
    EXPECT_EQ(log.lines(),
              withPath({"Run DB migration 1.3", "Run DB migration 2.0", "Run DB migration 2.0 (c)",
                        "Run DB migration 2.0 (d)", "Run DB migration 2.0"},
                       path, kFolderIndexes));

    // A second open at the same version changes nothing and logs nothing.
    db->close();
    log.clear();
    db = open();
    ASSERT_TRUE(db);
    EXPECT_FALSE(didChange);
    EXPECT_TRUE(log.lines().empty());
    // Nor does running the migration again on the stamped file.
    AccountDBBuilder again(path);
    ASSERT_TRUE(again.getDB());
    again.performMigration();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(namedIndexes(*again.database()), kNamedIndexes);
}

TEST_F(AccountDBBuilderTest, OldSchemaIsMigratedStepByStep) {
    runOn(path, kOldSchema);
    DatabasePtr db = open();
    ASSERT_TRUE(db);

    Strings replaced;
    for (const char* column : {"name", "archive_id", "tree_hash", "local_add", "local_delete",
                               "dir_name", "base_name", "archive_description", "size"}) {
        replaced.push_back(std::string("idx_inventory_items_") + column);
    }
    replaced.insert(replaced.end(), kFolderIndexes.begin(), kFolderIndexes.end());
    EXPECT_EQ(log.lines(), withPath({"Run DB migration 1.3", "Run DB migration 2.0",
                                     "Run DB migration 2.0", "Run DB migration 4.0",
                                     "Run DB migration 2.0 (a)", "Run DB migration 2.0 (b)",
                                     "Run DB migration 2.0 (c)", "Run DB migration 2.0 (d)",
                                     "Run DB migration 2.0 (e)", "Run DB migration 2.0",
                                     "Run DB migration 2.5 (a)", "Run DB migration 2.5 (b)"},
                                    path, replaced));

    // The migrated file has the same tables and indexes as a fresh one.
    EXPECT_EQ(tables(*db), kTables);
    EXPECT_EQ(namedIndexes(*db), kNamedIndexes);
    EXPECT_TRUE(db->columnExists("created_at", "vaults"));
    EXPECT_EQ(db->userVersion(), 100u);

    EXPECT_EQ(nameRows(*db, "inventory_items", " WHERE id <= 5"),
              (std::vector<Row>{{"", "", ""},
                                {"/", "/", "/"},
                                {"a/b/c.txt", "c.txt", "a/b"},
                                {"c.txt", "c.txt", ""},
                                {"x/", "x", ""}}));
    EXPECT_EQ(db->stringForQuery("SELECT base_name || '|' || dir_name FROM inventory_items "
                                 "WHERE id = 6"),
              "|");
    EXPECT_EQ(nameRows(*db, "inventory_directories", " WHERE inventory_id = 1"),
              (std::vector<Row>{{"a", "a", ""}, {"a/b", "b", "a"}, {"x", "x", ""}}));
    EXPECT_EQ(nameRows(*db, "inventory_directories", " WHERE inventory_id = 2"),
              (std::vector<Row>{{"q", "q", ""}}));
    EXPECT_EQ(db->intForQuery("SELECT count(*) FROM inventory_directories WHERE expanded IS NULL"),
              4);
}

TEST_F(AccountDBBuilderTest, EarlierIndexesDecideWhichStepsRun) {
    runOn(path, std::string(kOldSchema) +
                    "CREATE INDEX idx_inventory_items_archive_desc ON inventory_items "
                    "(archive_description);"
                    "CREATE INDEX idx_inventory_items_size_2 ON inventory_items "
                    "(inventory_id, size);"
                    "CREATE INDEX idx_inventory_items_name ON inventory_items (name);");
    DatabasePtr db = open();
    ASSERT_TRUE(db);
    Strings lines = log.lines();
    auto logged = [&](const std::string& text) {
        return std::count(lines.begin(), lines.end(), text);
    };
    EXPECT_EQ(logged("Run DB migration 2.0 (e) " + path), 0);
    EXPECT_EQ(logged("Run DB migration 2.5 (a) " + path), 0);
    EXPECT_EQ(logged("Run DB migration 2.5 (b) " + path), 0);
    EXPECT_EQ(logged("Run DB migration 3.8 " + path + " replaceIndex idx_inventory_items_size"), 0);
    EXPECT_EQ(logged("Run DB migration 3.8 " + path + " replaceIndex idx_inventory_items_name"), 1);
    // The old short-named index stays; the long-named one is created by the conversion.
    EXPECT_TRUE(db->indexExists("idx_inventory_items_archive_desc"));
    EXPECT_TRUE(db->indexExists("idx_inventory_items_archive_description_2"));
    EXPECT_FALSE(db->indexExists("idx_inventory_items_name"));
    EXPECT_EQ(indexColumns(*db, "idx_inventory_items_name_2"),
              (Strings{"0:inventory_id", "1:name"}));
}

// A current schema whose names and folders were left stale, stamped 12 or 13: version 12 refills
// the names and rebuilds the folders (whose table comes with the older indexes, converted once
// more); version 13 keeps both and is only stamped anew.
TEST_F(AccountDBBuilderTest, StaleNamesAndFoldersAreRebuiltBelowVersionThirteen) {
    const struct {
        std::uint32_t version;
        std::vector<Row> folders, items;
        bool rebuilt;
    } cases[] = {
        {12,
         {{"a", "a", ""}, {"a/b", "b", "a"}, {"x", "x", ""}},
         {{"a/b/c.txt", "c.txt", "a/b"}, {"x/", "x", ""}},
         true},
        {13, {{"stale", "stale", ""}}, {{"a/b/c.txt", "", ""}, {"x/", "", ""}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        const std::string file = dir.file(std::to_string(c.version) + ".db");
        ASSERT_TRUE(open(file));
        runOn(file,
              "INSERT INTO inventories (id, inventory_date, import_done_at, vault, region) VALUES "
              "(1, 100, 200, 'v', 'eu-west-1');"
              "INSERT INTO inventory_items (name, inventory_id) VALUES ('a/b/c.txt', 1), ('x/', 1);"
              "INSERT INTO inventory_directories (name, base_name, dir_name, inventory_id) VALUES "
              "('stale', 'stale', '', 1);"
              "PRAGMA user_version = " +
                  std::to_string(c.version) + ";");
        log.clear();
        DatabasePtr db = open(file);
        ASSERT_TRUE(db);
        EXPECT_TRUE(didChange);
        EXPECT_EQ(log.lines(), c.rebuilt
                                   ? withPath({"Run DB migration 2.0 (c)",
                                               "Run DB migration 2.0 (d)", "Run DB migration 2.0"},
                                              file, kFolderIndexes)
                                   : Strings{});
        EXPECT_EQ(nameRows(*db, "inventory_items"), c.items);
        EXPECT_EQ(nameRows(*db, "inventory_directories"), c.folders);
        EXPECT_EQ(namedIndexes(*db), kNamedIndexes);
        EXPECT_EQ(db->userVersion(), 100u);
    }
}

TEST_F(AccountDBBuilderTest, MaintenanceRemovesOnlyUnfinishedImports) {
    ASSERT_TRUE(open());
    runOn(path,
          "INSERT INTO inventories (id, inventory_date, import_done_at, vault, region) VALUES "
          "(1, 100, NULL, 'broken', 'eu-west-1'), (2, 0, NULL, 'requested', 'eu-west-1'),"
          " (3, 100, 200, 'done', 'eu-west-1');"
          "INSERT INTO inventory_items (name, inventory_id) VALUES ('a', 1), ('b', 2), ('c', 3);"
          "INSERT INTO inventory_directories (name, inventory_id) VALUES ('d1', 1), ('d2', 2),"
          " ('d3', 3);");
    log.clear();
    DatabasePtr db = open();
    ASSERT_TRUE(db);
    EXPECT_TRUE(didChange);
    EXPECT_EQ(log.lines(), (Strings{"Removing incomplete inventory id=1 vault=broken file=" + path,
                                    "performMaintenance done. file=" + path}));
    EXPECT_EQ(names(*db, "SELECT vault FROM inventories"), (Strings{"done", "requested"}));
    EXPECT_EQ(names(*db, "SELECT name FROM inventory_items"), (Strings{"b", "c"}));
    EXPECT_EQ(names(*db, "SELECT name FROM inventory_directories"), (Strings{"d2", "d3"}));

    // Nothing left to remove: no change, no log.
    db->close();
    log.clear();
    AccountDBBuilder builder(path);
    ASSERT_TRUE(builder.getDB());
    EXPECT_FALSE(builder.performMaintenance());
    EXPECT_FALSE(builder.didChange());
    EXPECT_TRUE(log.lines().empty());
}

// The accounts database, in a file beside the data database.
TEST_F(AccountDBBuilderTest, AccountsFreshFileHoldsBothTablesAndIndexes) {
    const std::string path = dir.file("Accounts.db");
    AccountsDBBuilder builder(path);
    DatabasePtr db = builder.getDB();
    ASSERT_TRUE(db);
    EXPECT_EQ(tables(*db),
              (Strings{"account_regions", "accounts", "sqlite_sequence", "sqlite_stat1"}));
    EXPECT_EQ(namedIndexes(*db), (Strings{"idx_accounts_access_key", "idx_accounts_name"}));
    EXPECT_TRUE(db->columnExists("use_keychain", "accounts"));
    EXPECT_EQ(db->userVersion(), builder.appVersion());
    EXPECT_EQ(log.lines(), (Strings{"Run DB migration 1.0 " + path}));
    EXPECT_TRUE(db->executeUpdate(
        "INSERT INTO account_regions (region, account_id) VALUES ('us-east-1', 1)"));
    EXPECT_FALSE(db->executeUpdate(
        "INSERT INTO account_regions (region, account_id) VALUES ('us-east-1', 1)"));
}

TEST_F(AccountDBBuilderTest, AccountsMigrationAddsTheRegionTableToAnOldFile) {
    const std::string path = dir.file("Accounts.db");
    runOn(path,
          "CREATE TABLE accounts (  id INTEGER PRIMARY KEY AUTOINCREMENT,  name TEXT);"
          "INSERT INTO accounts (name) VALUES ('kept'); PRAGMA user_version = 1;");
    AccountsDBBuilder builder(path);
    ASSERT_TRUE(builder.needsMigration());
    DatabasePtr db = builder.getDB();
    ASSERT_TRUE(db);
    EXPECT_FALSE(builder.didInitialize());
    EXPECT_TRUE(db->tableExists("account_regions"));
    EXPECT_EQ(db->stringForQuery("SELECT name FROM accounts"), "kept");
    EXPECT_EQ(log.lines(), (Strings{"Run DB migration 1.0 " + path}));
}

}  // namespace
}  // namespace quillon
