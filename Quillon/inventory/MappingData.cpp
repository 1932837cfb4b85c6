// MappingData: loading the mapping and rewriting item paths. Threads: as in MappingData.h.
#include "inventory/MappingData.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "foundation/MainQueue.h"
#include "foundation/ModelError.h"
#include "interfaces/db/Database.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryIndex.h"
#include "inventory/InventoryItem.h"
#include "vaults/Vault.h"  // IWYU pragma: keep

namespace quillon {

namespace {

// Enough for the four indexes a mapping rewrites, on an inventory of a million archives.
constexpr std::int64_t kMappingCacheKiB = std::int64_t{256} * 1024;

}  // namespace

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
    // The rewritten rows touch four large indexes at random.
    WidenedCache cache(queue, kMappingCacheKiB);
    // Renames do not show in the side file's fingerprint: it is distrusted first, in a
    // commit of its own, and trusted again in the transaction that renames.
    bool indexed = false;
    queue.inDatabase([&](Database& db) {
        indexed = InventoryIndex::isCurrent(db, inventory.id);
        // Side data that does not match now never will again: nothing to distrust.
        if (indexed) {
            InventoryIndex::distrust(db, inventory.id);
        }
    });
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::int64_t updated = 0;
    // One transaction: a cancelled or failed mapping leaves the inventory as it was.
    queue.inTransaction([&](Database& db, bool& rollback) {
        // Every row, read before anything is written; only a mapped row keeps its path.
        struct Row {
            std::int64_t id;
            const std::pair<const std::string, std::string>* mapped;
        };
        std::vector<Row> rows;
        if (auto result = db.executeQuery(
                "SELECT id, archive_id FROM inventory_items WHERE inventory_id = :inventory_id",
                SqlNamedArgs{{"inventory_id", sqlInt(inventory.id)}})) {
            while (result->next()) {
                auto found = map.find(result->stringForColumn(1).value_or(""));
                rows.push_back({result->longForColumn(0), found == map.end() ? nullptr : &*found});
            }
        }
        // The new names of the mapped rows, written afterwards in row order.
        struct Change {
            std::int64_t id;
            InventoryItem item;
        };
        std::vector<Change> changes;
        std::set<std::string> folders;
        std::int64_t processed = 0;
        for (const Row& row : rows) {
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
            if (row.mapped == nullptr) {
                continue;
            }
            // The visible archive of that id: its size tells a folder archive.
            auto size = db.longForQuery(
                "SELECT size FROM inventory_items WHERE archive_id = ? AND inventory_id = ? AND "
                "+local_delete IS NULL",
                {row.mapped->first, sqlInt(inventory.id)});
            if (!size) {
                continue;
            }
            InventoryItem item;
            item.size = *size;
            item.archiveDescription = row.mapped->second;
            item.decodeDescription();
            folders.insert(item.representsFolder() ? item.name : item.dirName);
            changes.push_back({row.id, std::move(item)});
            ++updated;
        }
        if (cancelled->load()) {
            rollback = true;
            return;
        }
        std::sort(changes.begin(), changes.end(),
                  [](const Change& a, const Change& b) { return a.id < b.id; });
        for (const Change& change : changes) {
            if (indexed) {
                auto old = db.stringForQuery("SELECT name FROM inventory_items WHERE id = ?",
                                             {sqlInt(change.id)});
                InventoryIndex::removeName(db, inventory.id, change.id, old.value_or(""));
                InventoryIndex::addName(db, inventory.id, change.id, change.item.name);
            }
            db.executeUpdate(
                "UPDATE inventory_items SET archive_description = :archive_description, name = "
                ":name, base_name = :base_name, dir_name = :dir_name WHERE id = :id AND "
                "inventory_id = :inventory_id",
                SqlNamedArgs{{"archive_description", change.item.archiveDescription},
                             {"name", change.item.name},
                             {"base_name", change.item.baseName},
                             {"dir_name", change.item.dirName},
                             {"id", sqlInt(change.id)},
                             {"inventory_id", sqlInt(inventory.id)}});
        }
        for (const std::string& folder : folders) {
            inventory.writeDirectoryToDB(db, folder);
        }
        if (indexed) {
            InventoryIndex::rebuildTotals(db, inventory.id);
            InventoryIndex::seal(db, inventory.id);
        }
    });
    if (indexed && cancelled->load()) {
        // Nothing was renamed: the side data matches the items as before.
        queue.inDatabase([&](Database& db) { InventoryIndex::seal(db, inventory.id); });
    }
    // The rewrite passed through the write-ahead log: fold it in rather than leave it that size.
    queue.inDatabase([](Database& db) { db.truncateLog(); });
    if (cancelled->load()) {
        throw ModelError::importCancelled();
    }
    return updated;
}

}  // namespace quillon
