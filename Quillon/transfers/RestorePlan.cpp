// RestorePlan: the plan file's rows and their changes. Threads: as in RestorePlan.h.
#include "transfers/RestorePlan.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/db/Database.h"
#include "transfers/RestorePlanDBBuilder.h"

namespace quillon {

namespace {

constexpr int kBuildBatch = 2000;
constexpr const char* kColumns =
    "SELECT id, archive_id, path, local_path, size, tree_hash, created_at, state, job_id, "
    "requested_at, verified_bytes, requests, error FROM archives ";

ErrorPtr planError(std::int64_t code, const std::string& text) {
    return Error("RestorePlan", code, {{kLocalizedDescriptionKey, text}}).share();
}

bool selected(const std::string& name, const std::vector<std::string>& paths) {
    if (paths.empty()) {
        return true;
    }
    for (const std::string& path : paths) {
        if (name == path || (name.size() > path.size() && name.compare(0, path.size(), path) == 0 &&
                             name[path.size()] == '/')) {
            return true;
        }
    }
    return false;
}

struct Item {
    std::string archiveId;
    std::string name;
    std::int64_t size = 0;
    std::string treeHash;
    std::int64_t createdAt = 0;
};

}  // namespace

std::string RestorePlan::name(State state) {
    switch (state) {
        case State::planned:
            return "planned";
        case State::requested:
            return "requested";
        case State::ready:
            return "ready";
        case State::downloaded:
            return "downloaded";
        case State::failed:
            return "failed";
    }
    return "planned";
}

std::optional<RestorePlan::State> RestorePlan::stateNamed(const std::string& text) {
    for (State state : kStates) {
        if (name(state) == text) {
            return state;
        }
    }
    return std::nullopt;
}

std::string RestorePlan::localPathFor(const std::string& path, const std::string& archiveId) {
    if (!path.empty() && path.back() == '/') {
        return "";
    }
    std::string local;
    std::stringstream components(path);
    std::string component;
    while (std::getline(components, component, '/')) {
        if (component.empty() || component == "." || component == "..") {
            continue;
        }
        local += (local.empty() ? "" : "/") + component;
    }
    return local.empty() ? archiveId : local;
}

RestorePlan::RestorePlan(DatabaseQueuePtr queue) : queue_(std::move(queue)) {}

std::shared_ptr<RestorePlan> RestorePlan::open(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return nullptr;
    }
    RestorePlanDBBuilder builder(path);
    DatabaseQueuePtr queue = builder.getDBQueue();
    return queue ? std::make_shared<RestorePlan>(queue) : nullptr;
}

void RestorePlan::remove(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code ignored;
        std::filesystem::remove(path + suffix, ignored);
    }
}

std::shared_ptr<RestorePlan> RestorePlan::build(const std::string& path, DatabaseQueue& store,
                                                std::int64_t inventoryId,
                                                const Selection& selection, ErrorPtr& error) {
    const std::string building = path + ".building";
    remove(building);
    DatabaseQueuePtr queue;
    {
        RestorePlanDBBuilder builder(building);
        queue = builder.getDBQueue();
    }
    if (!queue) {
        error = planError(1, "Cannot create the restore plan " + building);
        return nullptr;
    }
    auto plan = std::make_shared<RestorePlan>(queue);
    JSON::Value paths = JSON::Value::array();
    for (const std::string& selectedPath : selection.paths) {
        paths.push_back(selectedPath);
    }
    plan->setSetting("to", selection.to);
    plan->setSetting("paths", paths.dump());
    plan->setSetting("inventoryId", std::to_string(inventoryId));

    // The inventory's rows in id order, a batch at a time: the only items in memory are one
    // batch's.
    std::int64_t after = 0;
    std::uint64_t failures = 0;
    while (true) {
        std::vector<Item> batch;
        bool more = false;
        store.inDatabase([&](Database& db) {
            auto rs = db.executeQuery(
                "SELECT id, archive_id, name, size, tree_hash, created_at FROM inventory_items "
                "WHERE +inventory_id = ? AND id > ? AND local_delete IS NULL ORDER BY id LIMIT " +
                    std::to_string(kBuildBatch),
                {inventoryId, after});
            int count = 0;
            while (rs && rs->next()) {
                ++count;
                after = rs->longForColumn(0);
                Item item{rs->stringForColumn(1).value_or(""), rs->stringForColumn(2).value_or(""),
                          rs->longForColumn(3), rs->stringForColumn(4).value_or(""),
                          rs->longForColumn(5)};
                if (selected(item.name, selection.paths) && !item.archiveId.empty()) {
                    batch.push_back(std::move(item));
                }
            }
            more = count == kBuildBatch;
        });
        queue->inTransaction([&](Database& db, bool&) {
            const std::uint64_t before = db.storageFailures();
            for (const Item& item : batch) {
                const std::string local = localPathFor(item.name, item.archiveId);
                if (local.empty()) {
                    continue;
                }
                db.executeUpdate(
                    "INSERT OR IGNORE INTO archives (archive_id, path, local_path, size, "
                    "tree_hash, created_at) VALUES (?, ?, ?, ?, ?, ?)",
                    {item.archiveId, item.name, local, item.size, item.treeHash, item.createdAt});
            }
            failures += db.storageFailures() - before;
        });
        if (!more) {
            break;
        }
    }
    // Of the archives that share a local path the newest stays; the others are set aside.
    queue->inTransaction([&](Database& db, bool&) {
        const std::uint64_t before = db.storageFailures();
        db.executeUpdate(
            "INSERT INTO collisions (archive_id, path, local_path, size, created_at, "
            "kept_archive_id) SELECT a.archive_id, a.path, a.local_path, a.size, a.created_at, "
            "(SELECT b.archive_id FROM archives b WHERE b.local_path = a.local_path ORDER BY "
            "b.created_at DESC, b.archive_id DESC LIMIT 1) FROM archives a WHERE EXISTS (SELECT "
            "1 FROM archives b WHERE b.local_path = a.local_path AND (b.created_at > "
            "a.created_at OR (b.created_at = a.created_at AND b.archive_id > a.archive_id)))");
        db.executeUpdate(
            "DELETE FROM archives WHERE archive_id IN (SELECT archive_id FROM collisions)");
        failures += db.storageFailures() - before;
    });
    const std::int64_t planned = plan->totals()[State::planned].archives;
    queue->close();
    queue.reset();
    plan.reset();
    if (failures > 0) {
        remove(building);
        error = planError(2, "Cannot write the restore plan " + building);
        return nullptr;
    }
    if (planned == 0) {
        remove(building);
        error = planError(3, "Nothing in the inventory matches what is to be restored");
        return nullptr;
    }
    std::error_code ec;
    std::filesystem::rename(building, path, ec);
    if (ec) {
        remove(building);
        error = planError(2, "Cannot write the restore plan " + path + ": " + ec.message());
        return nullptr;
    }
    remove(building);
    return open(path);
}

