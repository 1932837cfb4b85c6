// Inventory: the inventory row, item queries, folder rows and the journal applied to it.
// Threads: as in Inventory.h.
#include "inventory/Inventory.h"

#include <strings.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"
#include "interfaces/platform/UserDefaults.h"
#include "interfaces/text/CaseFolding.h"
#include "inventory/InventoryDir.h"
#include "inventory/InventoryIndex.h"
#include "inventory/InventoryItem.h"
#include "transfers/Archive.h"
#include "transfers/Archives.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

constexpr const char* kItemColumns =
    "SELECT archive_id, archive_description, name, created_at, size, tree_hash, local_add FROM "
    "inventory_items ";

// Sort keys become column names in the statement text, so only real columns pass (in any case,
// as SQL matches column names).
constexpr std::array<const char*, 12> kItemTableColumns = {
    "id",         "archive_id", "archive_description", "name",      "base_name",    "dir_name",
    "created_at", "size",       "tree_hash",           "local_add", "local_delete", "inventory_id",
};

bool isItemColumn(const std::string& key) {
    for (const char* column : kItemTableColumns) {
        if (strcasecmp(key.c_str(), column) == 0) {
            return true;
        }
    }
    return false;
}

bool isHashCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isArchiveIDCharacter(char c) {
    return isHashCharacter(c) || c == '_' || c == '-';
}

// The longest run at the end of `text` made of characters that pass `accept`.
template <typename Predicate>
std::string trailingRun(const std::string& text, Predicate accept) {
    std::size_t start = text.size();
    while (start > 0 && accept(text[start - 1])) {
        --start;
    }
    return text.substr(start);
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

Inventory::Inventory(Token, VaultPtr vault) : vault_(std::move(vault)) {}

Inventory::Ptr Inventory::create(VaultPtr vault) {
    return std::make_shared<Inventory>(Token{}, std::move(vault));
}

std::string Inventory::description() const {
    return "Inventory " + std::to_string(id);
}

InventoryDir Inventory::rootDir() {
    return InventoryDir(shared_from_this(), "", "");
}

std::int64_t Inventory::inventoryMaxItems() {
    if (!inventoryMaxItems_) {
        std::int64_t value = UserDefaults::standard()->integer(kMaxItemsKey);
        inventoryMaxItems_ = value < 1 ? kDefaultMaxItems : value;
    }
    return *inventoryMaxItems_;
}

bool Inventory::operator==(const Inventory& other) const {
    return *vault_ == *other.vault_ && id == other.id;
}

std::string Inventory::regionID() const {
    return vault_->accountRegion()->region()->id();
}

namespace {

// The items a walk hands to its visitor, gathered into a list.
std::vector<InventoryItemPtr> gathered(
    const std::function<void(const Inventory::ItemVisitor&)>& walk) {
    std::vector<InventoryItemPtr> items;
    walk([&items](InventoryItemPtr item) {
        items.push_back(std::move(item));
        return true;
    });
    return items;
}

}  // namespace

std::vector<InventoryItemPtr> Inventory::itemsFromQuery(Database& db, const std::string& sql,
                                                        const SqlNamedArgs& args) {
    return gathered([&](const ItemVisitor& visit) { visitQuery(db, sql, args, visit); });
}

void Inventory::visitQuery(Database& db, const std::string& sql, const SqlNamedArgs& args,
                           const ItemVisitor& visit) {
    auto rows = db.executeQuery(sql, args);
    const InventoryPtr self = shared_from_this();
    while (rows && rows->next()) {
        if (!visit(InventoryItem::createFromResultSet(*rows, self, inventoryDate))) {
            return;
        }
    }
}

namespace {

// The longest run of plain characters in a LIKE pattern ("%" and "_" are wildcards) or a GLOB
// pattern ("*", "?" and bracket expressions): what every match contains.
std::string longestLiteral(const std::string& pattern, bool glob) {
    std::string best;
    std::string run;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        const bool wildcard = glob ? (c == '*' || c == '?' || c == '[') : (c == '%' || c == '_');
        if (!wildcard) {
            run += c;
            continue;
        }
        if (run.size() > best.size()) {
            best = run;
        }
        run.clear();
        if (glob && c == '[') {
            // "[]...]" and "[^]...]" hold a literal "]" first.
            std::size_t end = i + 1;
            if (end < pattern.size() && pattern[end] == '^') {
                ++end;
            }
            if (end < pattern.size() && pattern[end] == ']') {
                ++end;
            }
            end = pattern.find(']', end);
            if (end == std::string::npos) {
                return best;
            }
            i = end;
        }
    }
    return run.size() > best.size() ? run : best;
}

}  // namespace

