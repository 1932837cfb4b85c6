#include "inventory/MappingData.h"

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "foundation/ModelError.h"
#include "interfaces/db/Database.h"
#include "interfaces/platform/MainQueue.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryItem.h"
#include "vaults/Vault.h"

namespace quillon {

std::int64_t MappingData::load(const std::string& path) {
    Database db(path);
    if (!db.openWithFlags(SQLITE_OPEN_READONLY) || !db.tableExists("file_info_tb")) {
        throw ModelError::invalidFileFormat();
    }
    auto rows = db.executeQuery("SELECT * FROM file_info_tb");
    if (!rows) {
        throw ModelError::invalidFileFormat();
    }
    while (rows->next()) {
        auto archiveID = rows->stringForColumn("archiveID");
        if (!archiveID) {
            continue;
        }
        if (auto basePath = rows->stringForColumn("basePath")) {
            map[*archiveID] = *basePath;
        } else {
            map.erase(*archiveID);
        }
    }
    rows->close();
    db.close();
    if (map.empty()) {
        throw ModelError::invalidFileFormat();
    }
    return static_cast<std::int64_t>(map.size());
}

std::optional<std::string> MappingData::descForId(const std::string& archiveID) const {
    auto it = map.find(archiveID);
    if (it == map.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::int64_t MappingData::importInto(Inventory& inventory, const Progress& progress) const {
    DatabaseQueue& queue = inventory.vault()->db();
    std::int64_t total = 0;
    queue.inDatabase([&](Database& db) {
        total = db.longForQuery("SELECT COUNT(id) FROM inventory_items WHERE inventory_id = ?",
                                {sqlInt(inventory.id)})
                    .value_or(0);
    });
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::int64_t updated = 0;
    // One transaction: a cancelled or failed mapping leaves the inventory as it was.
    queue.inTransaction([&](Database& db, bool& rollback) {
        std::vector<std::pair<std::int64_t, std::string>> rows;
        if (auto result = db.executeQuery(
                "SELECT id, archive_id FROM inventory_items WHERE inventory_id = :inventory_id",
                SqlNamedArgs{{"inventory_id", sqlInt(inventory.id)}})) {
            while (result->next()) {
                rows.emplace_back(result->longForColumn("id"),
                                  result->stringForColumn("archive_id").value_or(""));
            }
        }
        std::set<std::string> folders;
        std::int64_t processed = 0;
        for (const auto& [rowID, archiveID] : rows) {
            if (cancelled->load()) {
                break;
            }
            ++processed;
            if (processed % 100 == 0 && progress) {
                MainQueue::async([progress, cancelled, processed, total, updated] {
                    if (!progress(processed, total, updated)) {
                        cancelled->store(true);
                    }
                });
            }
            auto path = descForId(archiveID);
            if (!path) {
                continue;
            }
            InventoryItemPtr item = inventory.getFromDBByArchiveID(db, archiveID);
            if (!item) {
                continue;
            }
            item->archiveDescription = *path;
            item->decodeDescription();
            db.executeUpdate(
                "UPDATE inventory_items SET archive_description = :archive_description, name = "
                ":name, base_name = :base_name, dir_name = :dir_name WHERE id = :id AND "
                "inventory_id = :inventory_id",
                SqlNamedArgs{{"archive_description", item->archiveDescription},
                             {"name", item->name},
                             {"base_name", item->baseName},
                             {"dir_name", item->dirName},
                             {"id", sqlInt(rowID)},
                             {"inventory_id", sqlInt(inventory.id)}});
            folders.insert(item->representsFolder() ? item->name : item->dirName);
            ++updated;
        }
        if (cancelled->load()) {
            rollback = true;
            return;
        }
        for (const std::string& folder : folders) {
            inventory.writeDirectoryToDB(db, folder);
        }
    });
    if (cancelled->load()) {
        throw ModelError::importCancelled();
    }
    return updated;
}

}  // namespace quillon