std::optional<std::string> RestorePlan::setting(const std::string& key) {
    std::optional<std::string> value;
    queue_->inDatabase([&](Database& db) {
        value = db.stringForQuery("SELECT value FROM settings WHERE key = ?", {key});
    });
    return value;
}

void RestorePlan::setSetting(const std::string& key, const std::string& value) {
    queue_->inDatabase([&](Database& db) {
        db.executeUpdate("INSERT OR REPLACE INTO settings (key, value) VALUES (?, ?)",
                         {key, value});
    });
}

std::string RestorePlan::to() {
    return setting("to").value_or("");
}

std::vector<std::string> RestorePlan::paths() {
    std::vector<std::string> list;
    if (auto text = setting("paths")) {
        if (auto parsed = JSON::tryParse(*text)) {
            for (const JSON& element : parsed->arrayValue()) {
                list.push_back(element.stringValue());
            }
        }
    }
    return list;
}

std::map<RestorePlan::State, RestorePlan::Totals> RestorePlan::totals() {
    std::map<State, Totals> totals;
    for (State state : kStates) {
        totals[state] = {};
    }
    queue_->inDatabase([&](Database& db) {
        auto rs = db.executeQuery(
            "SELECT state, COUNT(*), COALESCE(SUM(size), 0) FROM archives GROUP BY state");
        while (rs && rs->next()) {
            if (auto state = stateNamed(rs->stringForColumn(0).value_or(""))) {
                totals[*state] = {rs->longForColumn(1), rs->longForColumn(2)};
            }
        }
    });
    return totals;
}

RestorePlan::Row RestorePlan::rowFrom(const ResultSet& rs) {
    Row row;
    row.id = rs.longForColumn(0);
    row.archiveId = rs.stringForColumn(1).value_or("");
    row.path = rs.stringForColumn(2).value_or("");
    row.localPath = rs.stringForColumn(3).value_or("");
    row.size = rs.longForColumn(4);
    row.treeHash = rs.stringForColumn(5).value_or("");
    row.createdAt = rs.longForColumn(6);
    row.state = stateNamed(rs.stringForColumn(7).value_or("")).value_or(State::planned);
    row.jobId = rs.stringForColumn(8).value_or("");
    if (!rs.columnIsNull(9)) {
        row.requestedAt = rs.longForColumn(9);
    }
    row.verifiedBytes = rs.longForColumn(10);
    row.requests = rs.longForColumn(11);
    row.error = rs.stringForColumn(12).value_or("");
    return row;
}

std::vector<RestorePlan::Row> RestorePlan::query(const std::string& where, const SqlArgs& args) {
    std::vector<Row> list;
    queue_->inDatabase([&](Database& db) {
        auto rs = db.executeQuery(kColumns + where, args);
        while (rs && rs->next()) {
            list.push_back(rowFrom(*rs));
        }
    });
    return list;
}