Inventory::Filter Inventory::filterFor(Database& db, const ItemQuery& query) {
    const std::string& search = query.search;
    std::string text = search;
    std::string treeHash;
    std::string archiveID;
    std::string prefix;
    bool negate = false;
    if (startsWith(search, "hash:")) {
        std::string run = trailingRun(search, isHashCharacter);
        if (run.size() >= 64) {
            treeHash = run.substr(run.size() - 64);
            text.clear();
        }
    }
    if (startsWith(search, "archive:")) {
        std::string run = trailingRun(search, isArchiveIDCharacter);
        if (run.size() >= 32) {
            archiveID = run;
            text.clear();
        }
    }
    if (startsWith(text, "!")) {
        text.erase(0, 1);
        negate = true;
    }
    if (startsWith(text, "^")) {
        prefix = text.substr(1);
        text.clear();
    }
    const char* notWord = negate ? "NOT" : "";
    // A base-name prefix narrows an index range only while LIKE is case-sensitive and the
    // prefix starts with a plain character.
    const bool prefixSelects = !prefix.empty() && !negate && prefix[0] != '%' && prefix[0] != '_' &&
                               !UserDefaults::standard()->boolean(kIgnoreCaseKey);
    // Names containing the search's longest literal, from the name index while it is current.
    std::string literal;
    if (!negate && !text.empty()) {
        literal = longestLiteral(text, false);
    }
    if (!query.glob.empty()) {
        std::string fromGlob = longestLiteral(query.glob, true);
        if (fromGlob.size() > literal.size()) {
            literal = std::move(fromGlob);
        }
    }
    std::optional<std::string> match = InventoryIndex::matchFor(literal);
    if (match && !InventoryIndex::isCurrent(db, id)) {
        match.reset();
    }
    const bool selective =
        !treeHash.empty() || !archiveID.empty() || query.dir != nullptr || prefixSelects;

    Filter filter;
    std::string& sql = filter.where;
    SqlNamedArgs& args = filter.args;
    // Without a selective term every row of the inventory is read: in row order, not through
    // an index that would fetch each row at random.
    if (match && !selective) {
        // The candidates by row id; "+" keeps the inventory's index from driving the plan.
        const std::string table = InventoryIndex::namesTable(id);
        sql = "WHERE +inventory_id = :inventory_id AND id IN (SELECT rowid FROM " + table +
              " WHERE " + table.substr(table.find('.') + 1) + " MATCH :match) ";
        args["match"] = *match;
    } else {
        sql = std::string("WHERE ") +
              (selective ? std::string("inventory_id = :inventory_id ") : kAllRowsOf);
    }
    args["inventory_id"] = id;
    if (!text.empty()) {
        if (query.ignoreCase) {
            sql += std::string("AND fold_case(name) ") + notWord + " LIKE :filter ";
            args["filter"] = "%" + CaseFolding::fold(text) + "%";
        } else {
            sql += std::string("AND name ") + notWord + " LIKE :filter ";
            args["filter"] = "%" + text + "%";
            filter.usesLike = true;
        }
    }
    if (!query.glob.empty()) {
        if (query.ignoreCase) {
            sql += "AND fold_case(name) GLOB :glob ";
            args["glob"] = CaseFolding::fold(query.glob);
        } else {
            sql += "AND name GLOB :glob ";
            args["glob"] = query.glob;
        }
    }
    if (!treeHash.empty()) {
        sql += "AND tree_hash = :tree_hash ";
        args["tree_hash"] = treeHash;
    }
    if (!archiveID.empty()) {
        sql += "AND archive_id = :archive_id ";
        args["archive_id"] = archiveID;
    }
    if (!prefix.empty()) {
        sql += std::string("AND base_name ") + notWord + " LIKE :prefix ";
        args["prefix"] = prefix + "%";
        filter.usesLike = true;
    }
    if (query.dir != nullptr) {
        sql += "AND dir_name = :dir_name ";
        args["dir_name"] = query.dir->name();
    }
    // The visibility columns are nearly all NULL: the "+" keeps their indexes from driving
    // the plan, which would walk the whole inventory instead of the filter's own index.
    sql += query.withLocal ? "AND +local_delete IS NULL " : "AND +local_add IS NULL ";
    return filter;
}

std::vector<InventoryItemPtr> Inventory::items(const ItemQuery& query) {
    return gathered([&](const ItemVisitor& visit) { eachItem(query, visit); });
}

