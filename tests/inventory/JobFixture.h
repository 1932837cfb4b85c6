#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "SimArchive.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/Regions.h"
#include "interfaces/platform/MainQueue.h"
#include "interfaces/platform/UserDefaults.h"
#include "inventory/Jobs.h"
#include "support/ModelState.h"
#include "support/Simulator.h"
#include "support/TempDir.h"
#include "vaults/Vault.h"

namespace quillon::testing {

// A fresh application directory, a simulator with a short job delay, one account in the
// simulator's region "local-1" and a vault "photos" there.
class JobFixture : public ::testing::Test {
  protected:
    static constexpr auto kWait = std::chrono::seconds(30);

    explicit JobFixture(double jobDelay = 0.5) : sim(simulatorWithJobDelay(jobDelay)) {}

    void SetUp() override {
        account =
            saveTestAccount("Test", sim.accessKey(), sim.secretKey(),
                            {addTestRegion("local-1", "Test local-1", sim.regionURL("local-1"))});
        accountRegion = account->accountRegion("local-1");

        sim.seed({{"region", "local-1"}, {"vault", "photos"}, {"count", 0}});
        vault = Vault::create(accountRegion);
        vault->name = "photos";
    }

    std::string upload(const std::string& bytes) {
        return uploadArchive(sim.regionURL("local-1"), sim.accessKey(), sim.secretKey(),
                             vault->name, bytes);
    }

    template <typename Start>
    ErrorPtr await(Start start) {
        return awaitCompletion(start, kWait);
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
    FreshModelState state{home.path()};
    AccountPtr account;
    AccountRegionPtr accountRegion;
    VaultPtr vault;
};

}  // namespace quillon::testing
