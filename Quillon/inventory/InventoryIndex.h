// InventoryIndex: the side file of an account's inventories ("StoreIndex.db" beside Store.db):
// each inventory's folder totals and a trigram index of its item names, kept by the writers of
// the items and trusted only while they match the items.
// Threads: stateless; every call takes an open connection of Store.db and runs inside that
//   connection's database queue (the side file attached to it as "inventory_index").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "interfaces/db/Database.h"
#include "inventory/InventoryDir.h"

namespace quillon {

// What Store.db's schema leaves out, kept in a file of its own: per inventory, the totals of
// the visible files of every folder (each covering its subtree; "" the whole inventory) and
// a trigram index of case-folded item names. Every writer of items updates it in the same
// transaction. It is trusted only while its recorded fingerprint of the inventory (row dates,
// the highest item row, the count of locally deleted rows) equals the inventory's own, so a
// crash between the two files' commits, or a writer that does not know the side file, turns
// it stale and never wrong: readers then add up the items themselves.
class InventoryIndex {
  public:
    InventoryIndex() = delete;

    static constexpr const char* kSchema = "inventory_index";
    static constexpr const char* kFileName = "StoreIndex.db";

    // The side file of a Store.db path.
    static std::string pathFor(const std::string& storePath);
    // Attaches the side file (created when missing) to a connection of Store.db, outside any
    // transaction; false when it cannot. Detach leaves the connection without it.
    static bool attach(Database& db);
    // The same with the side file of another Store.db path (for a connection of its own).
    static bool attach(Database& db, const std::string& storePath);
    static void detach(Database& db);
    static bool attached(Database& db);

    // An empty, current index for a new inventory (after its row exists); drops what the
    // side file holds for inventories that no longer exist.
    static void start(Database& db, std::int64_t inventoryID);
    // Drops everything the side file holds for the inventory.
    static void forget(Database& db, std::int64_t inventoryID);
    // Whether the side data matches the inventory's rows now.
    static bool isCurrent(Database& db, std::int64_t inventoryID);
    // Records that the side data matches the inventory's rows now.
    static void seal(Database& db, std::int64_t inventoryID);
    // Marks the side data as not to be trusted, whatever the fingerprint says (for changes
    // the fingerprint cannot see); committed on its own, before the change.
    static void distrust(Database& db, std::int64_t inventoryID);

    // Whether an item counts in folder totals: a visible file (1-byte archives, which stand
    // for folders, and names ending in "/" do not).
    static bool countsAsFile(std::int64_t size, std::string_view baseName);
    // Adds `delta` to the folder `dirName` and every ancestor up to "".
    static void addToTotals(Database& db, std::int64_t inventoryID, std::string_view dirName,
                            InventoryDir::Totals delta);
    // The totals of every folder, recomputed from the items.
    static void rebuildTotals(Database& db, std::int64_t inventoryID);
    // As InventoryDir::subtreeTotals, from the side file; none when it is not current.
    static std::optional<InventoryDir::TotalsMap> subtreeTotals(Database& db,
                                                                std::int64_t inventoryID,
                                                                const std::string& top, int levels);

    // The name index: a case-folded name under the item's row id.
    static void addName(Database& db, std::int64_t inventoryID, std::int64_t itemID,
                        std::string_view name);
    static void removeName(Database& db, std::int64_t inventoryID, std::int64_t itemID,
                           std::string_view name);
    // The name table of an inventory, qualified by the schema.
    static std::string namesTable(std::int64_t inventoryID);
    // An FTS query that every name containing `literal` (in any letter case) matches; none
    // when the literal is too short for trigrams.
    static std::optional<std::string> matchFor(std::string_view literal);
};

}  // namespace quillon
