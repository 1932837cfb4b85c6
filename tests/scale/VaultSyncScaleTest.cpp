#include <gtest/gtest.h>

#include <future>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "accounts/Regions.h"
#include "interfaces/platform/MainQueue.h"
#include "interfaces/platform/UserDefaults.h"
#include "support/ModelState.h"
#include "support/Simulator.h"
#include "support/TempDir.h"
#include "vaults/Vault.h"
#include "vaults/VaultCache.h"
#include "vaults/Vaults.h"

namespace quillon::testing {
namespace {

TEST(VaultSyncScale, AThousandVaultsSyncInPagesOfTheServiceDefault) {
    TempDir home;
    Simulator sim;
    FreshModelState state(home.path());
    auto account = saveTestAccount("scale", sim.accessKey(), sim.secretKey(),
                                   {addTestRegion("scale-1", "Scale", sim.regionURL("scale-1"))});
    for (int i = 0; i < 1000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "vault-%04d", 999 - i);
        sim.seed({{"region", "scale-1"}, {"vault", name}, {"count", 0}});
    }
    AccountRegionPtr accountRegion = account->accountRegion("scale-1");

    auto runSync = [&] {
        auto promise = std::make_shared<std::promise<ErrorPtr>>();
        auto future = promise->get_future();
        accountRegion->vaults().sync([promise](ErrorPtr error) { promise->set_value(error); });
        EXPECT_EQ(future.wait_for(std::chrono::seconds(120)), std::future_status::ready);
        EXPECT_EQ(future.get(), nullptr);
    };
    runSync();
    EXPECT_EQ(sim.requestLog().size(), 100u);
    Vaults& vaults = accountRegion->vaults();
    EXPECT_EQ(vaults.count(), 1000);
    std::vector<VaultPtr> all = vaults.all();
    ASSERT_EQ(all.size(), 1000u);
    EXPECT_EQ(all.front()->name, "vault-0000");
    EXPECT_EQ(all.back()->name, "vault-0999");

    sim.clearRequestLog();
    runSync();
    EXPECT_EQ(sim.requestLog().size(), 100u);
    EXPECT_EQ(vaults.count(), 1000);
    EXPECT_EQ(vaults.all()[500]->name, "vault-0500");

    MainQueue::runOnce();
    VaultCache::shared().clear();
    Accounts::cache().clear();
    Regions::testRegions().clear();
    Regions::clearLookupCache();
}

}  // namespace
}  // namespace quillon::testing
