// PurgeCheckpoint: the one-row state table of a vault purge. Threads: as in PurgeCheckpoint.h.
#include "transfers/PurgeCheckpoint.h"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/FileHelpers.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/db/Database.h"

namespace quillon {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS purge (  id INTEGER PRIMARY KEY CHECK (id = 1),  inventory_id "
    "INTEGER NOT NULL,  inventory_date INTEGER NOT NULL,  older_than_days REAL,  created_before "
    "INTEGER,  delete_vault INTEGER NOT NULL DEFAULT 0,  state TEXT NOT NULL,  position INTEGER "
    "NOT NULL DEFAULT 0,  deleted INTEGER NOT NULL DEFAULT 0,  started_at INTEGER,  updated_at "
    "INTEGER,  vault_refused_at INTEGER);";

SqlValue optionalInt(const std::optional<double>& value) {
    return value ? sqlInt(static_cast<std::int64_t>(*value)) : sqlNull();
}

}  // namespace

PurgeCheckpoint::PurgeCheckpoint(const std::string& directory)
    : queue_(std::make_unique<DatabaseQueue>(pathIn(directory))) {
    queue_->inDatabase([](Database& db) {
        db.executeQuery("PRAGMA journal_mode = WAL");
        db.executeStatements(kSchema);
    });
}

PurgeCheckpoint::~PurgeCheckpoint() = default;

std::string PurgeCheckpoint::pathIn(const std::string& directory) {
    return appendingPathComponent(directory, kFileName);
}

std::optional<PurgeCheckpoint::State> PurgeCheckpoint::peek(const std::string& directory) {
    std::string path = pathIn(directory);
    if (!FileHelpers::fileExists(path)) {
        return std::nullopt;
    }
    DatabaseQueue queue(path, SQLITE_OPEN_READONLY);
    std::optional<State> state;
    queue.inDatabase([&](Database& db) { state = loadFromDB(db); });
    return state;
}

std::optional<PurgeCheckpoint::State> PurgeCheckpoint::loadFromDB(Database& db) {
    auto rows = db.executeQuery(
        "SELECT inventory_id, inventory_date, older_than_days, created_before, delete_vault, "
        "state, position, deleted, started_at, vault_refused_at FROM purge WHERE id = 1");
    if (!rows || !rows->next()) {
        return std::nullopt;
    }
    State state;
    state.inventoryID = rows->longForColumn("inventory_id");
    state.inventoryDate = static_cast<double>(rows->longForColumn("inventory_date"));
    if (!rows->columnIsNull("older_than_days")) {
        state.olderThanDays = rows->doubleForColumn("older_than_days");
    }
    if (!rows->columnIsNull("created_before")) {
        state.createdBefore = static_cast<double>(rows->longForColumn("created_before"));
    }
    state.deleteVault = rows->boolForColumn("delete_vault");
    state.state = rows->stringForColumn("state").value_or(kDeleting);
    state.position = rows->longForColumn("position");
    state.deleted = rows->longForColumn("deleted");
    state.startedAt = static_cast<double>(rows->longForColumn("started_at"));
    if (!rows->columnIsNull("vault_refused_at")) {
        state.vaultRefusedAt = static_cast<double>(rows->longForColumn("vault_refused_at"));
    }
    return state;
}

std::optional<PurgeCheckpoint::State> PurgeCheckpoint::load() {
    std::optional<State> state;
    queue_->inDatabase([&](Database& db) { state = loadFromDB(db); });
    return state;
}

bool PurgeCheckpoint::save(const State& state) {
    bool saved = false;
    queue_->inDatabase([&](Database& db) {
        saved = db.executeUpdate(
            "INSERT OR REPLACE INTO purge (id, inventory_id, inventory_date, older_than_days, "
            "created_before, delete_vault, state, position, deleted, started_at, updated_at, "
            "vault_refused_at) VALUES (1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            {sqlInt(state.inventoryID), sqlInt(static_cast<std::int64_t>(state.inventoryDate)),
             state.olderThanDays ? SqlValue(*state.olderThanDays) : sqlNull(),
             optionalInt(state.createdBefore), sqlBool(state.deleteVault), state.state,
             sqlInt(state.position), sqlInt(state.deleted),
             sqlInt(static_cast<std::int64_t>(state.startedAt)), sqlInt(nowSeconds()),
             optionalInt(state.vaultRefusedAt)});
    });
    return saved;
}

bool PurgeCheckpoint::advance(std::int64_t position, std::int64_t deleted) {
    bool saved = false;
    queue_->inDatabase([&](Database& db) {
        saved = db.executeUpdate(
            "UPDATE purge SET position = ?, deleted = ?, updated_at = ? WHERE id = 1",
            {sqlInt(position), sqlInt(deleted), sqlInt(nowSeconds())});
    });
    return saved;
}

bool PurgeCheckpoint::clear() {
    bool cleared = false;
    queue_->inDatabase([&](Database& db) { cleared = db.executeUpdate("DELETE FROM purge"); });
    return cleared;
}

void PurgeCheckpoint::close() {
    queue_->close();
}

}  // namespace quillon
