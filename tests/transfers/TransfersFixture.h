#pragma once

#include <future>
#include <string>

#include "foundation/ModelError.h"
#include "interfaces/files/FileHelpers.h"
#include "inventory/InventoryManager.h"
#include "support/TreeHashVectors.h"
#include "transfers/Archives.h"
#include "transfers/FileHasher.h"
#include "transfers/MultipartUploads.h"
#include "vaults/VaultFixture.h"

namespace quillon::testing {

// A vault "photos" on the simulator, files in a temporary directory, and the service's own
// view of the vault through an inventory job.
class TransfersFixture : public VaultFixture {
  protected:
    void SetUp() override {
        VaultFixture::SetUp();
        FileHasher::sharedInstance().reset();
        seedVaults({"photos"});
        vault = Vault::create(accountRegion);
        vault->name = "photos";
    }

    void TearDown() override { FileHasher::sharedInstance().reset(); }

    std::string writeFile(const std::string& name, const std::string& content) {
        std::string path = files.file(name);
        EXPECT_EQ(FileHelpers::writeFile(path, content), nullptr);
        return path;
    }

    struct Uploaded {
        std::string archiveID;
        std::string treeHash;
        ErrorPtr error;
    };

    Uploaded upload(const std::string& path, const std::optional<std::string>& description) {
        auto promise = std::make_shared<std::promise<Uploaded>>();
        auto future = promise->get_future();
        vault->archives().apiUpload(
            path, description, nullptr,
            [promise](const std::string& id, const std::string& hash, ErrorPtr error) {
                promise->set_value({id, hash, error});
            });
        if (future.wait_for(kWait) != std::future_status::ready) {
            ADD_FAILURE() << "no completion";
            return {};
        }
        return future.get();
    }

    // The archives the service lists in a fresh inventory: archive id -> {size, tree hash}.
    std::map<std::string, std::pair<std::int64_t, std::string>> serviceInventory() {
        std::string jobID;
        ErrorPtr started = await([&](auto done) {
            accountRegion->apiPerformRequest(
                {.method = "POST",
                 .path = vault->apiBasePath().word("jobs"),
                 .parameters = JSON(JSON::Value{{"Type", "inventory-retrieval"}})},
                [&jobID, done](ErrorPtr error, RequestOperation::Ptr op) {
                    if (!error) {
                        jobID = op->response().headers.at("x-amz-job-id");
                    }
                    done(error);
                });
        });
        EXPECT_EQ(started, nullptr);
        std::map<std::string, std::pair<std::int64_t, std::string>> archives;
        for (int attempt = 0; attempt < 100 && archives.empty(); ++attempt) {
            JSON output;
            ErrorPtr fetched = await([&](auto done) {
                accountRegion->apiPerformJSONRequest(
                    {.path = vault->apiBasePath().word("jobs").id(jobID).word("output")},
                    AnswerShape::object(), [&output, done](const JSON& json, ErrorPtr error, auto) {
                        output = json;
                        done(error);
                    });
            });
            if (fetched) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            for (const JSON& entry : output["ArchiveList"].arrayValue()) {
                archives[entry["ArchiveId"].stringValue()] = {
                    entry["Size"].int64Value(), entry["SHA256TreeHash"].stringValue()};
            }
            break;
        }
        return archives;
    }

    std::int64_t journalCount() {
        return queryInt("SELECT COUNT(*) FROM archives WHERE vault = 'photos'");
    }

    TempDir files;
    VaultPtr vault;
};

}  // namespace quillon::testing
