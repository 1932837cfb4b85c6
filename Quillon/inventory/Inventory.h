// Inventory: one stored inventory of a vault, its items, folders and queries.
// Threads: not thread-safe; one owner. Its rows are read and written through the vault's
//   database queue, which serialises them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "interfaces/db/Database.h"
#include "inventory/InventoryItem.h"

namespace quillon {

class Archive;
class InventoryDir;
class Vault;
using VaultPtr = std::shared_ptr<Vault>;

// One stored inventory of a vault: a row of `inventories` with its item and folder rows.
// Operations ending in FromDB/ToDB/InDB run on an open handle inside the vault's database
// queue; their twins open one run of the queue themselves. Dates are seconds since 1970.
class Inventory : public std::enable_shared_from_this<Inventory> {
  public:
    using Ptr = std::shared_ptr<Inventory>;

    static constexpr const char* kMaxItemsKey = "inventoryMaxItems";
    static constexpr const char* kIgnoreCaseKey = "search.ignoreCase";
    static constexpr std::int64_t kDefaultMaxItems = 5000000;
    // The condition that takes every item row of one inventory (named parameter
    // :inventory_id) as a range of row ids: one pass over the rows in file order. Led by an
    // index on inventory_id instead, the same statement would fetch each row at random.
    static constexpr const char* kAllRowsOf =
        "+inventory_id = :inventory_id AND id >= (SELECT MIN(id) FROM inventory_items WHERE "
        "inventory_id = :inventory_id) AND id <= (SELECT MAX(id) FROM inventory_items WHERE "
        "inventory_id = :inventory_id) ";

    // An order for `items`: a column of inventory_items and a direction.
    struct SortDescriptor {
        std::string key;
        bool ascending = true;
    };

    static Ptr create(VaultPtr vault);

    // 0 until stored.
    std::int64_t id = 0;
    // 0 marks a placeholder for a vault that was never imported.
    double inventoryDate = 0;
    // Absent while an import is incomplete.
    std::optional<double> importDoneDate;

    const VaultPtr& vault() const { return vault_; }
    // "Inventory <id>"
    std::string description() const;
    bool done() const { return importDoneDate.has_value(); }
    // The root of the folder tree: lists top-level folders.
    InventoryDir rootDir();
    // The user default "inventoryMaxItems"; below 1 (or absent) gives 5000000. Read once.
    std::int64_t inventoryMaxItems();

    // Same vault and same id.
    bool operator==(const Inventory& other) const;

    // --- Queries ---

    // What `items` lists. Filled by name at the call site, for example
    // items({.search = "tmp", .dir = &folder}).
    struct ItemQuery {
        // "hash:<64 characters>" and "archive:<id>" filter by tree hash or archive id; a
        // leading "!" negates; then a leading "^" makes the rest a base-name prefix; any other
        // text is searched inside the path (LIKE wildcards stay wildcards). Empty: everything.
        std::string search{};
        // true hides local deletions, false hides local additions (the inventory as listed).
        bool withLocal = true;
        // One folder's items (the root: top-level items); none: the whole inventory.
        const InventoryDir* dir = nullptr;
        // A sort key other than a column of inventory_items fails the query (empty list);
        // none is newest first.
        std::optional<SortDescriptor> sort{};
        // 0 means inventoryMaxItems(), a negative limit none.
        std::int64_t limit = 0;
        // The text search and the glob ignore letter case by Unicode case folding.
        bool ignoreCase = false;
        // A GLOB pattern ("*", "?", "[...]") that the whole path must match; empty: none.
        std::string glob{};
    };

