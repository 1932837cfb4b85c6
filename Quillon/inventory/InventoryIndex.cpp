// InventoryIndex: the side file's tables, its fingerprint check, folder totals and the name
// index. Threads: as in InventoryIndex.h.
#include "inventory/InventoryIndex.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/FileHelpers.h"
#include "foundation/PathComponents.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"
#include "interfaces/text/CaseFolding.h"
#include "inventory/Inventory.h"

namespace quillon {

namespace {

// The folder that holds `folder`: "a/b" for "a/b/c", "" for a top-level folder.
std::string_view parentOf(std::string_view folder) {
    const auto slash = folder.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : folder.substr(0, slash);
}

// SQL function fold_case(text): CaseFolding::fold, for searches that ignore case.
void foldCaseFunction(sqlite3_context* context, int, sqlite3_value** values) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
    if (text == nullptr) {
        sqlite3_result_null(context);
        return;
    }
    const std::string folded = CaseFolding::fold(
        std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(values[0]))));
    sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

// What the side data was made from: the inventory row, its highest item row and how many of
// its rows are locally deleted. Items are only ever added to an inventory and marked deleted,
// never unmarked, so any change of its items changes this text.
std::optional<std::string> fingerprintOf(Database& db, std::int64_t inventoryID) {
    auto row = db.executeQuery("SELECT created_at, inventory_date FROM inventories WHERE id = ?",
                               {inventoryID});
    if (!row || !row->next()) {
        return std::nullopt;
    }
    std::string text =
        std::to_string(row->longForColumn(0)) + ":" + std::to_string(row->longForColumn(1));
    row->close();
    const auto highest = db.longForQuery(
        "SELECT MAX(id) FROM inventory_items WHERE inventory_id = ?", {inventoryID});
    const auto deleted = db.longForQuery(
        "SELECT COUNT(*) FROM inventory_items WHERE inventory_id = ? AND local_delete IS NOT NULL",
        {inventoryID});
    if (!deleted) {
        return std::nullopt;
    }
    return text + ":" + std::to_string(highest.value_or(0)) + ":" + std::to_string(*deleted);
}

}  // namespace

std::string InventoryIndex::pathFor(const std::string& storePath) {
    return appendingPathComponent(deletingLastPathComponent(storePath), kFileName);
}

bool InventoryIndex::attached(Database& db) {
    auto rows = db.executeQuery("PRAGMA database_list");
    while (rows && rows->next()) {
        if (rows->textForColumn(1) == kSchema) {
            return true;
        }
    }
    return false;
}

bool InventoryIndex::attach(Database& db) {
    return attach(db, db.databasePath());
}

bool InventoryIndex::attach(Database& db, const std::string& storePath) {
    if (db.handle() == nullptr) {
        return false;
    }
    sqlite3_create_function_v2(db.handle(), "fold_case", 1,
                               SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                               foldCaseFunction, nullptr, nullptr, nullptr);
    if (attached(db)) {
        return true;
    }
    if (db.inTransaction()) {
        return false;
    }
    // Private like Store.db (its journal files take its mode).
    FileHelpers::createFileIfMissing(pathFor(storePath), 0600);
    if (!db.executeUpdate(std::string("ATTACH DATABASE ? AS ") + kSchema, {pathFor(storePath)})) {
        return false;
    }
    const std::string s = std::string(kSchema) + ".";
    db.executeUpdate("PRAGMA " + s + "journal_mode = WAL");
    db.executeUpdate("PRAGMA " + s + "synchronous = NORMAL");
    const bool created = db.executeStatements(
        "CREATE TABLE IF NOT EXISTS " + s +
        "index_state (inventory_id INTEGER PRIMARY KEY, fingerprint TEXT NOT NULL, "
        "trusted INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS " +
        s +
        "folder_totals (inventory_id INTEGER NOT NULL, name TEXT NOT NULL, size INTEGER NOT "
        "NULL, count INTEGER NOT NULL, PRIMARY KEY (inventory_id, name)) WITHOUT ROWID;");
    if (!created) {
        NSLog("Inventory index %@ unusable: %@", {pathFor(storePath), db.lastErrorMessage()});
        detach(db);
        return false;
    }
    return true;
}

void InventoryIndex::detach(Database& db) {
    if (attached(db) && !db.inTransaction()) {
        db.executeUpdate(std::string("DETACH DATABASE ") + kSchema);
    }
}

std::string InventoryIndex::namesTable(std::int64_t inventoryID) {
    return std::string(kSchema) + ".names_" + std::to_string(inventoryID);
}