void Inventory::eachItem(const ItemQuery& query, const ItemVisitor& visit) {
    // What follows the filter: the order and the limit.
    std::string tail;
    const auto& sort = query.sort;
    if (sort && !sort->key.empty()) {
        if (!isItemColumn(sort->key)) {
            return;
        }
        // "+": the order never picks the index that walks the inventory (see kAllRowsOf).
        tail = "ORDER BY +" + sort->key + " " + (sort->ascending ? "ASC" : "DESC") + " ";
    } else {
        tail = "ORDER BY +created_at DESC ";
    }
    tail += "LIMIT " + std::to_string(query.limit == 0 ? inventoryMaxItems() : query.limit);

    withFilter(query, [&](Database& db, const Filter& filter) {
        visitQuery(db, kItemColumns + filter.where + tail, filter.args, visit);
    });
}

std::int64_t Inventory::countItems(const ItemQuery& query) {
    std::int64_t count = 0;
    withFilter(query, [&](Database& db, const Filter& filter) {
        auto rows =
            db.executeQuery("SELECT COUNT(*) FROM inventory_items " + filter.where, filter.args);
        if (rows && rows->next()) {
            count = rows->longForColumn(0);
        }
    });
    return count;
}

void Inventory::withFilter(const ItemQuery& query,
                           const std::function<void(Database&, const Filter&)>& run) {
    const bool ignoreCase = UserDefaults::standard()->boolean(kIgnoreCaseKey);
    vault_->db().inDatabase([&](Database& db) {
        const Filter filter = filterFor(db, query);
        if (filter.usesLike && ignoreCase) {
            db.executeUpdate("PRAGMA case_sensitive_like = OFF");
        }
        run(db, filter);
        if (ignoreCase) {
            db.executeUpdate("PRAGMA case_sensitive_like = ON");
        }
    });
}

std::vector<InventoryItemPtr> Inventory::findItemsWithPrefix(const std::string& prefix) {
    std::vector<InventoryItemPtr> result;
    vault_->db().inDatabase([&](Database& db) {
        result = itemsFromQuery(db,
                                std::string(kItemColumns) +
                                    "WHERE inventory_id = :inventory_id AND name GLOB :prefix AND "
                                    "+local_delete IS NULL ",
                                {{"inventory_id", id}, {"prefix", dbEscapeGlob(prefix) + "*"}});
    });
    return result;
}

std::vector<InventoryItemPtr> Inventory::findOrphaned(const std::string& prefix,
                                                      const std::set<std::string>& skip) {
    return gathered([&](const ItemVisitor& visit) { eachOrphan(prefix, skip, visit); });
}

void Inventory::eachOrphan(const std::string& prefix, const std::set<std::string>& skip,
                           const ItemVisitor& visit) {
    eachItem({.withLocal = true}, [&](InventoryItemPtr item) {
        if (startsWith(item->name, prefix) && !skip.contains(item->name)) {
            return visit(std::move(item));
        }
        return true;
    });
}

std::int64_t Inventory::numDuplicates(const InventoryItem& item) {
    std::int64_t count = 0;
    vault_->db().inDatabase([&](Database& db) {
        count = db.longForQuery(
                      "SELECT COUNT(id) FROM inventory_items WHERE tree_hash = ? AND inventory_id "
                      "= ? AND +local_delete IS NULL",
                      {item.treeHash, id})
                    .value_or(0);
    });
    return count > 1 ? count - 1 : 0;
}

std::vector<std::vector<InventoryItemPtr>> Inventory::duplicateGroups() {
    std::vector<std::vector<InventoryItemPtr>> groups;
    vault_->db().inDatabase([&](Database& db) {
        std::vector<std::string> hashes;
        if (auto rows = db.executeQuery(
                "SELECT tree_hash FROM inventory_items WHERE inventory_id = ? GROUP BY tree_hash "
                "HAVING COUNT(*) > 1 ORDER BY tree_hash",
                {id})) {
            while (rows->next()) {
                hashes.emplace_back(rows->textForColumn(0));
            }
        }
        for (const std::string& hash : hashes) {
            std::vector<InventoryItemPtr> group;
            for (InventoryItemPtr& item :
                 itemsFromQuery(db,
                                std::string(kItemColumns) +
                                    "WHERE inventory_id = :inventory_id AND tree_hash = :tree_hash "
                                    "AND +local_delete IS NULL ORDER BY +id",
                                {{"inventory_id", id}, {"tree_hash", hash}})) {
                if (!item->representsFolder()) {
                    group.push_back(std::move(item));
                }
            }
            if (group.size() > 1) {
                groups.push_back(std::move(group));
            }
        }
    });
    return groups;
}