    // The items matching `query`. Case-sensitive unless the user default "search.ignoreCase"
    // is on.
    std::vector<InventoryItemPtr> items(const ItemQuery& query);
    // Handed one item at a time; answers false to stop the walk.
    using ItemVisitor = std::function<bool(InventoryItemPtr)>;
    // The same items handed to `visit` one at a time as they are read, so that a list of
    // millions is never held whole. `visit` runs on the database's queue and must not use this
    // vault's database.
    void eachItem(const ItemQuery& query, const ItemVisitor& visit);
    // How many items `query` would list (its sort and limit do not matter).
    std::int64_t countItems(const ItemQuery& query);
    // Visible items whose path starts with `prefix`, exactly and case-sensitively.
    std::vector<InventoryItemPtr> findItemsWithPrefix(const std::string& prefix);
    // Items (with local additions) under `prefix` whose path is not in `skip`.
    std::vector<InventoryItemPtr> findOrphaned(const std::string& prefix,
                                               const std::set<std::string>& skip);
    // The same, one at a time, as eachItem hands them.
    void eachOrphan(const std::string& prefix, const std::set<std::string>& skip,
                    const ItemVisitor& visit);
    // Other visible items with the same tree hash.
    std::int64_t numDuplicates(const InventoryItem& item);
    // Visible files (folder archives left out) stored more than once: one group per tree hash
    // in tree-hash order, each in row order. The hashes come from the tree-hash index alone,
    // in its order, so the inventory is never sorted.
    std::vector<std::vector<InventoryItemPtr>> duplicateGroups();

    // By row id (locally deleted rows included), by archive id and by exact path (visible only).
    InventoryItemPtr getFromDBByID(Database& db, std::int64_t itemID);
    InventoryItemPtr getFromDBByArchiveID(Database& db, const std::string& archiveID);
    InventoryItemPtr getFromDBByName(Database& db, const std::string& name);
    InventoryItemPtr getByID(std::int64_t itemID);
    InventoryItemPtr getByArchiveID(const std::string& archiveID);
    InventoryItemPtr getByName(const std::string& name);

    // Folder rows for `dirName` and every ancestor; existing rows keep their flag.
    void writeDirectoryToDB(Database& db, const std::string& dirName);
    // The folder of an item path: the path itself when it ends in "/", else its parent.
    void writeDirectoryToDBForItemName(Database& db, const std::string& itemName);
    void writeDirectory(const std::string& dirName);
    // Drops the folder rows of `dirName` and of its ancestors that no longer hold visible items.
    void removeDirectoryFromDB(Database& db, const std::string& dirName);

    // --- Record ---

    // Sets the import date (once) for a stored inventory.
    void markDoneInDB(Database& db);
    // Removes the rows of a stored inventory; the object stays as it is.
    void deleteFromDB(Database& db);
    void remove();
    // Applies the vault's journal entries made after `inventoryDate`, in journal order.
    void reconcileLocalArchivesInDB(Database& db);
    // Journal entries applied together, in one transaction: the side file is checked once
    // before the first and sealed once after the last (for each entry, both would count every
    // deleted item of the inventory), and with `pruneFolders` false the caller prunes the
    // emptied folders once, at its end (a batch of many deletions in one folder).
    struct JournalRun {
        bool pruneFolders = true;
        bool indexed = false;  // the side file matched the items before the run
    };
    JournalRun beginJournalRun(Database& db, bool pruneFolders);
    void endJournalRun(Database& db, const JournalRun& run);
    // Applies one journal entry: a deletion marks the archive's rows and prunes emptied
    // folders; an addition inserts a locally added item with its folders.
    void updateArchiveToDB(Database& db, const Archive& archive, const JournalRun* run = nullptr);
    void updateArchive(const Archive& archive);

  private:
    struct Token {};

  public:
    Inventory(Token, VaultPtr vault);

  private:
    // The WHERE clause of an ItemQuery with its arguments.
    struct Filter {
        std::string where;
        SqlNamedArgs args;
        bool usesLike = false;
    };
    Filter filterFor(Database& db, const ItemQuery& query);
    // Runs `run` on the queue with the query's filter, LIKE made case-insensitive when the
    // user asked for it.
    void withFilter(const ItemQuery& query,
                    const std::function<void(Database&, const Filter&)>& run);
    std::vector<InventoryItemPtr> itemsFromQuery(Database& db, const std::string& sql,
                                                 const SqlNamedArgs& args);
    // Hands each row of `sql` to `visit` as an item until it answers false.
    void visitQuery(Database& db, const std::string& sql, const SqlNamedArgs& args,
                    const ItemVisitor& visit);
    std::string regionID() const;

    VaultPtr vault_;
    std::optional<std::int64_t> inventoryMaxItems_;
};

using InventoryPtr = Inventory::Ptr;

}  // namespace quillon
