// ModelState: resetting the model state and dumping rows. Threads: as in ModelState.h.
#include "support/ModelState.h"

#include <cstdlib>

#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "accounts/Regions.h"
#include "foundation/MainQueue.h"
#include "interfaces/platform/UserDefaults.h"
#include "vaults/VaultCache.h"

namespace quillon::testing {

namespace {

void clearCaches() {
    VaultCache::shared().clear();
    Accounts::cache().clear();
    Regions::testRegions().clear();
    Regions::clearLookupCache();
}

}  // namespace

FreshModelState::FreshModelState(const std::string& home) {
    setenv("QUILLON_HOME", (home + "/app").c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("UNITTEST", "1", 1);
    UserDefaults::resetStandard();
    AccountsDB::setSharedInstance(nullptr);
    clearCaches();
}

FreshModelState::~FreshModelState() {
    // Deletion notifications hold vaults: let them run before the state goes.
    MainQueue::runOnce();
    clearCaches();
}

RegionPtr addTestRegion(const std::string& id, const std::string& name, const std::string& url) {
    auto region = std::make_shared<Region>(id, name, url, false);
    Regions::testRegions()[id] = region;
    Regions::clearLookupCache();
    return region;
}

AccountPtr saveTestAccount(const std::string& name, const std::string& accessKey,
                           const std::string& secret, const std::vector<RegionPtr>& regions) {
    AccountPtr account = Account::create();
    account->name = name;
    account->accessKey = accessKey;
    account->setSecret(secret);
    account->activeRegions.clear();
    for (const RegionPtr& region : regions) {
        account->activeRegions.insert(region);
    }
    EXPECT_TRUE(account->save(true));
    return account;
}

std::string dumpRows(DatabaseQueue& queue, const std::string& table) {
    return dumpQuery(queue, "SELECT * FROM " + table + " ORDER BY 1, 2");
}

std::string dumpQuery(DatabaseQueue& queue, const std::string& sql) {
    std::string text;
    queue.inDatabase([&](Database& db) {
        auto rows = db.executeQuery(sql);
        while (rows && rows->next()) {
            for (int i = 0; i < rows->columnCount(); ++i) {
                text += rows->stringForColumn(i).value_or("NULL") + "|";
            }
            text += "\n";
        }
    });
    return text;
}

}  // namespace quillon::testing
