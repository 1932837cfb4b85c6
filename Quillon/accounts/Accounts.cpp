// Accounts: account lookups and the id cache. Threads: as in Accounts.h.
#include "accounts/Accounts.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountsDB.h"
#include "accounts/Region.h"
#include "accounts/Regions.h"
#include "interfaces/db/Database.h"
#include "interfaces/platform/UserDefaults.h"

namespace quillon {

std::map<std::int64_t, AccountPtr>& Accounts::cache() {
    static std::map<std::int64_t, AccountPtr> accounts;
    return accounts;
}

int Accounts::count() {
    int result = 0;
    AccountsDB::sharedInstance()->db().inDatabase([&](Database& db) {
        result = db.intForQuery("SELECT count(id) FROM accounts").value_or(0);
    });
    return result;
}

std::vector<AccountPtr> Accounts::all() {
    std::vector<AccountPtr> accounts;
    AccountsDB::sharedInstance()->db().inDatabase([&](Database& db) {
        std::vector<std::int64_t> ids;
        if (auto rows = db.executeQuery("SELECT id FROM accounts ORDER BY name")) {
            while (rows->next()) {
                ids.push_back(rows->longForColumn("id"));
            }
        }
        for (std::int64_t id : ids) {
            if (AccountPtr account = getFromDB(db, id)) {
                accounts.push_back(account);
            }
        }
    });
    return accounts;
}

AccountPtr Accounts::get(std::int64_t id) {
    if (auto it = cache().find(id); it != cache().end()) {
        return it->second;
    }
    AccountPtr account;
    AccountsDB::sharedInstance()->db().inDatabase(
        [&](Database& db) { account = getFromDB(db, id); });
    return account;
}

namespace {

AccountPtr getByColumn(const std::string& sql, const std::string& value) {
    std::optional<std::int64_t> id;
    AccountsDB::sharedInstance()->db().inDatabase(
        [&](Database& db) { id = db.longForQuery(sql, {value}); });
    return id ? Accounts::get(*id) : nullptr;
}

}  // namespace

AccountPtr Accounts::get(const std::string& name) {
    return getByColumn("SELECT id FROM accounts WHERE name = ?", name);
}

AccountPtr Accounts::getByAccessKey(const std::string& accessKey) {
    return getByColumn("SELECT id FROM accounts WHERE access_key = ?", accessKey);
}

AccountPtr Accounts::getFromDB(Database& db, std::int64_t id) {
    if (auto it = cache().find(id); it != cache().end()) {
        return it->second;
    }
    auto rows = db.executeQuery(
        "SELECT id, name, access_key, use_keychain FROM accounts WHERE id = ?", {id});
    if (!rows || !rows->next()) {
        return nullptr;
    }
    auto account = Account::create();
    account->id = id;
    account->name = rows->stringForColumn("name").value_or("");
    account->originalName = account->name;
    account->accessKey = rows->stringForColumn("access_key").value_or("");
    account->useKeychain = rows->boolForColumn("use_keychain");
    account->credentialsProfile =
        UserDefaults::standard()->string(account->credentialsProfileKey()).value_or("");
    rows->close();

    int regionCount =
        db.intForQuery("SELECT COUNT(region) FROM account_regions WHERE account_id = ?", {id})
            .value_or(0);
    if (regionCount >= 1) {
        RegionSet regions;
        if (auto regionRows =
                db.executeQuery("SELECT region FROM account_regions WHERE account_id = ?", {id})) {
            while (regionRows->next()) {
                auto regionId = regionRows->stringForColumn("region");
                if (!regionId) {
                    continue;
                }
                if (RegionPtr region = Regions::get(*regionId)) {
                    regions.insert(region);
                }
            }
        }
        if (!regions.empty()) {
            account->activeRegions = std::move(regions);
        }
    }
    cache()[id] = account;
    return account;
}

}  // namespace quillon