InventoryItemPtr Inventory::getFromDBByID(Database& db, std::int64_t itemID) {
    auto items = itemsFromQuery(
        db, std::string(kItemColumns) + "WHERE id = :id AND inventory_id = :inventory_id",
        {{"id", itemID}, {"inventory_id", id}});
    return items.empty() ? nullptr : items.front();
}

InventoryItemPtr Inventory::getFromDBByArchiveID(Database& db, const std::string& archiveID) {
    auto itemID = db.longForQuery(
        "SELECT id FROM inventory_items WHERE archive_id = ? AND inventory_id = ? AND "
        "+local_delete IS NULL",
        {archiveID, id});
    return itemID ? getFromDBByID(db, *itemID) : nullptr;
}

InventoryItemPtr Inventory::getFromDBByName(Database& db, const std::string& name) {
    auto itemID = db.longForQuery(
        "SELECT id FROM inventory_items WHERE name = ? AND inventory_id = ? AND +local_delete IS "
        "NULL",
        {name, id});
    if (!itemID) {
        return nullptr;
    }
    auto item = getFromDBByID(db, *itemID);
    return item && item->name == name ? item : nullptr;
}

InventoryItemPtr Inventory::getByID(std::int64_t itemID) {
    InventoryItemPtr result;
    vault_->db().inDatabase([&](Database& db) { result = getFromDBByID(db, itemID); });
    return result;
}

InventoryItemPtr Inventory::getByArchiveID(const std::string& archiveID) {
    InventoryItemPtr result;
    vault_->db().inDatabase([&](Database& db) { result = getFromDBByArchiveID(db, archiveID); });
    return result;
}

InventoryItemPtr Inventory::getByName(const std::string& name) {
    InventoryItemPtr result;
    vault_->db().inDatabase([&](Database& db) { result = getFromDBByName(db, name); });
    return result;
}

void Inventory::writeDirectoryToDB(Database& db, const std::string& dirName) {
    std::set<std::string> paths;
    for (std::string path = dirName; !path.empty() && path != "/";
         path = deletingLastPathComponent(path)) {
        paths.insert(path);
    }
    for (const std::string& path : paths) {
        std::string name = trimmingSlashes(path);
        // Slashes alone name no folder.
        if (name.empty()) {
            continue;
        }
        db.executeUpdate(
            "INSERT OR IGNORE INTO inventory_directories (inventory_id, name, base_name, "
            "dir_name) VALUES (:inventory_id, :name, :base_name, :dir_name)",
            SqlNamedArgs{{"inventory_id", id},
                         {"name", name},
                         {"base_name", lastPathComponent(path)},
                         {"dir_name", trimmingSlashes(deletingLastPathComponent(path))}});
    }
}

void Inventory::writeDirectoryToDBForItemName(Database& db, const std::string& itemName) {
    if (!itemName.empty() && itemName.back() == '/') {
        writeDirectoryToDB(db, itemName);
    } else {
        writeDirectoryToDB(db, deletingLastPathComponent(itemName));
    }
}

void Inventory::writeDirectory(const std::string& dirName) {
    vault_->db().inDatabase([&](Database& db) { writeDirectoryToDB(db, dirName); });
}

void Inventory::removeDirectoryFromDB(Database& db, const std::string& dirName) {
    for (std::string dir = dirName; !dir.empty() && dir != "/";
         dir = deletingLastPathComponent(dir)) {
        const std::string pattern = dbEscapeGlob(dir) + "/*";
        auto count = db.longForQuery(
            "SELECT COUNT(*) from inventory_items WHERE inventory_id = ? AND name GLOB ? AND "
            "+local_delete IS NULL",
            {id, pattern});
        if (!count || *count != 0) {
            return;
        }
        db.executeUpdate("DELETE FROM inventory_directories WHERE inventory_id = ? AND name GLOB ?",
                         {id, pattern});
        db.executeUpdate("DELETE FROM inventory_directories WHERE inventory_id = ? AND name = ?",
                         {id, dir});
    }
}

void Inventory::markDoneInDB(Database& db) {
    if (id < 1 || done()) {
        return;
    }
    importDoneDate = nowSecondsExact();
    NSLog("Vault %@: Inventory markDoneInDB id=%@", {vault_->name, std::to_string(id)});
    db.executeUpdate(
        "UPDATE inventories SET import_done_at = :import_done_at WHERE id = :id",
        SqlNamedArgs{{"import_done_at", static_cast<std::int64_t>(*importDoneDate)}, {"id", id}});
}

