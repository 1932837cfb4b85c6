// TransfersFixture: the upload tests' fixture: a vault, local files, the service's own listing.
// Threads: the test's thread only, as ModelFixture.
#pragma once

#include <map>
#include <string>

#include "foundation/FileHelpers.h"
#include "foundation/ModelError.h"
#include "inventory/InventoryManager.h"
#include "support/TreeHashVectors.h"
#include "transfers/Archives.h"
#include "transfers/FileHasher.h"
#include "transfers/MultipartUploads.h"
#include "vaults/VaultFixture.h"

namespace quillon::testing {

// A vault "photos" on the simulator, files in the test's directory, and the service's own
// view of the vault through an inventory job.
class TransfersFixture : public VaultFixture {
  protected:
    void SetUp() override {
        VaultFixture::SetUp();
        FileHasher::sharedInstance().reset();
        seedVaults({"photos"});
        vault = vaultNamed("photos");
    }

    void TearDown() override { FileHasher::sharedInstance().reset(); }

    struct Uploaded {
        std::string archiveID;
        std::string treeHash;
        ErrorPtr error;
    };

    Uploaded upload(const std::string& path, const std::optional<std::string>& description) {
        Uploaded result;
        result.error = await([&](auto done) {
            vault->archives().apiUpload(
                path, description, nullptr,
                [&result, done](const std::string& id, const std::string& hash, ErrorPtr error) {
                    result.archiveID = id;
                    result.treeHash = hash;
                    done(error);
                });
        });
        return result;
    }

    // The archives the service lists in a fresh inventory, asked for with a client of its own
    // (the simulator's jobs complete at once): archive id -> {size, tree hash}.
    std::map<std::string, std::pair<std::int64_t, std::string>> serviceInventory() {
        const SignedClient client = sim.client("local-1");
        HttpAnswer job =
            client.send("POST", "/-/vaults/photos/jobs", R"({"Type": "inventory-retrieval"})");
        EXPECT_EQ(job.status, 202) << job.body;
        HttpAnswer output =
            client.get("/-/vaults/photos/jobs/" + job.header("x-amz-job-id") + "/output");
        EXPECT_EQ(output.status, 200) << output.body;
        std::map<std::string, std::pair<std::int64_t, std::string>> archives;
        const nlohmann::json inventory = output.json();
        for (const auto& entry : inventory["ArchiveList"]) {
            archives[entry["ArchiveId"]] = {entry["Size"], entry["SHA256TreeHash"]};
        }
        return archives;
    }

    std::int64_t journalCount() {
        return queryInt("SELECT COUNT(*) FROM archives WHERE vault = 'photos'");
    }

    VaultPtr vault;
};

}  // namespace quillon::testing
