#pragma once

#include <memory>
#include <string>

#include "SimArchive.h"
#include "inventory/Jobs.h"
#include "support/ModelFixture.h"
#include "vaults/Vault.h"

namespace quillon::testing {

// A fresh application directory, a simulator with a short job delay, one account in the
// simulator's region "local-1" and a vault "photos" there.
class JobFixture : public ModelFixture {
  protected:
    explicit JobFixture(double jobDelay = 0.5) : ModelFixture(simulatorWithJobDelay(jobDelay)) {}

    void SetUp() override {
        ModelFixture::SetUp();
        sim.seed({{"region", "local-1"}, {"vault", "photos"}, {"count", 0}});
        vault = Vault::create(accountRegion);
        vault->name = "photos";
    }

    std::string upload(const std::string& bytes) {
        return uploadArchive(sim.regionURL("local-1"), sim.accessKey(), sim.secretKey(),
                             vault->name, bytes);
    }

    // Starts an inventory job; `job` gets what the completion handed back.
    ErrorPtr initiateInventory(const std::optional<std::string>& description, Job::Ptr& job) {
        return await([&](auto done) {
            vault->jobs().apiInitiateInventoryRetrieval(description, into(job, done));
        });
    }

    ErrorPtr initiateRetrieval(const std::string& archiveId,
                               const std::optional<std::string>& description,
                               const std::optional<std::string>& range, GlacierRetrievalTier tier,
                               Job::Ptr& job) {
        return await([&](auto done) {
            vault->jobs().apiInitiateArchiveRetrieval(archiveId, description, range, tier,
                                                      into(job, done));
        });
    }

    Job::Ptr startInventory(const std::optional<std::string>& description = std::nullopt) {
        Job::Ptr job;
        EXPECT_EQ(initiateInventory(description, job), nullptr);
        return job;
    }

    Job::Ptr startRetrieval(const std::string& archiveId,
                            const std::optional<std::string>& range = std::nullopt,
                            GlacierRetrievalTier tier = GlacierRetrievalTier::standard) {
        Job::Ptr job;
        ErrorPtr error = initiateRetrieval(archiveId, std::nullopt, range, tier, job);
        EXPECT_EQ(error, nullptr) << (error ? error->localizedDescription() : "");
        return job;
    }

    VaultPtr vault;
};

}  // namespace quillon::testing
