#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "accounts/Regions.h"
#include "interfaces/MainQueue.h"
#include "interfaces/UserDefaults.h"
#include "support/Simulator.h"
#include "support/TempDir.h"
#include "vaults/Vault.h"
#include "vaults/VaultCache.h"
#include "vaults/Vaults.h"

namespace quillon::testing {

// A fresh application directory, a simulator and one saved account whose regions are
// separate regions of that simulator ("local-1", ...).
class VaultFixture : public ::testing::Test {
  protected:
    static constexpr auto kWait = std::chrono::seconds(30);

    void SetUp() override {
        setenv("QUILLON_HOME", (home.path() + "/app").c_str(), 1);
        setenv("HOME", home.path().c_str(), 1);
        setenv("UNITTEST", "1", 1);
        UserDefaults::resetStandard();
        AccountsDB::setSharedInstance(nullptr);
        Accounts::cache().clear();
        VaultCache::shared().clear();
        Regions::testRegions().clear();
        Regions::clearLookupCache();
        account = makeAccount({"local-1"});
        accountRegion = account->accountRegion("local-1");
    }

    void TearDown() override {
        // Deletion notifications hold vaults: let them run before the state goes.
        MainQueue::runOnce();
        VaultCache::shared().clear();
        Accounts::cache().clear();
        Regions::testRegions().clear();
        Regions::clearLookupCache();
    }

    RegionPtr region(const std::string& id) {
        auto& regions = Regions::testRegions();
        if (!regions.contains(id)) {
            regions[id] = std::make_shared<Region>(id, "Test " + id, sim.regionURL(id), false);
        }
        return regions[id];
    }

    AccountPtr makeAccount(const std::vector<std::string>& regionIds,
                           const std::string& name = "Test") {
        auto created = Account::create();
        created->name = name;
        created->accessKey = sim.accessKey();
        created->setSecret(sim.secretKey());
        created->activeRegions.clear();
        for (const std::string& id : regionIds) {
            created->activeRegions.insert(region(id));
        }
        created->save(true);
        return created;
    }

    // Creates empty vaults on the service only.
    void seedVaults(const std::vector<std::string>& names, const std::string& regionId = "local-1",
                    long archives = 0, long size = 1) {
        for (const std::string& name : names) {
            sim.seed({{"region", regionId}, {"vault", name}, {"count", archives}, {"size", size}});
        }
    }

    // Runs an operation that reports through a completion and waits for it.
    template <typename Start>
    ErrorPtr await(Start start) {
        auto promise = std::make_shared<std::promise<ErrorPtr>>();
        auto future = promise->get_future();
        start([promise](ErrorPtr error) { promise->set_value(std::move(error)); });
        if (future.wait_for(kWait) != std::future_status::ready) {
            ADD_FAILURE() << "no completion";
            return nullptr;
        }
        return future.get();
    }

    ErrorPtr sync(const AccountRegionPtr& target) {
        return await([&](auto done) { target->vaults().sync(done); });
    }

    // Every row of a table as text, for before/after comparisons.
    std::string dump(const std::string& table) {
        std::string text;
        account->db().inDatabase([&](Database& db) {
            auto rows = db.executeQuery("SELECT * FROM " + table + " ORDER BY 1, 2");
            while (rows && rows->next()) {
                for (int i = 0; i < rows->columnCount(); ++i) {
                    text += rows->stringForColumn(i).value_or("NULL") + "|";
                }
                text += "\n";
            }
        });
        return text;
    }

    std::int64_t queryInt(const std::string& sql, const SqlArgs& args = {}) {
        std::int64_t value = -1;
        account->db().inDatabase(
            [&](Database& db) { value = db.longForQuery(sql, args).value_or(-1); });
        return value;
    }

    void execute(const std::string& sql, const SqlArgs& args = {}) {
        account->db().inDatabase([&](Database& db) { ASSERT_TRUE(db.executeUpdate(sql, args)); });
    }

    std::vector<std::string> names(const std::vector<VaultPtr>& vaults) {
        std::vector<std::string> list;
        for (const auto& vault : vaults) {
            list.push_back(vault->name);
        }
        return list;
    }

    // Requests the service saw, as "METHOD target".
    std::vector<std::string> requests() {
        std::vector<std::string> list;
        for (const auto& entry : sim.requestLog()) {
            list.push_back(entry["method"].get<std::string>() + " " +
                           entry["target"].get<std::string>());
        }
        return list;
    }

    TempDir home;
    Simulator sim;
    AccountPtr account;
    AccountRegionPtr accountRegion;
};

}  // namespace quillon::testing
