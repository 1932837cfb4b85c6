#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "accounts/Region.h"
#include "accounts/Regions.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/platform/MainQueue.h"
#include "interfaces/platform/UserDefaults.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "support/ModelState.h"
#include "support/TempDir.h"
#include "vaults/Vault.h"
#include "vaults/VaultCache.h"

namespace quillon {
namespace {

// An item bound to a stored inventory of a local vault; no request is ever made.
class InventoryItemInventoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previousSink = ConsoleLog::setSink([](const std::string&) {});
        auto account = testing::saveTestAccount(
            "Items", "AKIDITEMS", "secret",
            {testing::addTestRegion("local-1", "Local", "http://127.0.0.1:9/")});
        vault = Vault::create(account->accountRegion("local-1"));
        vault->name = "v";
        inventory = vault->inventoryManager().create(1600000000);
    }
    void TearDown() override { ConsoleLog::setSink(previousSink); }

    InventoryItemPtr item(const std::string& archiveID, const std::string& description) {
        auto result = std::make_shared<InventoryItem>();
        result->archiveID = archiveID;
        result->archiveDescription = description;
        result->size = 10;
        result->treeHash = "same";
        result->decodeDescription();
        return result;
    }

    testing::TempDir home;
    testing::FreshModelState state{home.path()};
    ConsoleLog::Sink previousSink;
    VaultPtr vault;
    InventoryPtr inventory;
};

TEST_F(InventoryItemInventoryTest, SavedItemsExistWithFoldersAndDuplicates) {
    auto first = item("A", "a/b/c.txt");
    EXPECT_FALSE(first->exists());
    EXPECT_EQ(first->numDuplicates(), 0);
    first->saveTo(inventory, true);
    EXPECT_EQ(first->inventory, inventory);
    EXPECT_TRUE(first->exists());

    auto second = item("B", "x%2Fy");
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
}  // namespace quillon