std::vector<RestorePlan::Row> RestorePlan::rows(State state, std::int64_t afterId, int limit) {
    return query("WHERE state = ? AND id > ? ORDER BY id LIMIT " + std::to_string(limit),
                 {name(state), afterId});
}

std::optional<RestorePlan::Row> RestorePlan::row(std::int64_t id) {
    auto list = query("WHERE id = ?", {id});
    return list.empty() ? std::nullopt : std::optional<Row>(list.front());
}

std::optional<RestorePlan::Row> RestorePlan::byArchiveId(const std::string& archiveId) {
    auto list = query("WHERE archive_id = ?", {archiveId});
    return list.empty() ? std::nullopt : std::optional<Row>(list.front());
}

std::vector<RestorePlan::Collision> RestorePlan::collisions() {
    std::vector<Collision> list;
    queue_->inDatabase([&](Database& db) {
        auto rs = db.executeQuery(
            "SELECT path, archive_id, size, kept_archive_id FROM collisions ORDER BY path, "
            "created_at DESC");
        while (rs && rs->next()) {
            list.push_back({rs->stringForColumn(0).value_or(""),
                            rs->stringForColumn(1).value_or(""), rs->longForColumn(2),
                            rs->stringForColumn(3).value_or("")});
        }
    });
    return list;
}

std::int64_t RestorePlan::plannedDownloadRequests(std::int64_t partSize) {
    std::int64_t count = 0;
    queue_->inDatabase([&](Database& db) {
        count = db.longForQuery(
                      "SELECT COALESCE(SUM(MAX(1, (size + ? - 1) / ?)), 0) FROM "
                      "archives WHERE state = 'planned'",
                      {partSize, partSize})
                    .value_or(0);
    });
    return count;
}

std::int64_t RestorePlan::requestedBytesSince(double since) {
    std::int64_t bytes = 0;
    queue_->inDatabase([&](Database& db) {
        bytes = db.longForQuery("SELECT COALESCE(SUM(bytes), 0) FROM requests WHERE at > ?",
                                {static_cast<std::int64_t>(since)})
                    .value_or(0);
    });
    return bytes;
}

std::optional<std::int64_t> RestorePlan::firstRequestSince(double since) {
    std::optional<std::int64_t> first;
    queue_->inDatabase([&](Database& db) {
        first = db.longForQuery("SELECT MIN(at) FROM requests WHERE at > ?",
                                {static_cast<std::int64_t>(since)});
    });
    return first;
}

std::int64_t RestorePlan::expiredCount() {
    auto text = setting("expired");
    return text ? std::stoll(*text) : 0;
}

void RestorePlan::markRequesting(const Row& row, std::int64_t at) {
    queue_->inTransaction([&](Database& db, bool&) {
        db.executeUpdate(
            "UPDATE archives SET state = 'requested', job_id = NULL, requested_at = ?, "
            "requests = requests + 1, error = NULL WHERE id = ?",
            {at, row.id});
        db.executeUpdate("INSERT INTO requests (archive, at, bytes) VALUES (?, ?, ?)",
                         {row.id, at, row.size});
    });
}

void RestorePlan::unmarkRequesting(const Row& row) {
    queue_->inTransaction([&](Database& db, bool&) {
        db.executeUpdate(
            "UPDATE archives SET state = 'planned', job_id = NULL, requested_at = NULL, "
            "requests = MAX(0, requests - 1) WHERE id = ?",
            {row.id});
        db.executeUpdate(
            "DELETE FROM requests WHERE rowid = (SELECT MAX(rowid) FROM requests WHERE "
            "archive = ?)",
            {row.id});
    });
}

void RestorePlan::setJob(std::int64_t id, const std::string& jobId, State state) {
    queue_->inDatabase([&](Database& db) {
        db.executeUpdate("UPDATE archives SET job_id = ?, state = ? WHERE id = ?",
                         {jobId, name(state), id});
    });
}

void RestorePlan::setPlanned(std::int64_t id, bool expired) {
    queue_->inTransaction([&](Database& db, bool&) {
        db.executeUpdate(
            "UPDATE archives SET state = 'planned', job_id = NULL, verified_bytes = 0 WHERE "
            "id = ?",
            {id});
        if (expired) {
            db.executeUpdate(
                "INSERT OR REPLACE INTO settings (key, value) VALUES ('expired', "
                "COALESCE((SELECT value FROM settings WHERE key = 'expired'), 0) + 1)");
        }
    });
}

void RestorePlan::setDownloaded(std::int64_t id) {
    queue_->inDatabase([&](Database& db) {
        db.executeUpdate(
            "UPDATE archives SET state = 'downloaded', verified_bytes = size, error = NULL "
            "WHERE id = ?",
            {id});
    });
}

void RestorePlan::setFailed(std::int64_t id, const std::string& error) {
    queue_->inDatabase([&](Database& db) {
        db.executeUpdate("UPDATE archives SET state = 'failed', error = ? WHERE id = ?",
                         {error, id});
    });
}

}  // namespace quillon
