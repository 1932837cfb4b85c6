#include "vaults/Vaults.h"

#include <chrono>

#include "accounts/AccountRegion.h"
#include "interfaces/FileHelpers.h"
#include "interfaces/PathComponents.h"

namespace quillon {

Vaults::Vaults(AccountRegion& accountRegion) : accountRegion_(accountRegion) {}

DatabaseQueue& Vaults::db() {
    return accountRegion_.db();
}

int Vaults::count() {
    int result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .intForQuery("SELECT count(name) FROM vaults WHERE region = ?",
                                  {accountRegion_.region()->id()})
                     .value_or(0);
    });
    return result;
}

int Vaults::numberOfArchives() {
    int result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .intForQuery(
                         "SELECT COALESCE(SUM(number_of_archives), 0) FROM vaults WHERE region = ?",
                         {accountRegion_.region()->id()})
                     .value_or(0);
    });
    return result;
}

std::int64_t Vaults::size() {
    std::int64_t result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .longForQuery("SELECT COALESCE(SUM(size), 0) FROM vaults WHERE region = ?",
                                   {accountRegion_.region()->id()})
                     .value_or(0);
    });
    return result;
}

std::optional<std::int64_t> Vaults::lastSync() {
    std::optional<std::int64_t> result;
    db().inDatabase([&](Database& database) {
        if (auto rows = database.executeQuery(
                "SELECT last_fetch FROM vaults_fetch WHERE region = ? LIMIT 1",
                {accountRegion_.region()->id()});
            rows && rows->next()) {
            result = rows->dateForColumn("last_fetch");
        }
    });
    return result;
}

bool Vaults::didSync() {
    int result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .intForQuery("SELECT count(last_fetch) FROM vaults_fetch WHERE region = ?",
                                  {accountRegion_.region()->id()})
                     .value_or(0);
    });
    return result > 0;
}

bool Vaults::needSync() {
    auto last = lastSync();
    if (!last) {
        return true;
    }
    auto now = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    return now > *last + 3600;
}

RequestOperation::Ptr Vaults::apiGet(int limit, const std::string& marker, PageCompletion done) {
    JSON::Value parameters = JSON::Value::object();
    if (!marker.empty()) {
        parameters["marker"] = marker;
    }
    if (limit != 0) {
        parameters["limit"] = std::to_string(limit);
    }
    return accountRegion_.apiPerformJSONRequest(
        "GET", std::string(AccountRegion::apiBasePath) + "/vaults", JSON(parameters), {}, "", true,
        [done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done({}, "", error);
                return;
            }
            // Vault objects are built from the page once the vault class exists.
            done({}, json["Marker"].stringValue(), nullptr);
        });
}

void Vaults::sync(std::function<void(ErrorPtr)> done) {
    done(nullptr);
}

void Vaults::deleteAllLocalData() {
    FileHelpers::deleteDirectory(directory());
}

const std::string& Vaults::directory() {
    if (!directory_) {
        std::string dir = appendingPathComponent(accountRegion_.account()->directory(),
                                                 "Vaults." + accountRegion_.region()->id());
        if (!FileHelpers::directoryExists(dir)) {
            FileHelpers::createDirectory(dir);
        }
        directory_ = dir;
    }
    return *directory_;
}

}  // namespace quillon
