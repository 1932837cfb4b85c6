// InventoryManager: the inventory rows of a vault. Threads: as in InventoryManager.h.
#include "inventory/InventoryManager.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "foundation/ModelError.h"
#include "foundation/Support.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryIndex.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

constexpr const char* kCompleteCondition =
    "(inventory_date = 0 OR (inventory_date > 0 AND import_done_at IS NOT NULL))";

// The platform's printed form of a date: "2014-01-02 03:04:05 +0000".
std::string dateText(double seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
    return buffer;
}

}  // namespace

InventoryManager::InventoryManager(Vault& vault) : vault_(vault) {}

InventoryPtr InventoryManager::latestFromDB(Database& db) {
    auto id =
        db.longForQuery(std::string("SELECT id FROM inventories WHERE ") + kCompleteCondition +
                            " AND region = ? AND vault = ? ORDER BY inventory_date DESC, id "
                            "DESC LIMIT 1",
                        {vault_.accountRegion()->region()->id(), vault_.name});
    if (!id) {
        return nullptr;
    }
    return getFromDB(db, *id);
}

InventoryPtr InventoryManager::latest() {
    InventoryPtr result;
    vault_.db().inDatabase([&](Database& db) { result = latestFromDB(db); });
    return result;
}

std::vector<InventoryPtr> InventoryManager::allFromDB(Database& db) {
    std::vector<std::int64_t> ids;
    if (auto rows =
            db.executeQuery(std::string("SELECT id FROM inventories WHERE ") + kCompleteCondition +
                                " AND region = ? AND vault = ? ORDER BY inventory_date DESC",
                            {vault_.accountRegion()->region()->id(), vault_.name})) {
        while (rows->next()) {
            ids.push_back(rows->longForColumn(0));
        }
    }
    std::vector<InventoryPtr> inventories;
    for (std::int64_t id : ids) {
        if (auto inventory = getFromDB(db, id)) {
            inventories.push_back(std::move(inventory));
        }
    }
    return inventories;
}

std::vector<InventoryPtr> InventoryManager::all() {
    std::vector<InventoryPtr> result;
    vault_.db().inDatabase([&](Database& db) { result = allFromDB(db); });
    return result;
}

InventoryPtr InventoryManager::getFromDB(Database& db, std::int64_t id) {
    auto row = db.executeQuery(
        "SELECT inventory_date, import_done_at FROM inventories WHERE id = ? AND region = ? AND "
        "vault = ? LIMIT 1",
        {id, vault_.accountRegion()->region()->id(), vault_.name});
    if (!row || !row->next()) {
        return nullptr;
    }
    auto inventory = Inventory::create(vault_.shared_from_this());
    inventory->id = id;
    inventory->inventoryDate = static_cast<double>(row->longForColumn("inventory_date"));
    if (!row->columnIsNull("import_done_at")) {
        inventory->importDoneDate = static_cast<double>(row->longForColumn("import_done_at"));
    }
    return inventory;
}

InventoryPtr InventoryManager::get(std::int64_t id) {
    InventoryPtr result;
    vault_.db().inDatabase([&](Database& db) { result = getFromDB(db, id); });
    return result;
}

InventoryPtr InventoryManager::createInDB(Database& db, double inventoryDate) {
    auto inventory = Inventory::create(vault_.shared_from_this());
    inventory->inventoryDate = inventoryDate;
    if (!db.executeUpdate(
            "INSERT INTO inventories (inventory_date, vault, region, created_at) VALUES (?, ?, ?, "
            "?)",
            {static_cast<std::int64_t>(inventoryDate), vault_.name,
             vault_.accountRegion()->region()->id(), nowSeconds()})) {
        // The last row id would still name an earlier row, whose items must not be touched.
        throw ModelError::dbWriteError();
    }
    inventory->id = db.lastInsertRowId();
    // A removed last row frees its id for reuse; rows a crash left under it must not show.
    db.executeUpdate("DELETE FROM inventory_items WHERE inventory_id = ?", {inventory->id});
    db.executeUpdate("DELETE FROM inventory_directories WHERE inventory_id = ?", {inventory->id});
    InventoryIndex::start(db, inventory->id);
    NSLog("Vault %@: Create new inventory %@ %@",
          {vault_.name, std::to_string(inventory->id), dateText(inventoryDate)});
    return inventory;
}

InventoryPtr InventoryManager::create(double inventoryDate) {
    InventoryPtr result;
    vault_.db().inDatabase([&](Database& db) { result = createInDB(db, inventoryDate); });
    return result;
}

InventoryPtr InventoryManager::createDummyInDB(Database& db) {
    return createInDB(db, 0);
}

void InventoryManager::removeOldInventoriesFromDB(Database& db, std::optional<std::int64_t> kept) {
    InventoryPtr latest = kept ? getFromDB(db, *kept) : latestFromDB(db);
    std::vector<InventoryPtr> inventories = allFromDB(db);
    const std::int64_t keep = latest ? latest->id : 0;
    for (const InventoryPtr& inventory : inventories) {
        NSLog("Vault %@: removeOldInventoriesFromDB Found %@ %@",
              {vault_.name, std::to_string(inventory->id), dateText(inventory->inventoryDate)});
        if (inventory->id == keep) {
            continue;
        }
        inventory->deleteFromDB(db);
        NSLog("Vault %@: removeOldInventoriesFromDB:%@ %@ [latest:%@ %@]",
              {vault_.name, std::to_string(inventory->id), dateText(inventory->inventoryDate),
               latest ? std::to_string(latest->id) : std::string("0"),
               latest ? dateText(latest->inventoryDate) : std::string()});
    }
}

void InventoryManager::reclaimSpace() {
    vault_.db().inDatabase([this](Database& db) {
        const std::int64_t pages = db.longForQuery("PRAGMA page_count").value_or(0);
        const std::int64_t free = db.longForQuery("PRAGMA freelist_count").value_or(0);
        if (pages > 0 &&
            static_cast<double>(free) >= kReclaimFreeShare * static_cast<double>(pages)) {
            NSLog("Vault %@: reclaimSpace %@ of %@ pages free",
                  {vault_.name, std::to_string(free), std::to_string(pages)});
            db.executeUpdate("VACUUM");
        }
        // The import (and a VACUUM) passed through the write-ahead log, which would keep that
        // size beside the file while another connection holds it open.
        db.truncateLog();
    });
}

}  // namespace quillon
