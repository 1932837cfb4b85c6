// Tags: the cached tags and their remote reads and changes. Threads: as in Tags.h.
#include "vaults/Tags.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/FetchStamp.h"
#include "foundation/JSON.h"
#include "foundation/Support.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

// Writes the tags into the cache, each replacing the row of its key.
void storeTags(Database& database, const std::string& regionId, const std::string& vaultName,
               const std::vector<Tag>& tags) {
    for (const Tag& tag : tags) {
        database.executeUpdate(
            "REPLACE INTO tags (key, value, region, vault) VALUES (:key, :value, :region, :vault)",
            SqlNamedArgs{{"key", tag.key},
                         {"value", tag.value},
                         {"region", regionId},
                         {"vault", vaultName}});
    }
}

}  // namespace

Tags::Tags(Vault& vault) : vault_(vault) {}

DatabaseQueue& Tags::db() {
    return vault_.db();
}

std::string Tags::region() const {
    return vault_.accountRegion()->region()->id();
}

int Tags::count() {
    int result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .intForQuery("SELECT count(key) FROM tags WHERE region = ? AND vault = ?",
                                  {region(), vault_.name})
                     .value_or(0);
    });
    return result;
}

bool Tags::quotaReached() {
    return count() > kQuota - 1;
}

std::vector<Tag> Tags::all() {
    std::vector<Tag> tags;
    db().inDatabase([&](Database& database) {
        std::vector<std::string> keys;
        if (auto rows = database.executeQuery(
                "SELECT key FROM tags WHERE region = ? AND vault = ? ORDER BY key",
                {region(), vault_.name})) {
            while (rows->next()) {
                if (auto key = rows->stringForColumn("key")) {
                    keys.push_back(*key);
                }
            }
        }
        for (const std::string& key : keys) {
            if (auto tag = getFromDB(database, key)) {
                tags.push_back(*tag);
            }
        }
    });
    return tags;
}

std::optional<Tag> Tags::getFromDB(Database& db, const std::string& key) {
    auto rows =
        db.executeQuery("SELECT value FROM tags WHERE key = ? AND region = ? AND vault = ? LIMIT 1",
                        {key, region(), vault_.name});
    if (!rows || !rows->next()) {
        return std::nullopt;
    }
    return Tag{key, rows->stringForColumn("value").value_or("")};
}

std::optional<Tag> Tags::get(const std::string& key) {
    std::optional<Tag> tag;
    db().inDatabase([&](Database& database) { tag = getFromDB(database, key); });
    return tag;
}

std::optional<std::int64_t> Tags::lastSync() {
    return FetchStamp::lastFetch(db(),
                                 "SELECT last_fetch FROM tags_fetch WHERE region = ? AND vault = ?",
                                 {region(), vault_.name});
}

bool Tags::didSync() {
    return FetchStamp::anyFetch(
        db(), "SELECT count(last_fetch) FROM tags_fetch WHERE region = ? AND vault = ?",
        {region(), vault_.name});
}

bool Tags::needSync() {
    auto last = lastSync();
    return !last || nowSeconds() > *last + kFreshSeconds;
}

ApiPath Tags::apiBasePath() const {
    return vault_.apiBasePath().word("tags");
}

RequestOperation::Ptr Tags::apiGet(std::function<void(const std::vector<Tag>&, ErrorPtr)> done) {
    // The completion keeps the vault, and with it this object, alive.
    VaultPtr keep = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformJSONRequest(
        {.path = apiBasePath(), .parameters = JSON(JSON::Value::object())},
        AnswerShape::object().objectMember("/Tags"),
        [this, keep, done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done({}, error);
                return;
            }
            std::vector<Tag> tags = Tag::multiple(json);
            const std::string regionId = region();
            const std::string vaultName = vault_.name;
            db().inTransaction([&](Database& database, bool&) {
                database.executeUpdate("DELETE FROM tags WHERE region = :region AND vault = :vault",
                                       SqlNamedArgs{{"region", regionId}, {"vault", vaultName}});
                storeTags(database, regionId, vaultName, tags);
                database.executeUpdate(
                    "REPLACE INTO tags_fetch (region, vault, last_fetch) VALUES (:region, "
                    ":vault, :last_fetch)",
                    SqlNamedArgs{
                        {"region", regionId}, {"vault", vaultName}, {"last_fetch", nowSeconds()}});
            });
            done(tags, nullptr);
        });
}

RequestOperation::Ptr Tags::apiChange(
    const std::string& operation, JSON::Value body,
    std::function<void(Database&, const std::string&, const std::string&)> mirror,
    std::function<void(ErrorPtr)> done) {
    VaultPtr keep = vault_.shared_from_this();
    return vault_.accountRegion()->apiPerformRequest(
        {.method = "POST",
         .path = apiBasePath(),
         .parameters = JSON(std::move(body)),
         .query = "operation=" + operation},
        [this, keep, mirror = std::move(mirror), done = std::move(done)](ErrorPtr error,
                                                                         RequestOperation::Ptr) {
            if (error) {
                done(error);
                return;
            }
            const std::string regionId = region();
            const std::string vaultName = vault_.name;
            db().inTransaction(
                [&](Database& database, bool&) { mirror(database, regionId, vaultName); });
            done(nullptr);
        });
}

RequestOperation::Ptr Tags::apiAdd(const std::vector<Tag>& tags,
                                   std::function<void(ErrorPtr)> done) {
    JSON::Value members = JSON::Value::object();
    for (const Tag& tag : tags) {
        members[tag.key] = tag.value;
    }
    return apiChange(
        "add", {{"Tags", members}},
        [tags](Database& database, const std::string& regionId, const std::string& vaultName) {
            storeTags(database, regionId, vaultName, tags);
        },
        std::move(done));
}

RequestOperation::Ptr Tags::apiRemove(const std::vector<std::string>& keys,
                                      std::function<void(ErrorPtr)> done) {
    return apiChange(
        "remove", {{"TagKeys", keys}},
        [keys](Database& database, const std::string& regionId, const std::string& vaultName) {
            for (const std::string& key : keys) {
                database.executeUpdate(
                    "DELETE FROM tags WHERE region = :region AND vault = :vault AND key = :key",
                    SqlNamedArgs{{"region", regionId}, {"vault", vaultName}, {"key", key}});
            }
        },
        std::move(done));
}

}  // namespace quillon
