#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/Regions.h"
#include "interfaces/platform/MainQueue.h"
#include "interfaces/platform/UserDefaults.h"
#include "support/CaptureServer.h"
#include "support/ModelState.h"
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
        account = makeAccount({"local-1"});
        accountRegion = account->accountRegion("local-1");
    }

    RegionPtr region(const std::string& id) {
        if (!Regions::testRegions().contains(id)) {
            return addTestRegion(id, "Test " + id, sim.regionURL(id));
        }
        return Regions::testRegions()[id];
    }

    // This account in a region `id` whose requests reach `server`, with a vault `vaultName`
    // there that only the test knows of.
    VaultPtr vaultAt(const CaptureServer& server, const std::string& vaultName,
                     const std::string& id = "capture-1") {
        Regions::testRegions()[id] =
            std::make_shared<Region>(id, "Capture", server.baseURL(), false);
        VaultPtr vault = Vault::create(AccountRegion::create(account, Regions::testRegions()[id]));
        vault->name = vaultName;
        return vault;
    }

    AccountPtr makeAccount(const std::vector<std::string>& regionIds,
                           const std::string& name = "Test") {
        std::vector<RegionPtr> regions;
        for (const std::string& id : regionIds) {
            regions.push_back(region(id));
        }
        return saveTestAccount(name, sim.accessKey(), sim.secretKey(), regions);
    }

    // Creates empty vaults on the service only.
    void seedVaults(const std::vector<std::string>& names, const std::string& regionId = "local-1",
                    long archives = 0, long size = 1) {
        for (const std::string& name : names) {
            sim.seed({{"region", regionId}, {"vault", name}, {"count", archives}, {"size", size}});
        }
    }

    template <typename Start>
    ErrorPtr await(Start start) {
        return awaitCompletion(start);
    }

    ErrorPtr sync(const AccountRegionPtr& target) {
        return await([&](auto done) { target->vaults().sync(done); });
    }

    // Every row of a table as text, for before/after comparisons.
    std::string dump(const std::string& table) { return dumpRows(account->db(), table); }

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
    FreshModelState state{home.path()};
    AccountPtr account;
    AccountRegionPtr accountRegion;
};

}  // namespace quillon::testing
