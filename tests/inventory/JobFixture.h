#pragma once

#include <memory>
#include <string>

#include "InventoryFixture.h"
#include "inventory/Jobs.h"
#include "support/Simulator.h"

namespace quillon::testing {

// The inventory fixture with a simulator whose jobs take `jobDelay` seconds, where the vault
// "photos" exists and is empty.
class JobFixture : public InventoryFixture {
  protected:
    explicit JobFixture(double jobDelay = 0.5)
        : InventoryFixture(simulatorWithJobDelay(jobDelay)) {}

    void SetUp() override {
        InventoryFixture::SetUp();
        sim.seed({{"region", "local-1"}, {"vault", kVault}, {"count", 0}});
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
};

}  // namespace quillon::testing
