// Tests of inventory queries: search syntax, folders, sorting, local changes and sizes.
// Threads: run on the test's thread.
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <set>

#include "InventoryFixture.h"
#include "inventory/InventoryIndex.h"
#include "inventory/MappingData.h"

namespace quillon::testing {
namespace {

using Sort = Inventory::SortDescriptor;

class InventoryQueryTest : public InventoryFixture {
  protected:
    void SetUp() override {
        InventoryFixture::SetUp();
        inventory = inventoryWith({
            {"docs/", 1},                  // A0, folder archive
            {"docs/report.txt", 10},       // A1
            {"docs/tmp/scratch.txt", 20},  // A2
            {"photos/IMG_0001.jpg", 30},   // A3
            {"photos/Photo.jpg", 10},      // A4, same content as A1
            {"notes.txt", 10},             // A5, same again
            {"star*/x.txt", 5},            // A6
            {"starry/y.txt", 6},           // A7
        });
    }

    std::vector<std::string> search(const std::string& text, bool withLocal = true) {
        return names(inventory->items({.search = text, .withLocal = withLocal}));
    }

    InventoryPtr inventory;
};

TEST_F(InventoryQueryTest, SearchSyntaxLiteralPrefixesAndDuplicates) {
    // Newest first by default.
    EXPECT_EQ(search("txt"), (std::vector<std::string>{"starry/y.txt", "star*/x.txt", "notes.txt",
                                                       "docs/tmp/scratch.txt", "docs/report.txt"}));
    EXPECT_EQ(search("!tmp").size(), 7u);
    EXPECT_EQ(search("^IMG"), (std::vector<std::string>{"photos/IMG_0001.jpg"}));
    EXPECT_EQ(search("!^IMG").size(), 7u);
    // LIKE wildcards in the user's text stay wildcards.
    EXPECT_EQ(search("IMG_0%1"), (std::vector<std::string>{"photos/IMG_0001.jpg"}));

    const std::string hash(64, 'c');
    execute("UPDATE inventory_items SET tree_hash = ? WHERE archive_id IN ('A2', 'A6')", {hash});
    EXPECT_EQ(search("hash:" + hash),
              (std::vector<std::string>{"star*/x.txt", "docs/tmp/scratch.txt"}));
    // Too short for a hash: searched as text, which no name contains.
    EXPECT_TRUE(search("hash:abc").empty());

    const std::string archiveID = "Zx_9-" + std::string(40, 'q');
    execute("UPDATE inventory_items SET archive_id = ? WHERE archive_id = 'A7'", {archiveID});
    EXPECT_EQ(search("archive:" + archiveID), (std::vector<std::string>{"starry/y.txt"}));
    EXPECT_TRUE(search("archive:A7").empty());

    // A prefix is matched literally; duplicates are the other visible items of the same content.
    EXPECT_EQ(names(inventory->findItemsWithPrefix("star*")),
              (std::vector<std::string>{"star*/x.txt"}));
    EXPECT_EQ(inventory->findItemsWithPrefix("star").size(), 2u);
    EXPECT_TRUE(inventory->findItemsWithPrefix("Star").empty());
    EXPECT_EQ(inventory->findItemsWithPrefix("").size(), 8u);
    auto report = inventory->getByArchiveID("A1");
    ASSERT_TRUE(report);
    EXPECT_EQ(inventory->numDuplicates(*report), 2);
    EXPECT_EQ(inventory->numDuplicates(*inventory->getByArchiveID("A3")), 0);
    execute("UPDATE inventory_items SET local_delete = 1 WHERE archive_id = 'A5'");
    EXPECT_EQ(inventory->numDuplicates(*report), 1);
}

TEST_F(InventoryQueryTest, IgnoreCaseComesFromUserDefaultsAndIsRestored) {
    // A fresh connection compares case-sensitively.
    vault->db().close();
    EXPECT_TRUE(search("photo.jpg").empty());
    UserDefaults::standard()->setBool(Inventory::kIgnoreCaseKey, true);
    EXPECT_EQ(search("photo.jpg"), (std::vector<std::string>{"photos/Photo.jpg"}));
    EXPECT_EQ(search("^img"), (std::vector<std::string>{"photos/IMG_0001.jpg"}));
    UserDefaults::standard()->setBool(Inventory::kIgnoreCaseKey, false);
    EXPECT_TRUE(search("photo.jpg").empty());
    // Other LIKE users on the connection still see the case-sensitive setting.
    EXPECT_EQ(queryInt("SELECT 'A' LIKE 'a'"), 0);
}

TEST_F(InventoryQueryTest, FolderSortAndLimit) {
    InventoryDir root = inventory->rootDir();
    // A folder archive is an item of its parent folder.
    EXPECT_EQ(names(inventory->items({.dir = &root})),
              (std::vector<std::string>{"notes.txt", "docs/"}));
    InventoryDir docs(inventory, "docs", "");
    EXPECT_EQ(names(inventory->items({.dir = &docs, .sort = Sort{"size", true}})),
              (std::vector<std::string>{"docs/report.txt"}));
    EXPECT_EQ(names(inventory->items({.sort = Sort{"name", true}, .limit = 2})),
              (std::vector<std::string>{"docs/", "docs/report.txt"}));
    EXPECT_EQ(inventory->items({.limit = -1}).size(), 8u);
    UserDefaults::standard()->setInteger(Inventory::kMaxItemsKey, 3);
    EXPECT_EQ(Inventory::create(vault)->inventoryMaxItems(), 3);
    // An empty key is no sort at all.
    EXPECT_EQ(inventory->items({.sort = Sort{"", false}}).size(), 8u);
    // Only columns of the table can sort; anything else fails the query.
    EXPECT_TRUE(inventory->items({.sort = Sort{"size; DROP TABLE x", true}}).empty());
    // Column names match in any case.
    auto bySize = names(inventory->items({.sort = Sort{"size", false}}));
    EXPECT_FALSE(bySize.empty());
    EXPECT_EQ(names(inventory->items({.sort = Sort{"SIZE", false}})), bySize);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventory_items"), 8);
}

TEST_F(InventoryQueryTest, LocalAdditionsAndDeletions) {
    journal("add", "NEW", "docs/new.txt", 1700000000);
    journal("delete", "A1", "", 1700000001);
    vault->db().inDatabase([&](Database& db) { inventory->reconcileLocalArchivesInDB(db); });

    EXPECT_EQ(std::ranges::count(search("docs/"), "docs/new.txt"), 1);
    EXPECT_EQ(std::ranges::count(search("docs/"), "docs/report.txt"), 0);
    EXPECT_EQ(std::ranges::count(search("docs/", false), "docs/new.txt"), 0);
    EXPECT_EQ(std::ranges::count(search("docs/", false), "docs/report.txt"), 1);

    auto added = inventory->getByArchiveID("NEW");
    ASSERT_TRUE(added);
    EXPECT_FALSE(added->inventoryDate);
    EXPECT_EQ(inventory->getByArchiveID("A3")->inventoryDate, inventory->inventoryDate);
    EXPECT_FALSE(inventory->getByArchiveID("A1"));
    EXPECT_FALSE(inventory->getByName("docs/report.txt"));
    EXPECT_TRUE(inventory->getByName("docs/new.txt"));
    EXPECT_FALSE(inventory->getByName("docs/new"));

    // Orphans: every visible item under a prefix that is not in the given set.
    auto orphans = names(inventory->findOrphaned("docs/", {"docs/", "docs/new.txt"}));
    EXPECT_EQ(orphans, (std::vector<std::string>{"docs/tmp/scratch.txt"}));
}

TEST_F(InventoryQueryTest, DeletingTheLastFileRemovesEmptiedFoldersAndWritingKeepsExistingRows) {
    InventoryPtr tree = inventoryWith({{"a/b/c.txt", 4}, {"keep/", 1}, {"keep/z.txt", 4}});
    ASSERT_EQ(rowsOf("directories", tree->id), 3);
    Archive deletion(vault);
    deletion.action = Archive::Action::Delete;
    deletion.archiveID = "A0";
    deletion.creationDate = 1700000000;
    tree->updateArchive(deletion);
    EXPECT_EQ(queryInt("SELECT local_delete FROM inventory_items WHERE archive_id = 'A0' AND "
                       "inventory_id = ?",
                       {tree->id}),
              1700000000);
    EXPECT_EQ(names(tree->rootDir().subdirectories()), (std::vector<std::string>{"keep"}));

    // The folder archive keeps its folder.
    deletion.archiveID = "A2";
    tree->updateArchive(deletion);
    EXPECT_EQ(names(tree->rootDir().subdirectories()), (std::vector<std::string>{"keep"}));

    // Deleting the folder archive itself, now the last item, drops the folder.
    deletion.archiveID = "A1";
    tree->updateArchive(deletion);
    EXPECT_TRUE(tree->rootDir().subdirectories().empty());
    inventory->writeDirectory("/x/y/z/");
    InventoryDir x(inventory, "x", "");
    EXPECT_TRUE(x.exists());
    EXPECT_EQ(names(x.subdirectories()), (std::vector<std::string>{"x/y"}));
    InventoryDir y(inventory, "y", "x");
    y.setExpanded(true);
    inventory->writeDirectory("x/y/w");
    auto children = x.subdirectories();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_TRUE(children[0].expanded());
    EXPECT_EQ(names(children[0].subdirectories()), (std::vector<std::string>{"x/y/w", "x/y/z"}));
    // Slashes alone name no folder.
    inventory->writeDirectory("//");
    inventory->writeDirectory("/");
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventory_directories WHERE name = ''"), 0);
}

// Every statement the queries, the folder tree and the mapping import run on the inventory
// tables is checked with EXPLAIN QUERY PLAN, without planner statistics (as after a large
// import) and with them (as an opened database has them): none may scan a whole table, search
// by a visibility column (nearly all NULL, so such a search walks the whole inventory) when
// another index selects the rows, nor walk a whole inventory through an index that fetches
// each row at random (chosen, for example, to save the sort of a small result).
TEST_F(InventoryQueryTest, NoStatementScansAWholeTable) {
    // Another vault's inventory shares the table, as in any account with several vaults.
    std::vector<std::pair<std::string, std::int64_t>> others;
    for (int i = 0; i < 40; ++i) {
        others.emplace_back("other/" + std::to_string(i), i);
    }
    inventoryWith(others, 1500000000);
    std::set<std::string> statements;
    // With the arguments in the text: a LIKE or GLOB prefix narrows an index range only when
    // its pattern is known, as it is once bound.
    auto trace = [](unsigned, void* context, void* statement, void*) {
        char* text = sqlite3_expanded_sql(static_cast<sqlite3_stmt*>(statement));
        static_cast<std::set<std::string>*>(context)->insert(text != nullptr ? text : "");
        sqlite3_free(text);
        return 0;
    };
    vault->db().inDatabase([&](Database& db) {
        sqlite3_trace_v2(db.handle(), SQLITE_TRACE_STMT, trace, &statements);
    });

    for (const char* query : {"", "txt", "!tmp", "^IMG", "!^IMG"}) {
        inventory->items({.search = query});
        inventory->countItems({.search = query, .withLocal = false});
    }
    inventory->items({.search = "hash:" + std::string(64, 'c')});
    inventory->items({.search = "archive:" + std::string(40, 'q')});
    InventoryDir docs(inventory, "docs", "");
    inventory->items({.dir = &docs, .sort = Sort{"name", true}});
    inventory->findItemsWithPrefix("docs/");
    inventory->findOrphaned("docs/", {});
    inventory->numDuplicates(*inventory->getByArchiveID("A1"));
    inventory->getByName("docs/report.txt");
    inventory->getByID(1);
    docs.inventoryItem();
    docs.exists();
    docs.setExpanded(true);
    docs.subdirectories();
    docs.subtreeTotals();
    inventory->rootDir().subtreeTotals();
    docs.descendants();
    inventory->rootDir().descendants();
    docs.calculateSize([](bool, std::int64_t, std::int64_t) {});
    inventory->writeDirectory("docs/new/deeper");
    // The journal keeps the side file in step when it matched the items before.
    vault->db().inDatabase([&](Database& db) { InventoryIndex::seal(db, inventory->id); });
    journal("delete", "A2", "", 1700000001);
    journal("add", "NEW", "docs/new.txt", 1700000000);
    vault->db().inDatabase([&](Database& db) { inventory->reconcileLocalArchivesInDB(db); });
    MappingData mapping;
    mapping.map = {{"A3", "mapped/IMG_0001.jpg"}, {"A5", "mapped/notes.txt"}};
    EXPECT_EQ(mapping.importInto(*inventory), 2);

    int checked = 0;
    auto checkPlans = [&](Database& db, const char* statistics) {
        for (const std::string& sql : statements) {
            // ("-- " opens the statements of the name index's own machinery.)
            if (sql.find("inventory_") == std::string::npos || sql.starts_with("INSERT") ||
                sql.starts_with("-- ") || sql.starts_with("PRAGMA") || sql.starts_with("ANALYZE")) {
                continue;
            }
            ++checked;
            sqlite3_stmt* plan = nullptr;
            ASSERT_EQ(sqlite3_prepare_v2(db.handle(), ("EXPLAIN QUERY PLAN " + sql).c_str(), -1,
                                         &plan, nullptr),
                      SQLITE_OK)
                << sql;
            while (sqlite3_step(plan) == SQLITE_ROW) {
                const std::string step =
                    reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
                const std::string where = statistics + std::string("\n") + sql + "\n" + step;
                EXPECT_FALSE(step.starts_with("SCAN inventory_")) << where;
                EXPECT_EQ(step.find("local_delete=?"), std::string::npos) << where;
                EXPECT_EQ(step.find("local_add=?"), std::string::npos) << where;
                // Only the inventory's own index (in row order) or a covering one may take
                // every row of an inventory.
                const bool wholeInventory = step.ends_with("(inventory_id=?)");
                EXPECT_FALSE(wholeInventory && step.find(" USING INDEX ") != std::string::npos &&
                             step.find("_inventory_id ") == std::string::npos)
                    << where;
            }
            sqlite3_finalize(plan);
        }
    };
    vault->db().inDatabase([&](Database& db) {
        sqlite3_trace_v2(db.handle(), 0, nullptr, nullptr);
        ASSERT_TRUE(db.executeUpdate("DELETE FROM sqlite_stat1"));
        ASSERT_TRUE(db.executeUpdate("ANALYZE sqlite_schema"));
        checkPlans(db, "without statistics");
        ASSERT_TRUE(db.executeUpdate("ANALYZE"));
        checkPlans(db, "with statistics");
    });
    EXPECT_GE(checked, 40);
}

// The folder tree.
using InventoryDirTest = InventoryFixture;

TEST_F(InventoryDirTest, RootChildrenAndTheirExpandedState) {
    InventoryPtr inventory = inventoryWith({{"b/", 1},
                                            {"b/Z/1.txt", 2},
                                            {"b/a/2.txt", 2},
                                            {"b/_/3.txt", 2},
                                            {"A/x.txt", 2},
                                            {"top.txt", 7}});
    InventoryDir root = inventory->rootDir();
    EXPECT_TRUE(root.expanded());
    EXPECT_EQ(root.depth(), 0);
    EXPECT_EQ(root.name(), "");
    EXPECT_FALSE(root.inventoryItem());
    // Byte-wise order: upper case before "_" before lower case.
    EXPECT_EQ(names(root.subdirectories()), (std::vector<std::string>{"A", "b"}));

    InventoryDir b = root.subdirectories()[1];
    EXPECT_EQ(b.depth(), 1);
    EXPECT_EQ(names(b.subdirectories()), (std::vector<std::string>{"b/Z", "b/_", "b/a"}));
    InventoryDir z = b.subdirectories()[0];
    EXPECT_EQ(z.baseName(), "Z");
    EXPECT_EQ(z.dirName(), "b");
    EXPECT_EQ(z.depth(), 2);
    EXPECT_TRUE(z.subdirectories().empty());

    // Only a 1-byte "<name>/" archive represents a folder.
    ASSERT_TRUE(b.inventoryItem());
    EXPECT_EQ(b.inventoryItem()->archiveID, "A0");
    EXPECT_FALSE(root.subdirectories()[0].inventoryItem());
    execute("UPDATE inventory_items SET size = 2 WHERE archive_id = 'A0'");
    EXPECT_FALSE(b.inventoryItem());

    EXPECT_TRUE(z.exists());
    EXPECT_FALSE(InventoryDir(inventory, "nope", "b").exists());

    // Expanded is stored only when it changes: the same value again writes nothing, and a row
    // changed meanwhile stays as it is.
    InventoryDir a = root.subdirectories()[0];
    const std::string expandedOfA = "SELECT expanded FROM inventory_directories WHERE name = 'A'";
    EXPECT_FALSE(a.expanded());
    a.setExpanded(true);
    EXPECT_TRUE(a.expanded());
    EXPECT_EQ(queryInt(expandedOfA), 1);
    EXPECT_TRUE(inventory->rootDir().subdirectories().at(0).expanded());
    execute("UPDATE inventory_directories SET expanded = 0 WHERE name = 'A'");
    a.setExpanded(true);
    EXPECT_EQ(queryInt(expandedOfA), 0);
    a.setExpanded(false);
    EXPECT_EQ(queryInt(expandedOfA), 0);
    root.setExpanded(false);
    EXPECT_TRUE(root.expanded());
}

TEST_F(InventoryDirTest, SizeCountsFilesBelowButNotFolderArchivesOrDeletions) {
    InventoryPtr inventory = inventoryWith({
        {"f/", 1},
        {"f/ten.bin", 10},
        {"f/one.bin", 1},
        {"f/sub/five.bin", 5},
        {"f/sub/gone.bin", 100},
        {"f/big/", 9},  // named as a folder, but not 1 byte: a file
        {"fx/other.bin", 1000},
        {"top.bin", 3},
        {"a_b/in.bin", 4},
        {"axb/sibling.bin", 8},
    });
    execute("UPDATE inventory_items SET local_delete = 1 WHERE archive_id = 'A4'");
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "f", "")), (Size{true, 24, 3}));
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "sub", "f")), (Size{true, 5, 1}));
    // The root counts only the files at the top.
    EXPECT_EQ(sizeOf(inventory->rootDir()), (Size{true, 3, 1}));
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "empty", "")), (Size{true, 0, 0}));
    // "_" is a LIKE wildcard: a_b also takes in what lies below its sibling axb.
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "a_b", "")), (Size{true, 4, 1}));
    inventory->writeDirectory("a_b/deeper");
    execute("UPDATE inventory_items SET dir_name = 'axb/deeper' WHERE archive_id = 'A9'");
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "a_b", "")), (Size{true, 12, 2}));

    // Local additions count, also one stored after the rows of another inventory.
    inventoryWith({{"f/elsewhere.bin", 500}}, 1500000000);
    journal("add", "NEW", "f/sub/new.bin", 1700000000, 50);
    vault->db().inDatabase([&](Database& db) { inventory->reconcileLocalArchivesInDB(db); });
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "f", "")), (Size{true, 74, 4}));

    // The totals of many folders at once, by exact paths, `levels` deep (1: the children).
    using Plain = std::map<std::string, Size>;
    auto totals = [](const InventoryDir& dir, int levels = InventoryDir::kAllLevels) {
        Plain plain;
        for (const auto& [name, total] : dir.subtreeTotals(levels)) {
            plain[name] = {true, total.size, total.count};
        }
        return plain;
    };
    const Plain top = {{"", {true, 1089, 8}},
                       {"a_b", {true, 4, 1}},
                       {"axb", {true, 8, 1}},
                       {"f", {true, 74, 4}},
                       {"fx", {true, 1000, 1}}};
    Plain all = top;
    all.insert({{"axb/deeper", {true, 8, 1}}, {"f/sub", {true, 55, 2}}});
    EXPECT_EQ(totals(inventory->rootDir()), all);
    EXPECT_EQ(totals(inventory->rootDir(), 1), top);
    EXPECT_EQ(totals(inventory->rootDir(), 0), (Plain{{"", {true, 1089, 8}}}));
    EXPECT_EQ(totals(InventoryDir(inventory, "f", "")),
              (Plain{{"f", {true, 74, 4}}, {"f/sub", {true, 55, 2}}}));
    EXPECT_EQ(totals(InventoryDir(inventory, "a_b", "")), (Plain{{"a_b", {true, 4, 1}}}));

    // A database that cannot answer reports failure.
    execute("DROP TABLE inventory_items");
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "f", "")), (Size{false, 0, 0}));
}

}  // namespace
}  // namespace quillon::testing