void InventoryIndex::forget(Database& db, std::int64_t inventoryID) {
    const std::string s = std::string(kSchema) + ".";
    db.executeUpdate("DELETE FROM " + s + "index_state WHERE inventory_id = ?", {inventoryID});
    db.executeUpdate("DELETE FROM " + s + "folder_totals WHERE inventory_id = ?", {inventoryID});
    db.executeUpdate("DROP TABLE IF EXISTS " + namesTable(inventoryID));
}

void InventoryIndex::start(Database& db, std::int64_t inventoryID) {
    if (!attached(db)) {
        return;
    }
    // Side data of inventories that are gone (removed after a stopped import, or written by
    // a transaction whose other half never reached Store.db).
    std::set<std::int64_t> stale;
    if (auto rows = db.executeQuery(std::string("SELECT name FROM ") + kSchema +
                                    ".sqlite_master WHERE type = 'table' AND sql LIKE 'CREATE "
                                    "VIRTUAL TABLE%' AND name LIKE 'names%'")) {
        while (rows->next()) {
            const std::string name(rows->textForColumn(0));
            stale.insert(std::strtoll(name.c_str() + 6, nullptr, 10));
        }
    }
    if (auto rows =
            db.executeQuery(std::string("SELECT inventory_id FROM ") + kSchema + ".index_state")) {
        while (rows->next()) {
            stale.insert(rows->longForColumn(0));
        }
    }
    for (std::int64_t id : stale) {
        if (id == inventoryID ||
            !db.longForQuery("SELECT id FROM inventories WHERE id = ?", {id})) {
            forget(db, id);
        }
    }
    db.executeUpdate("CREATE VIRTUAL TABLE " + namesTable(inventoryID) +
                     " USING fts5(name, tokenize = 'trigram case_sensitive 1', detail = none, "
                     "content = '', columnsize = 0)");
    // Larger pages and fewer merges while an import fills it batch by batch: a third of
    // the work of the defaults, at the same speed of search.
    const std::string table = namesTable(inventoryID);
    const std::string bare = table.substr(table.find('.') + 1);
    for (const char* setting : {"'pgsz', 16000", "'automerge', 8", "'crisismerge', 64"}) {
        db.executeUpdate("INSERT INTO " + table + " (" + bare + ", rank) VALUES (" + setting + ")");
    }
    seal(db, inventoryID);
}

bool InventoryIndex::isCurrent(Database& db, std::int64_t inventoryID) {
    auto recorded = db.executeQuery(std::string("SELECT fingerprint, trusted FROM ") + kSchema +
                                        ".index_state WHERE inventory_id = ?",
                                    {inventoryID});
    if (!recorded || !recorded->next() || recorded->longForColumn(1) != 1) {
        return false;
    }
    const std::string fingerprint(recorded->textForColumn(0));
    recorded->close();
    return fingerprintOf(db, inventoryID) == fingerprint;
}

void InventoryIndex::seal(Database& db, std::int64_t inventoryID) {
    if (auto fingerprint = fingerprintOf(db, inventoryID)) {
        db.executeUpdate(std::string("INSERT OR REPLACE INTO ") + kSchema +
                             ".index_state (inventory_id, fingerprint, trusted) VALUES (?, "
                             "?, 1)",
                         {inventoryID, *fingerprint});
    }
}

void InventoryIndex::distrust(Database& db, std::int64_t inventoryID) {
    db.executeUpdate(
        std::string("UPDATE ") + kSchema + ".index_state SET trusted = 0 WHERE inventory_id = ?",
        {inventoryID});
}

bool InventoryIndex::countsAsFile(std::int64_t size, std::string_view baseName) {
    return size != 1 && (baseName.empty() || baseName.back() != '/');
}

void InventoryIndex::addToTotals(Database& db, std::int64_t inventoryID, std::string_view dirName,
                                 InventoryDir::Totals delta) {
    const std::string sql =
        std::string("INSERT INTO ") + kSchema +
        ".folder_totals (inventory_id, name, size, count) VALUES (?, ?, ?, ?) ON "
        "CONFLICT(inventory_id, name) DO UPDATE SET size = size + excluded.size, count = count + "
        "excluded.count";
    for (std::string_view folder = dirName;; folder = parentOf(folder)) {
        db.executeUpdate(sql, {inventoryID, std::string(folder), delta.size, delta.count});
        if (folder.empty()) {
            break;
        }
    }
}

