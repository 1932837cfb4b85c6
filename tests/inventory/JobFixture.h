// JobFixture: the job tests' fixture: delayed jobs on the simulator, starting and downloading.
// Threads: the test's thread only, as ModelFixture; completions are awaited there.
#pragma once

#include <memory>
#include <mutex>
#include <sstream>
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

    // What a download of a job's output (all of it, or a byte range) delivered.
    struct Download {
        ErrorPtr error;
        std::string treeHash = "unset";
        std::string bytes;
        std::int64_t lastDone = -1;
        std::int64_t lastExpected = -2;
        std::uint64_t stepSum = 0;
        long status = 0;
    };

    Download download(const Job::Ptr& job, std::optional<Job::ByteRange> range) {
        Download result;
        std::ostringstream stream;
        std::mutex mutex;
        result.error = await([&](auto done) {
            job->apiDownload(
                stream, range,
                [&](std::uint64_t step, std::int64_t sofar, std::int64_t expected) {
                    std::lock_guard lock(mutex);
                    result.stepSum += step;
                    result.lastDone = sofar;
                    result.lastExpected = expected;
                },
                [&result, done](const std::string& hash, ErrorPtr error,
                                RequestOperation::Ptr operation) {
                    result.treeHash = hash;
                    result.status = operation ? operation->response().statusCode : -1;
                    done(error);
                });
        });
        result.bytes = stream.str();
        return result;
    }
};

}  // namespace quillon::testing
