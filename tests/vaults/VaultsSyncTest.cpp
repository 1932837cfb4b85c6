// Tests of vault sync: paging, later syncs, failures, every region and account removal.
// Threads: the test's thread waits on the main queue; the simulator is a separate process.
#include <atomic>
#include <mutex>

#include "VaultFixture.h"
#include "foundation/BaseModel.h"
#include "foundation/FileHelpers.h"
#include "interfaces/base/Localization.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/platform/NotificationCenter.h"
#include "support/CaptureServer.h"

namespace quillon::testing {
namespace {

class VaultsSyncTest : public VaultFixture {
  protected:
    // Deletes the vault on the service only.
    void removeOnService(const std::string& name) {
        ASSERT_EQ(await([&](auto done) {
                      accountRegion->apiPerformRequest(
                          {.method = "DELETE", .path = ApiPath::account().vault(name)},
                          [done](ErrorPtr error, auto) { done(error); });
                  }),
                  nullptr);
    }
};

TEST_F(VaultsSyncTest, PagesThroughTheListAndNumbersAFirstSyncByLowerCaseName) {
    // The service lists in byte order (capitals first); 23 vaults make three pages of 10.
    std::vector<std::string> seeded = {"beta", "Alpha", "gamma", "Delta"};
    for (int i = 0; i < 19; ++i) {
        seeded.push_back("v" + std::to_string(10 + i));
    }
    seedVaults(seeded);
    Vaults& vaults = accountRegion->vaults();
    EXPECT_TRUE(vaults.needSync());
    EXPECT_FALSE(vaults.didSync());

    ASSERT_EQ(sync(accountRegion), nullptr);
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["target"], "/-/vaults");
    std::string target = log[1]["target"];
    EXPECT_NE(target.find("marker="), std::string::npos);
    // The marker is the ARN of page 2's first vault.
    EXPECT_NE(target.find("vaults%2Fv16"), std::string::npos) << target;

    EXPECT_EQ(vaults.count(), 23);
    for (const auto& [name, expected] : std::vector<std::pair<std::string, std::int64_t>>{
             {"Alpha", 0}, {"beta", 1}, {"Delta", 2}, {"gamma", 3}, {"v28", 22}}) {
        EXPECT_EQ(position(name), expected) << name;
    }
    EXPECT_TRUE(vaults.didSync());
    EXPECT_FALSE(vaults.needSync());

