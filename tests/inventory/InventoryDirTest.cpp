#include "InventoryFixture.h"

namespace quillon::testing {
namespace {

class InventoryDirTest : public InventoryFixture {
  protected:
    struct Size {
        bool ok = false;
        std::int64_t bytes = -1;
        std::int64_t count = -1;
        bool operator==(const Size&) const = default;
    };

    static Size sizeOf(const InventoryDir& dir) {
        Size size;
        dir.calculateSize([&](bool ok, std::int64_t bytes, std::int64_t count) {
            size = {ok, bytes, count};
        });
        return size;
    }
};

TEST_F(InventoryDirTest, RootAndChildren) {
    InventoryPtr inventory = inventoryWith({
        {"b/", 1},
        {"b/Z/1.txt", 2},
        {"b/a/2.txt", 2},
        {"b/_/3.txt", 2},
        {"A/x.txt", 2},
        {"top.txt", 7},
    });
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
}

TEST_F(InventoryDirTest, ExpandedIsStoredOnlyWhenItChanges) {
    InventoryPtr inventory = inventoryWith({{"a/b/c.txt", 2}});
    InventoryDir a = inventory->rootDir().subdirectories().at(0);
    EXPECT_FALSE(a.expanded());
    a.setExpanded(true);
    EXPECT_TRUE(a.expanded());
    EXPECT_EQ(queryInt("SELECT expanded FROM inventory_directories WHERE name = 'a'"), 1);
    EXPECT_TRUE(inventory->rootDir().subdirectories().at(0).expanded());

    // The same value again writes nothing: a row changed meanwhile stays as it is.
    execute("UPDATE inventory_directories SET expanded = 0 WHERE name = 'a'");
    a.setExpanded(true);
    EXPECT_EQ(queryInt("SELECT expanded FROM inventory_directories WHERE name = 'a'"), 0);
    a.setExpanded(false);
    EXPECT_EQ(queryInt("SELECT expanded FROM inventory_directories WHERE name = 'a'"), 0);

    InventoryDir root = inventory->rootDir();
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

    // Local additions count.
    journal("add", "NEW", "f/sub/new.bin", 1700000000, 50);
    vault->db().inDatabase([&](Database& db) { inventory->reconcileLocalArchivesInDB(db); });
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "f", "")), (Size{true, 74, 4}));

    // A database that cannot answer reports failure.
    execute("DROP TABLE inventory_items");
    EXPECT_EQ(sizeOf(InventoryDir(inventory, "f", "")), (Size{false, 0, 0}));
}

}  // namespace
}  // namespace quillon::testing
