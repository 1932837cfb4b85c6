#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "SimArchive.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "accounts/Regions.h"
#include "interfaces/MainQueue.h"
#include "interfaces/UserDefaults.h"
#include "inventory/Jobs.h"
#include "support/Simulator.h"
#include "support/TempDir.h"
#include "vaults/Vault.h"
#include "vaults/VaultCache.h"

namespace quillon::testing {

// A fresh application directory, a simulator with a short job delay, one account in the
// simulator's region "local-1" and a vault "photos" there.
class JobFixture : public ::testing::Test {
  protected:
    static constexpr auto kWait = std::chrono::seconds(30);

    explicit JobFixture(double jobDelay = 0.5) : sim(simulatorWithJobDelay(jobDelay)) {}

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
        Regions::testRegions()["local-1"] =
            std::make_shared<Region>("local-1", "Test local-1", sim.regionURL("local-1"), false);

        account = Account::create();
        account->name = "Test";
        account->accessKey = sim.accessKey();
        account->setSecret(sim.secretKey());
        account->activeRegions.clear();
        account->activeRegions.insert(Regions::testRegions()["local-1"]);
        account->save(true);
        accountRegion = account->accountRegion("local-1");

        sim.seed({{"region", "local-1"}, {"vault", "photos"}, {"count", 0}});
        vault = Vault::create(accountRegion);
        vault->name = "photos";
    }

    void TearDown() override {
        MainQueue::runOnce();
        vault.reset();
        VaultCache::shared().clear();
        Accounts::cache().clear();
        Regions::testRegions().clear();
        Regions::clearLookupCache();
    }

    std::string upload(const std::string& bytes) {
        return uploadArchive(sim.regionURL("local-1"), sim.accessKey(), sim.secretKey(),
                             vault->name, bytes);
    }

    // Runs an operation that reports through a completion taking an error, and waits for it.
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

    Job::Ptr startInventory(const std::optional<std::string>& description = std::nullopt) {
        Job::Ptr job;
        ErrorPtr error = await([&](auto done) {
            vault->jobs().apiInitiateInventoryRetrieval(description,
                                                        [&job, done](Job::Ptr got, ErrorPtr e) {
                                                            job = got;
                                                            done(e);
                                                        });
        });
        EXPECT_EQ(error, nullptr);
        return job;
    }

    Job::Ptr startRetrieval(const std::string& archiveId,
                            const std::optional<std::string>& range = std::nullopt,
                            GlacierRetrievalTier tier = GlacierRetrievalTier::standard) {
        Job::Ptr job;
        ErrorPtr error = await([&](auto done) {
            vault->jobs().apiInitiateArchiveRetrieval(archiveId, std::nullopt, range, tier,
                                                      [&job, done](Job::Ptr got, ErrorPtr e) {
                                                          job = got;
                                                          done(e);
                                                      });
        });
        EXPECT_EQ(error, nullptr) << (error ? error->localizedDescription() : "");
        return job;
    }

    // Describes the job until it has succeeded; a bounded number of looks.
    bool waitUntilDone(const Job::Ptr& job) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (await([&](auto done) { job->apiDescribe(done); }) != nullptr) {
                return false;
            }
            if (job->statusCode() == Job::StatusCode::Succeeded) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    TempDir home;
    Simulator sim;
    AccountPtr account;
    AccountRegionPtr accountRegion;
    VaultPtr vault;
};

}  // namespace quillon::testing
