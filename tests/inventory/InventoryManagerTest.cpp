// Tests of InventoryManager: the latest inventory, lookups, purges and deletion.
// Threads: run on the test's thread.
#include "InventoryFixture.h"

namespace quillon::testing {
namespace {

using InventoryManagerTest = InventoryFixture;

TEST_F(InventoryManagerTest, LatestPrefersNewestDateThenHigherIdAndSkipsIncomplete) {
    EXPECT_FALSE(manager().latest());
    EXPECT_TRUE(manager().all().empty());

    InventoryPtr placeholder;
    vault->db().inDatabase([&](Database& db) { placeholder = manager().createDummyInDB(db); });
    ASSERT_TRUE(manager().latest());
    EXPECT_EQ(manager().latest()->id, placeholder->id);
    EXPECT_EQ(manager().latest()->inventoryDate, 0);
    EXPECT_EQ(manager().latest()->description(), "Inventory " + std::to_string(placeholder->id));

    InventoryPtr first = inventoryWith({{"a.txt", 3}}, 1600000000);
    InventoryPtr second = inventoryWith({{"b.txt", 3}}, 1600000000);
    // Newer, but its import never finished.
    InventoryPtr unfinished = manager().create(1700000000);
    EXPECT_FALSE(unfinished->done());

    InventoryPtr latest = manager().latest();
    ASSERT_TRUE(latest);
    EXPECT_EQ(*latest, *second);
    EXPECT_TRUE(latest->done());
    EXPECT_EQ(manager().all().size(), 3u);

    vault->db().inDatabase([&](Database& db) { manager().removeOldInventoriesFromDB(db); });
    auto remaining = manager().all();
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_EQ(remaining[0]->id, second->id);
    EXPECT_FALSE(manager().get(first->id));
    EXPECT_EQ(rowsOf("items", first->id), 0);
    EXPECT_EQ(rowsOf("directories", placeholder->id), 0);
    // Pruning leaves the unfinished import alone.
    ASSERT_TRUE(manager().get(unfinished->id));
    EXPECT_FALSE(manager().get(unfinished->id)->done());
}

TEST_F(InventoryManagerTest, LookupsStayInsideTheVaultAndRegion) {
    InventoryPtr mine = inventoryWith({});
    auto other = Vault::create(accountRegion);
    other->name = "other";
    EXPECT_FALSE(other->inventoryManager().get(mine->id));
    EXPECT_FALSE(other->inventoryManager().latest());
    EXPECT_EQ(&vault->inventoryManager(), &manager());

    execute("UPDATE inventories SET region = 'elsewhere' WHERE id = ?", {mine->id});
    EXPECT_FALSE(manager().get(mine->id));
    EXPECT_FALSE(manager().latest());
}

TEST_F(InventoryManagerTest, CreatePurgesRowsLeftUnderAReusedId) {
    InventoryPtr old = inventoryWith({{"x/y.txt", 3}});
    const std::int64_t reused = old->id;
    // Only the inventory row goes, as a crash between statements would leave it.
    execute("DELETE FROM inventories WHERE id = ?", {reused});
    InventoryPtr fresh = manager().create(1650000000);
    ASSERT_EQ(fresh->id, reused);
    EXPECT_EQ(fresh->inventoryDate, 1650000000);
    EXPECT_FALSE(fresh->importDoneDate);
    EXPECT_EQ(rowsOf("items", reused), 0);
    EXPECT_EQ(rowsOf("directories", reused), 0);
}

TEST_F(InventoryManagerTest, MarkDoneWritesOnceAndNeverForUnstoredAndMaxItemsComeFromUserDefaults) {
    InventoryPtr inventory = manager().create(1650000000);
    vault->db().inDatabase([&](Database& db) { inventory->markDoneInDB(db); });
    ASSERT_TRUE(inventory->done());
    execute("UPDATE inventories SET import_done_at = 5 WHERE id = ?", {inventory->id});
    vault->db().inDatabase([&](Database& db) { inventory->markDoneInDB(db); });
    EXPECT_EQ(queryInt("SELECT import_done_at FROM inventories WHERE id = ?", {inventory->id}), 5);

    InventoryPtr unstored = Inventory::create(vault);
    vault->db().inDatabase([&](Database& db) {
        unstored->markDoneInDB(db);
        unstored->deleteFromDB(db);
    });
    EXPECT_FALSE(unstored->done());
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventories"), 1);

    inventory->remove();
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventories"), 0);
    EXPECT_EQ(Inventory::create(vault)->inventoryMaxItems(), 5000000);
    for (const int unusable : {0, -3}) {
        UserDefaults::standard()->setInteger(Inventory::kMaxItemsKey, unusable);
        EXPECT_EQ(Inventory::create(vault)->inventoryMaxItems(), 5000000);
    }
    UserDefaults::standard()->setInteger(Inventory::kMaxItemsKey, 20000);
    auto reader = Inventory::create(vault);
    EXPECT_EQ(reader->inventoryMaxItems(), 20000);
    // Kept once read.
    UserDefaults::standard()->setInteger(Inventory::kMaxItemsKey, 7);
    EXPECT_EQ(reader->inventoryMaxItems(), 20000);
}

TEST_F(InventoryManagerTest, DeletingLocalDataRemovesInventoriesAndSavedItemsExistWithFolders) {
    InventoryPtr a = inventoryWith({{"a/b.txt", 3}});
    InventoryPtr b = inventoryWith({{"c.txt", 3}}, 1700000000);
    auto other = Vault::create(accountRegion);
    other->name = "other";
    other->data = JSON::parse(R"({"VaultName": "other"})");
    other->save();
    InventoryPtr foreign = other->inventoryManager().create(1600000000);
    vault->db().inDatabase([&](Database& db) {
        foreign->markDoneInDB(db);
        vault->deleteLocalData(db);
    });
    EXPECT_TRUE(manager().all().empty());
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventory_items"), 0);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventories"), 1);
    EXPECT_TRUE(other->inventoryManager().latest());
    // An item saved into a stored inventory by itself, as an upload adds it.
    InventoryPtr inventory = manager().create(1600000000);
    auto first = listedItem("A", "a/b/c.txt");
    EXPECT_FALSE(first->exists());
    EXPECT_EQ(first->numDuplicates(), 0);
    first->saveTo(inventory, true);
    EXPECT_EQ(first->inventory, inventory);
    EXPECT_TRUE(first->exists());

    auto second = listedItem("B", "x%2Fy");
    second->saveTo(inventory, false);
    EXPECT_EQ(first->numDuplicates(), 1);

    vault->db().inDatabase([&](Database& db) {
        EXPECT_EQ(db.longForQuery("SELECT COUNT(*) FROM inventory_directories WHERE "
                                  "inventory_id = ? AND name IN ('a', 'a/b')",
                                  {sqlInt(inventory->id)}),
                  2);
        EXPECT_EQ(db.longForQuery("SELECT COUNT(*) FROM inventory_directories WHERE name = 'x'"),
                  0);
        db.executeUpdate("UPDATE inventory_items SET local_delete = 1 WHERE archive_id = 'A'");
    });
    EXPECT_FALSE(first->exists());

    // Read back through the inventory: its date and the decoded path.
    const auto loaded = inventory->getByArchiveID("B");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->name, "x/y");
    EXPECT_EQ(loaded->inventoryDate, 1600000000);
    EXPECT_EQ(loaded->inventory, inventory);
}

}  // namespace
}  // namespace quillon::testing
