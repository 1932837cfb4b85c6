// InventoryFixture: the inventory tests' fixture and its document and row helpers.
// Threads: the test's thread only, as ModelFixture.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "interfaces/base/ConsoleLog.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryDir.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "support/ModelFixture.h"
#include "transfers/Archive.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::testing {

// Folder totals as (size, count) by folder name, comparable in one assertion.
using Sums = std::map<std::string, std::pair<std::int64_t, std::int64_t>>;

inline Sums sums(const InventoryDir::TotalsMap& totals) {
    Sums out;
    for (const auto& [name, entry] : totals) {
        out[name] = {entry.size, entry.count};
    }
    return out;
}

// An item as an inventory document lists it: tree hash "h" + size, path decoded.
inline InventoryItemPtr listedItem(const std::string& archiveID, const std::string& description,
                                   std::int64_t size = 10, double created = 1577836800) {
    auto item = std::make_shared<InventoryItem>();
    item->archiveID = archiveID;
    item->archiveDescription = description;
    item->creationDate = created;
    item->size = size;
    item->treeHash = "h" + std::to_string(size);
    item->decodeDescription();
    return item;
}

// A fresh application directory and one saved account whose region "local-1" is served by a
// simulator; the vault "photos" exists locally with the service's ARN. Console diagnostics are
// silenced.
class InventoryFixture : public ModelFixture {
  protected:
    static constexpr const char* kVault = "photos";

    InventoryFixture() = default;
    explicit InventoryFixture(Simulator::Options options) : ModelFixture(std::move(options)) {}

    void SetUp() override {
        previousSink_ = ConsoleLog::setSink([](const std::string&) {});
        ModelFixture::SetUp();
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

    // A complete inventory with items "A0"... given as (description, size) pairs, created at
    // 2020-01-01 + index seconds.
    InventoryPtr inventoryWith(const std::vector<std::pair<std::string, std::int64_t>>& items,
                               double date = 1600000000) {
        InventoryPtr inventory = manager().create(date);
        vault->db().inDatabase([&](Database& db) {
            for (std::size_t i = 0; i < items.size(); ++i) {
                auto item = listedItem("A" + std::to_string(i), items[i].first, items[i].second,
                                       1577836800 + static_cast<double>(i));
                item->insertToDB(db, inventory->id);
                inventory->writeDirectoryToDBForItemName(db, item->name);
            }
            inventory->markDoneInDB(db);
        });
        return inventory;
    }

    // An archive entry of an inventory document, and a document of the vault listing entries.
    static std::string archiveJSON(const std::string& id, const std::string& description,
                                   const std::string& size = "10",
                                   const std::string& hash = "\"h\"",
                                   const std::string& date = "\"2020-01-02T03:04:05Z\"") {
        return "{\"ArchiveId\":\"" + id + "\",\"ArchiveDescription\":\"" + description +
               "\",\"CreationDate\":" + date + ",\"Size\":" + size + ",\"SHA256TreeHash\":" + hash +
               "}";
    }

    // Entries "id-0"... with the names and sizes given and a full-length tree hash.
    static std::vector<std::string> numberedArchives(
        int count, const std::function<std::string(int)>& name,
        const std::function<int(int)>& size = [](int) { return 10; }) {
        std::vector<std::string> list;
        for (int i = 0; i < count; ++i) {
            list.push_back(archiveJSON("id-" + std::to_string(i), name(i), std::to_string(size(i)),
                                       "\"" + std::string(64, 'a') + "\""));
        }
        return list;
    }

    static std::string header(const std::string& vaultARN = arn()) {
        return "{\"VaultARN\":\"" + vaultARN + "\",\"InventoryDate\":\"2021-05-06T07:08:09Z\",";
    }

    static std::string document(const std::vector<std::string>& archives) {
        std::string text = header() + "\"ArchiveList\":[";
        for (std::size_t i = 0; i < archives.size(); ++i) {
            text += (i ? "," : "") + archives[i];
        }
        return text + "]}";
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

    // How many rows of inventory_items or inventory_directories (`table` is "items" or
    // "directories") belong to the inventory.
    std::int64_t rowsOf(const std::string& table, std::int64_t inventoryID) {
        return queryInt("SELECT COUNT(*) FROM inventory_" + table + " WHERE inventory_id = ?",
                        {inventoryID});
    }

    // What a folder's calculateSize reports: whether it worked, bytes and files.
    using Size = std::tuple<bool, std::int64_t, std::int64_t>;

    static Size sizeOf(const InventoryDir& dir) {
        Size size{false, -1, -1};
        dir.calculateSize([&](bool ok, std::int64_t bytes, std::int64_t count) {
            size = {ok, bytes, count};
        });
        return size;
    }

    VaultPtr vault;

  private:
    ConsoleLog::Sink previousSink_;
};

}  // namespace quillon::testing