void Inventory::deleteFromDB(Database& db) {
    if (id < 1) {
        return;
    }
    db.executeUpdate("DELETE FROM inventory_items WHERE inventory_id = ?", {id});
    db.executeUpdate("DELETE FROM inventory_directories WHERE inventory_id = ?", {id});
    InventoryIndex::forget(db, id);
    db.executeUpdate(
        "DELETE FROM inventories WHERE region = :region AND vault = :vault AND id = :id",
        SqlNamedArgs{{"region", regionID()}, {"vault", vault_->name}, {"id", id}});
}

void Inventory::remove() {
    vault_->db().inTransaction([this](Database& db, bool&) { deleteFromDB(db); });
}

void Inventory::reconcileLocalArchivesInDB(Database& db) {
    NSLog("Vault %@: Inventory reconcileLocalArchivesInDB", {vault_->name});
    for (const ArchivePtr& archive : vault_->archives().archivesAfterFromDB(db, inventoryDate)) {
        updateArchiveToDB(db, *archive);
    }
}

Inventory::JournalRun Inventory::beginJournalRun(Database& db, bool pruneFolders) {
    return {pruneFolders, InventoryIndex::isCurrent(db, id)};
}

void Inventory::endJournalRun(Database& db, const JournalRun& run) {
    if (run.indexed) {
        InventoryIndex::seal(db, id);
    }
}

void Inventory::updateArchiveToDB(Database& db, const Archive& entry, const JournalRun* run) {
    if (entry.action == Archive::Action::Unconfirmed) {
        return;  // it may not exist: only the service's next inventory tells
    }
    // The side file follows the change only when it matched the items before it.
    const bool indexed = run ? run->indexed : InventoryIndex::isCurrent(db, id);
    const bool sealNow = indexed && !run;
    const bool pruneFolders = !run || run->pruneFolders;
    if (entry.action == Archive::Action::Delete) {
        std::string folder;
        if (InventoryItemPtr item = getFromDBByArchiveID(db, entry.archiveID)) {
            if (!item->name.empty() && item->name.back() == '/') {
                folder = trimmingSlashes(item->name);
            } else {
                folder = deletingLastPathComponent(item->name);
            }
        }
        // The visible files this entry hides.
        std::vector<std::pair<std::string, std::int64_t>> hidden;
        if (indexed) {
            auto rows = db.executeQuery(
                "SELECT dir_name, size, base_name FROM inventory_items WHERE archive_id = ? AND "
                "inventory_id = ? AND +local_delete IS NULL",
                {entry.archiveID, id});
            while (rows && rows->next()) {
                if (InventoryIndex::countsAsFile(rows->longForColumn(1), rows->textForColumn(2))) {
                    hidden.emplace_back(rows->textForColumn(0), rows->longForColumn(1));
                }
            }
        }
        db.executeUpdate(
            "UPDATE inventory_items SET local_delete = :local_delete WHERE inventory_id = "
            ":inventory_id AND archive_id = :archive_id",
            SqlNamedArgs{{"local_delete", static_cast<std::int64_t>(entry.creationDate)},
                         {"inventory_id", id},
                         {"archive_id", entry.archiveID}});
        if (indexed) {
            for (const auto& [dirName, size] : hidden) {
                InventoryIndex::addToTotals(db, id, dirName, {-size, -1});
            }
        }
        if (sealNow) {
            InventoryIndex::seal(db, id);
        }
        if (pruneFolders && !folder.empty()) {
            removeDirectoryFromDB(db, folder);
        }
        return;
    }
    InventoryItem item;
    item.archiveID = entry.archiveID;
    item.archiveDescription = entry.archiveDescription;
    item.creationDate = entry.creationDate;
    item.size = entry.size;
    item.treeHash = entry.treeHash;
    item.localAdd = entry.creationDate;
    item.decodeDescription();
    item.inventory = shared_from_this();
    item.insertToDB(db, id);
    if (indexed) {
        InventoryIndex::addName(db, id, db.lastInsertRowId(), item.name);
        if (InventoryIndex::countsAsFile(item.size, item.baseName)) {
            InventoryIndex::addToTotals(db, id, item.dirName, {item.size, 1});
        }
    }
    if (sealNow) {
        InventoryIndex::seal(db, id);
    }
    writeDirectoryToDBForItemName(db, item.name);
}

void Inventory::updateArchive(const Archive& entry) {
    vault_->db().inDatabase([&](Database& db) { updateArchiveToDB(db, entry); });
}

}  // namespace quillon