    // An hour and a second later the list is stale.
    execute("UPDATE vaults_fetch SET last_fetch = last_fetch - 3601");
    EXPECT_TRUE(vaults.needSync());
}

TEST_F(VaultsSyncTest, LaterSyncsHideVanishedVaultsKeepPositionsAndAppendNewOnes) {
    seedVaults({"b", "c", "d"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    VaultPtr kept = accountRegion->vaults().get("b");
    ASSERT_TRUE(accountRegion->vaults().get("c"));
    execute("INSERT INTO tags (key, value, vault, region) VALUES ('k', 'v', 'c', 'local-1')");
    execute(
        "INSERT INTO archives (archive_id, description, tree_hash, action, vault, region) "
        "VALUES ('id', 'f', 'h', 'add', 'c', 'local-1')");
    std::atomic<bool> notified{false};
    auto token = NotificationCenter::defaultCenter().addObserver(
        NVVaultDeletedNotification, [&](const Notification&) { notified = true; });

    // "c" vanishes on the service (a fault, another endpoint); "a" and "e" are new.
    removeOnService("c");
    seedVaults({"a", "e"});
    ASSERT_EQ(sync(accountRegion), nullptr);

    for (const auto& [name, expected] : std::vector<std::pair<std::string, std::int64_t>>{
             {"b", 0}, {"d", 2}, {"a", 3}, {"e", 4}, {"c", -1}}) {
        EXPECT_EQ(position(name), expected) << name;
    }
    // Hidden, not deleted: its journal and tags stay, and no deletion is announced.
    EXPECT_EQ(accountRegion->vaults().hiddenNames(), std::vector<std::string>{"c"});
    EXPECT_EQ(accountRegion->vaults().get("c"), nullptr);
    EXPECT_EQ(queryInt("SELECT count(*) FROM tags WHERE vault = 'c'") +
                  queryInt("SELECT count(*) FROM archives WHERE vault = 'c'"),
              2);
    // The cache was emptied: the vault is a new object now.
    VaultPtr reloaded = accountRegion->vaults().get("b");
    ASSERT_NE(reloaded, nullptr);
    EXPECT_NE(reloaded, kept);
    EXPECT_EQ(reloaded->name, "b");

    // Listed again, it comes back with what it had; forgetting removes a hidden vault for good.
    seedVaults({"c"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    EXPECT_EQ(position("c"), 5);
    EXPECT_TRUE(accountRegion->vaults().hiddenNames().empty());
    EXPECT_EQ(queryInt("SELECT count(*) FROM archives WHERE vault = 'c'"), 1);
    EXPECT_FALSE(MainQueue::waitFor(notified, 0));
    removeOnService("c");
    ASSERT_EQ(sync(accountRegion), nullptr);
    EXPECT_FALSE(accountRegion->vaults().forgetHidden("b"));
    EXPECT_TRUE(accountRegion->vaults().forgetHidden("c"));
    EXPECT_EQ(queryInt("SELECT count(*) FROM archives WHERE vault = 'c'") +
                  queryInt("SELECT count(*) FROM hidden_vaults"),
              0);
    EXPECT_TRUE(MainQueue::waitFor(notified, 5));
    NotificationCenter::defaultCenter().removeObserver(token);

    // An empty service list hides every vault and still stamps.
    for (const char* name : {"a", "b", "d", "e"}) {
        removeOnService(name);
    }
    execute("UPDATE vaults_fetch SET last_fetch = 5");
    ASSERT_EQ(sync(accountRegion), nullptr);
    EXPECT_EQ(accountRegion->vaults().count(), 0);
    EXPECT_EQ(accountRegion->vaults().hiddenNames().size(), 4u);
    EXPECT_GT(queryInt("SELECT last_fetch FROM vaults_fetch WHERE region = 'local-1'"), 5);
}

TEST_F(VaultsSyncTest, FailingPageLeavesTheTablesAsTheyWere) {
    seedVaults({"one", "two"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    std::vector<std::string> more;
    for (int i = 0; i < 15; ++i) {
        more.push_back("more" + std::to_string(i));
    }
    seedVaults(more);
    execute("UPDATE vaults_fetch SET last_fetch = 7");
    std::string vaultsBefore = dump("vaults");
    std::string fetchBefore = dump("vaults_fetch");

    // A refusal that is not sent again (a 5xx would be, by the request frame).
    sim.injectFault(
        {{"status", 400}, {"code", "InvalidParameterValueException"}, {"path", "marker="}});
    ErrorPtr error = sync(accountRegion);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->stringForKey("awsExceptionCode"), "InvalidParameterValueException");
    EXPECT_EQ(requests().size(), 3u);  // the sync before, page 1, page 2
    EXPECT_EQ(dump("vaults"), vaultsBefore);
    EXPECT_EQ(dump("vaults_fetch"), fetchBefore);
}

TEST_F(VaultsSyncTest, RepeatingMarkerEndsTheWalkWithAnError) {
    // Every request gets the same vault-list page.
    CaptureServer server([](const std::string&) {
        return CaptureServer::response(
            200, "Content-Type: application/json\r\n",
            R"({"VaultList": [{"VaultName": "loop"}], "Marker": "again"})");
    });
    AccountRegionPtr looping = vaultAt(server, "loop", "loop-1")->accountRegion();

    ErrorPtr error = sync(looping);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(),
              BaseModel::invalidApiResponseError()->localizedDescription());
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(looping->vaults().count(), 0);
    EXPECT_FALSE(looping->vaults().didSync());
}

TEST_F(VaultsSyncTest, RegionWithoutEndpointAsksNothingAndTheAccountSyncStillEnds) {
    AccountRegionPtr target =
        AccountRegion::create(account, addTestRegion("no-host", "No host", "http://"));
    ASSERT_FALSE(target->region()->baseURL());
    // Nothing can be sent, so the walk decides before sync returns.
    bool called = false;
    target->vaults().sync([&](ErrorPtr) { called = true; });
    EXPECT_FALSE(called);
    EXPECT_TRUE(sim.requestLog().empty());
    EXPECT_FALSE(target->vaults().didSync());

    // The account's sync of all its regions still ends, with that region's error.
    AccountPtr both = makeAccount({"local-1", "no-host"}, "Both");
    std::atomic<bool> finished{false};
    std::atomic<int> failures{0};
    both->syncVaults([&](const AccountRegionPtr&, ErrorPtr error) { failures += error ? 1 : 0; },
                     [&] { finished = true; });
    ASSERT_TRUE(MainQueue::waitFor(finished, 30));
    EXPECT_EQ(failures, 1);
    EXPECT_NE(both->syncError().find("no-host"), std::string::npos) << both->syncError();
}

TEST_F(VaultsSyncTest, AccountSyncsEveryRegionAndSummarisesThem) {
    account = makeAccount({"local-1", "local-2", "local-3"}, "Three");
    seedVaults({"small"}, "local-1", 1, 10);
    seedVaults({"big", "bigger"}, "local-2", 2, 1000);
    // One request at a time, so the completions (and their progress texts) come in turn.
    account->glacierManager().operationQueue().setMaxConcurrentOperationCount(1);
    std::mutex mutex;
    std::vector<std::string> progress;
    std::atomic<bool> finished{false};
    EXPECT_EQ(account->description(),
              Localization::string("account_description.vaults_not_synchronized"));
    account->syncVaults(
        [&](const AccountRegionPtr&, ErrorPtr error) {
            EXPECT_EQ(error, nullptr);
            std::lock_guard lock(mutex);
            progress.push_back(account->syncProgress());
        },
        [&] { finished = true; });
    ASSERT_TRUE(MainQueue::waitFor(finished, 30));
    EXPECT_EQ(progress, (std::vector<std::string>{"33%", "67%", "100%"}));
    EXPECT_FALSE(account->isUpdating());

    auto regions = account->getAccountRegions();
    ASSERT_EQ(regions.size(), 3u);
    EXPECT_EQ(regions[0]->region()->id(), "local-2");
    EXPECT_EQ(regions[1]->region()->id(), "local-1");
    EXPECT_EQ(regions[0]->description(), "Test local-2 - 2 vaults");
    EXPECT_EQ(regions[2]->description(), "Test local-3 - 0 vaults");
    EXPECT_EQ(account->description(), "4 KB in 5 archives - 3 vaults - in 2 regions");
}

TEST_F(VaultsSyncTest, RemovingTheAccountRemovesItsVaultData) {
    seedVaults({"kept-on-service"});
    ASSERT_EQ(sync(accountRegion), nullptr);
    VaultPtr vault = accountRegion->vaults().get("kept-on-service");
    ASSERT_TRUE(vault);
    std::string vaultsDir = accountRegion->vaults().directory();
    std::string transfers = vault->transfersDirectory();
    std::string accountDir = account->directory();
    ASSERT_TRUE(FileHelpers::directoryExists(vault->directory()));

    account->remove();
    MainQueue::runOnce();
    EXPECT_FALSE(FileHelpers::directoryExists(vaultsDir));
    EXPECT_FALSE(FileHelpers::directoryExists(transfers));
    EXPECT_FALSE(FileHelpers::exists(accountDir));
    EXPECT_EQ(Accounts::count(), 0);
}

}  // namespace
}  // namespace quillon::testing
