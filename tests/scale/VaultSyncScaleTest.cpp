// Tests of vault sync at scale: a thousand vaults paged from the simulator.
// Threads: the test's thread awaits the sync; the simulator is a separate process.
#include "support/ModelFixture.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::testing {
namespace {

using VaultSyncScale = ModelFixture;

TEST_F(VaultSyncScale, AThousandVaultsSyncInPagesOfTheServiceDefault) {
    for (int i = 0; i < 1000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "vault-%04d", 999 - i);
        sim.seed({{"region", "local-1"}, {"vault", name}, {"count", 0}});
    }
    auto runSync = [&] {
        EXPECT_EQ(awaitCompletion([&](auto done) { accountRegion->vaults().sync(done); },
                                  std::chrono::seconds(120)),
                  nullptr);
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
}

}  // namespace
}  // namespace quillon::testing