void InventoryIndex::rebuildTotals(Database& db, std::int64_t inventoryID) {
    db.executeUpdate(
        std::string("DELETE FROM ") + kSchema + ".folder_totals WHERE inventory_id = ?",
        {inventoryID});
    // Each folder's own files first (rows come in row order), then into the ancestors.
    std::unordered_map<std::string, InventoryDir::Totals> own;
    {
        auto rows =
            db.executeQuery(std::string("SELECT dir_name, size FROM inventory_items WHERE ") +
                                Inventory::kAllRowsOf +
                                "AND size != 1 AND +local_delete IS NULL AND base_name "
                                "NOT LIKE '%/'",
                            SqlNamedArgs{{"inventory_id", inventoryID}});
        std::string last;
        InventoryDir::Totals* current = nullptr;
        while (rows && rows->next()) {
            const std::string_view folder = rows->textForColumn(0);
            if (current == nullptr || folder != last) {
                last.assign(folder);
                current = &own[last];
            }
            current->size += rows->longForColumn(1);
            current->count += 1;
        }
    }
    std::unordered_map<std::string, InventoryDir::Totals> totals;
    totals[""];
    for (const auto& [folder, files] : own) {
        for (std::string_view name = folder;; name = parentOf(name)) {
            InventoryDir::Totals& entry = totals[std::string(name)];
            entry.size += files.size;
            entry.count += files.count;
            if (name.empty()) {
                break;
            }
        }
    }
    const std::string sql = std::string("INSERT INTO ") + kSchema +
                            ".folder_totals (inventory_id, name, size, count) VALUES (?, ?, ?, ?)";
    for (const auto& [name, entry] : totals) {
        db.executeUpdate(sql, {inventoryID, name, entry.size, entry.count});
    }
}

std::optional<InventoryDir::TotalsMap> InventoryIndex::subtreeTotals(Database& db,
                                                                     std::int64_t inventoryID,
                                                                     const std::string& top,
                                                                     int levels) {
    if (!attached(db) || !isCurrent(db, inventoryID)) {
        return std::nullopt;
    }
    std::string sql = std::string("SELECT name, size, count FROM ") + kSchema +
                      ".folder_totals WHERE inventory_id = :inventory_id ";
    SqlNamedArgs args{{"inventory_id", inventoryID}};
    if (!top.empty()) {
        // The folder and the names below it, up to `top` + "0" ("0" follows "/").
        sql += "AND (name = :top OR (name > :below AND name < :after))";
        args["top"] = top;
        args["below"] = top + "/";
        args["after"] = top + "0";
    }
    InventoryDir::TotalsMap totals;
    totals[top];
    auto rows = db.executeQuery(sql, args);
    if (!rows) {
        return std::nullopt;
    }
    const std::size_t skip = top.empty() ? 0 : top.size() + 1;
    while (rows->next()) {
        const std::string_view name = rows->textForColumn(0);
        if (name.size() > top.size()) {
            int depth = 1;
            for (std::size_t i = skip; i < name.size() && depth <= levels; ++i) {
                depth += name[i] == '/' ? 1 : 0;
            }
            if (depth > levels) {
                continue;
            }
        }
        const std::int64_t count = rows->longForColumn(2);
        if (count != 0 || name == top) {
            totals[std::string(name)] = {rows->longForColumn(1), count};
        }
    }
    return totals;
}

void InventoryIndex::addName(Database& db, std::int64_t inventoryID, std::int64_t itemID,
                             std::string_view name) {
    const std::string table = namesTable(inventoryID);
    db.executeUpdate("INSERT INTO " + table + " (rowid, name) VALUES (?, ?)",
                     {itemID, CaseFolding::fold(name)});
}

void InventoryIndex::removeName(Database& db, std::int64_t inventoryID, std::int64_t itemID,
                                std::string_view name) {
    const std::string table = namesTable(inventoryID);
    const std::string bare = table.substr(table.find('.') + 1);
    db.executeUpdate(
        "INSERT INTO " + table + " (" + bare + ", rowid, name) VALUES ('delete', ?, ?)",
        {itemID, CaseFolding::fold(name)});
}

std::optional<std::string> InventoryIndex::matchFor(std::string_view literal) {
    const std::string folded = CaseFolding::fold(literal);
    // Character starts (UTF-8 lead bytes): trigrams are three characters.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < folded.size(); ++i) {
        if ((static_cast<unsigned char>(folded[i]) & 0xC0) != 0x80) {
            starts.push_back(i);
        }
    }
    if (starts.size() < 3) {
        return std::nullopt;
    }
    starts.push_back(folded.size());
    std::set<std::string> trigrams;
    for (std::size_t i = 0; i + 3 < starts.size(); ++i) {
        trigrams.insert(folded.substr(starts[i], starts[i + 3] - starts[i]));
    }
    std::string query;
    for (const std::string& trigram : trigrams) {
        if (!query.empty()) {
            query += " AND ";
        }
        query += '"';
        for (char c : trigram) {
            query += c;
            if (c == '"') {
                query += '"';
            }
        }
        query += '"';
    }
    return query;
}

}  // namespace quillon
