#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/Regions.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/platform/MainQueue.h"
#include "interfaces/platform/UserDefaults.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryDir.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "support/ModelState.h"
#include "support/Simulator.h"
#include "support/TempDir.h"
#include "transfers/Archive.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::testing {

// A fresh application directory and one saved account whose region "local-1" is served by a
// simulator; the vault "photos" exists locally with the service's ARN. Console diagnostics are
// silenced.
class InventoryFixture : public ::testing::Test {
  protected:
    static constexpr const char* kVault = "photos";

    void SetUp() override {
        previousSink_ = ConsoleLog::setSink([](const std::string&) {});
        account = saveTestAccount("Test", sim.accessKey(), sim.secretKey(),
                                  {addTestRegion("local-1", "Local", sim.regionURL("local-1"))});
        accountRegion = account->accountRegion("local-1");
        vault = Vault::create(accountRegion);
        vault->name = kVault;
        vault->data =
            JSON::parse(std::string(R"({"VaultName": "photos", "VaultARN": ")") + arn() + R"("})");
        vault->save();
    }

    void TearDown() override { ConsoleLog::setSink(previousSink_); }

    static std::string arn(const std::string& name = kVault) {
        return "arn:aws:glacier:local-1:123456789012:vaults/" + name;
    }

    InventoryManager& manager() { return vault->inventoryManager(); }

    // A complete inventory with items given as (description, size) pairs, created at
    // 2020-01-01 + index seconds, tree hash "h" + size.
    InventoryPtr inventoryWith(const std::vector<std::pair<std::string, std::int64_t>>& items,
                               double date = 1600000000) {
        InventoryPtr inventory = manager().create(date);
        vault->db().inDatabase([&](Database& db) {
            int index = 0;
            for (const auto& [description, size] : items) {
                InventoryItem item;
                item.archiveID = "A" + std::to_string(index);
                item.archiveDescription = description;
                item.creationDate = 1577836800 + index;
                item.size = size;
                item.treeHash = "h" + std::to_string(size);
                item.decodeDescription();
                item.insertToDB(db, inventory->id);
                inventory->writeDirectoryToDBForItemName(db, item.name);
                ++index;
            }
            inventory->markDoneInDB(db);
        });
        return inventory;
    }

    static std::vector<std::string> names(const std::vector<InventoryItemPtr>& items) {
        std::vector<std::string> list;
        for (const auto& item : items) {
            list.push_back(item->name);
        }
        return list;
    }

    static std::vector<std::string> names(const std::vector<InventoryDir>& dirs) {
        std::vector<std::string> list;
        for (const auto& dir : dirs) {
            list.push_back(dir.name());
        }
        return list;
    }

    std::int64_t queryInt(const std::string& sql, const SqlArgs& args = {}) {
        std::int64_t value = -1;
        vault->db().inDatabase(
            [&](Database& db) { value = db.longForQuery(sql, args).value_or(-1); });
        return value;
    }

    void execute(const std::string& sql, const SqlArgs& args = {}) {
        vault->db().inDatabase([&](Database& db) { ASSERT_TRUE(db.executeUpdate(sql, args)); });
    }

    // A journal row of the vault, as the archive operations write it.
    void journal(const std::string& action, const std::string& archiveID,
                 const std::string& description, std::int64_t createdAt, std::int64_t size = 10) {
        execute(
            "INSERT INTO archives (action, archive_id, description, size, tree_hash, created_at, "
            "region, vault) VALUES (?, ?, ?, ?, ?, ?, 'local-1', ?)",
            {action, archiveID, description, size, std::string("jh"), createdAt,
             std::string(kVault)});
    }

    std::string writeFile(const std::string& name, const std::string& content) {
        std::string path = home.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    TempDir home;
    Simulator sim;
    FreshModelState state{home.path()};
    AccountPtr account;
    AccountRegionPtr accountRegion;
    VaultPtr vault;

  private:
    ConsoleLog::Sink previousSink_;
};

}  // namespace quillon::testing
