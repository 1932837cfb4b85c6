// Tests of quillon-sim's transfers: uploads, multipart, retrievals, job delay and data files.
// Threads: run on the test's thread; the simulator is a separate process.
#include <gtest/gtest.h>

#include <filesystem>

#include "interfaces/files/TreeHash.h"
#include "interfaces/http/SigV4Signer.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

namespace quillon::testing {
namespace {

constexpr size_t kMiB = 1048576;

// The hash headers of an upload: the tree hash of `tree`, the SHA-256 of `content`.
std::vector<std::string> hashHeaders(const std::string& tree, const std::string& content) {
    return {"x-amz-sha256-tree-hash: " + TreeHash::treeHashOfBuffer(tree),
            "x-amz-content-sha256: " + TreeHash::sha256Hex(content)};
}

class SimTransferTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sim.send("PUT", "/-/vaults/v").status, 201); }
    HttpAnswer upload(const std::string& bytes, std::vector<std::string> headers) const {
        return sim.send("POST", "/-/vaults/v/archives", bytes, headers);
    }
    HttpAnswer storeDescribed(const std::string& bytes, const std::string& description) const {
        return sim.storeArchive("v", bytes, {"x-amz-archive-description: " + description});
    }

    Simulator sim;
};

TEST_F(SimTransferTest, UploadVerifiesHashesAndDescription) {
    std::string bytes = patternBytes(3 * kMiB + 5);
    HttpAnswer ok = storeDescribed(bytes, "photos/2024/a.jpg");
    ASSERT_EQ(ok.status, 201) << ok.body;
    EXPECT_EQ(ok.header("x-amz-sha256-tree-hash"), TreeHash::treeHashOfBuffer(bytes));
    EXPECT_TRUE(ok.hasExactHeader("x-amz-Archive-Id"));
    EXPECT_FALSE(ok.header("x-amz-archive-id").empty());
    EXPECT_EQ(ok.header("Location"), "/-/vaults/v/archives/" + ok.header("x-amz-archive-id"));

    HttpAnswer wrongTree = upload(bytes, hashHeaders("other", bytes));
    EXPECT_EQ(wrongTree.status, 400);
    EXPECT_EQ(wrongTree.json()["code"], "InvalidParameterValueException");
    EXPECT_EQ(upload(bytes, hashHeaders(bytes, "other")).status, 400);
    EXPECT_EQ(upload(bytes, {hashHeaders(bytes, bytes)[1]}).status, 400);  // no tree hash

    EXPECT_EQ(storeDescribed("x", "caf\xc3\xa9").status, 400);
    EXPECT_EQ(storeDescribed("x", std::string(1025, 'd')).status, 400);
    EXPECT_EQ(storeDescribed("x", std::string(1024, 'd')).status, 201);

    EXPECT_EQ(sim.get("/-/vaults/v").json()["NumberOfArchives"], 2);
    std::string id = ok.header("x-amz-archive-id");
    EXPECT_EQ(sim.send("DELETE", "/-/vaults/v/archives/" + id).status, 204);
    EXPECT_EQ(sim.send("DELETE", "/-/vaults/v/archives/" + id).status, 404);
}

TEST_F(SimTransferTest, MultipartUploadChecksPartsAndWholeTreeHash) {
    std::string bytes = patternBytes(2 * kMiB + 1000);
    HttpAnswer started =
        sim.send("POST", "/-/vaults/v/multipart-uploads", "",
                 {"x-amz-part-size: 1048576", "x-amz-archive-description: big.bin"});
    ASSERT_EQ(started.status, 201) << started.body;
    std::string id = started.header("x-amz-multipart-upload-id");
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(
        sim.send("POST", "/-/vaults/v/multipart-uploads", "", {"x-amz-part-size: 3000000"}).status,
        400);
    std::string path = "/-/vaults/v/multipart-uploads/" + id;

    auto sendPart = [&](size_t from, size_t to) {
        std::string part = bytes.substr(from, to - from + 1);
        auto headers = hashHeaders(part, part);
        headers.push_back("Content-Range: bytes " + std::to_string(from) + "-" +
                          std::to_string(to) + "/*");
        return sim.send("PUT", path, part, headers);
    };
    EXPECT_EQ(sendPart(1000, kMiB + 999).status, 400);  // not on a part boundary
    HttpAnswer part = sendPart(kMiB, 2 * kMiB - 1);
    EXPECT_EQ(part.status, 204);
    EXPECT_EQ(part.header("x-amz-sha256-tree-hash"),
              TreeHash::treeHashOfBuffer(bytes.substr(kMiB, kMiB)));
    EXPECT_EQ(sendPart(0, kMiB - 1).status, 204);

    const std::string size = "x-amz-archive-size: " + std::to_string(bytes.size());
    auto complete = [&](const std::string& tree) {
        return sim.send("POST", path, "", {size, hashHeaders(tree, "")[0]});
    };
    EXPECT_EQ(complete(bytes).status, 400);  // last part missing
    EXPECT_EQ(sendPart(2 * kMiB, bytes.size() - 1).status, 204);

    auto parts = sim.get(path + "?limit=2").json();
    EXPECT_EQ(parts["PartSizeInBytes"], kMiB);
    ASSERT_EQ(parts["Parts"].size(), 2u);
    EXPECT_EQ(parts["Parts"][1]["RangeInBytes"], "1048576-2097151");
    ASSERT_TRUE(parts["Marker"].is_string());
    auto rest =
        sim.get(path + "?marker=" + SigV4Signer::uriEncode(parts["Marker"].get<std::string>()))
            .json();
    EXPECT_EQ(rest["Parts"].size(), 1u);
    EXPECT_TRUE(rest["Marker"].is_null());
    auto uploads = sim.get("/-/vaults/v/multipart-uploads").json();
    ASSERT_EQ(uploads["UploadsList"].size(), 1u);
    EXPECT_EQ(uploads["UploadsList"][0]["ArchiveDescription"], "big.bin");

    EXPECT_EQ(complete("nope").status, 400);
    HttpAnswer done = complete(bytes);
    ASSERT_EQ(done.status, 201) << done.body;
    EXPECT_FALSE(done.header("x-amz-archive-id").empty());
    EXPECT_EQ(sim.get(path).status, 404);
    EXPECT_EQ(sim.get("/-/vaults/v").json()["SizeInBytes"], bytes.size());

    HttpAnswer other =
        sim.send("POST", "/-/vaults/v/multipart-uploads", "", {"x-amz-part-size: 2097152"});
    std::string otherPath =
        "/-/vaults/v/multipart-uploads/" + other.header("x-amz-multipart-upload-id");
    EXPECT_EQ(sim.send("DELETE", otherPath).status, 204);
    EXPECT_EQ(sim.send("DELETE", otherPath).status, 404);
}

TEST_F(SimTransferTest, InventoryAndRangedArchiveRetrieval) {
    std::string bytes = patternBytes(2 * kMiB + 300);
    std::string archiveId = storeDescribed(bytes, "dir/file \"quoted\"").header("x-amz-archive-id");
    ASSERT_FALSE(archiveId.empty());

    std::string inventoryJob = sim.startJob("v", {{"Type", "inventory-retrieval"}});
    auto described = sim.get("/-/vaults/v/jobs/" + inventoryJob).json();
    EXPECT_EQ(described["StatusCode"], "Succeeded");
    EXPECT_EQ(described["Action"], "InventoryRetrieval");
    HttpAnswer document = sim.get("/-/vaults/v/jobs/" + inventoryJob + "/output");
    ASSERT_EQ(document.status, 200);
    EXPECT_EQ(document.body.rfind("{\"VaultARN\":", 0), 0u);
    EXPECT_LT(document.body.find("\"InventoryDate\""), document.body.find("\"ArchiveList\""));
    auto list = document.json()["ArchiveList"];
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["ArchiveDescription"], "dir/file \"quoted\"");
    EXPECT_EQ(list[0]["Size"], bytes.size());
    EXPECT_EQ(list[0]["SHA256TreeHash"], TreeHash::treeHashOfBuffer(bytes));
    EXPECT_EQ(described["InventorySizeInBytes"], document.body.size());

    nlohmann::json request = {{"Type", "archive-retrieval"},
                              {"ArchiveId", archiveId},
                              {"RetrievalByteRange", "1048576-" + std::to_string(bytes.size() - 1)},
                              {"Tier", "Expedited"}};
    std::string output = "/-/vaults/v/jobs/" + sim.startJob("v", request) + "/output";
    HttpAnswer whole = sim.get(output);
    EXPECT_EQ(whole.body, bytes.substr(kMiB));
    EXPECT_EQ(whole.header("x-amz-sha256-tree-hash"),
              TreeHash::treeHashOfBuffer(bytes.substr(kMiB)));

    HttpAnswer head = sim.send("GET", output, "", {"Range: bytes=0-1048575"});
    EXPECT_EQ(head.status, 206);
    EXPECT_EQ(head.body, bytes.substr(kMiB, kMiB));
    EXPECT_EQ(head.header("Content-Range"),
              "bytes 0-1048575/" + std::to_string(bytes.size() - kMiB));
    EXPECT_EQ(head.header("x-amz-sha256-tree-hash"),
              TreeHash::treeHashOfBuffer(bytes.substr(kMiB, kMiB)));
    HttpAnswer unaligned = sim.send("GET", output, "", {"Range: bytes=10-109"});
    EXPECT_EQ(unaligned.body, bytes.substr(kMiB + 10, 100));
    EXPECT_TRUE(unaligned.header("x-amz-sha256-tree-hash").empty());

    request["RetrievalByteRange"] = "1-1048576";
    EXPECT_EQ(sim.send("POST", "/-/vaults/v/jobs", request.dump()).status, 400);
    request.erase("RetrievalByteRange");
    request["Tier"] = "Fast";
    EXPECT_EQ(sim.send("POST", "/-/vaults/v/jobs", request.dump()).status, 400);
    request["Tier"] = "Bulk";
    request["ArchiveId"] = "missing";
    EXPECT_EQ(sim.send("POST", "/-/vaults/v/jobs", request.dump()).status, 404);

    auto page = sim.get("/-/vaults/v/jobs?limit=1").json();
    ASSERT_EQ(page["JobList"].size(), 1u);
    auto next = sim.get("/-/vaults/v/jobs?marker=" +
                        SigV4Signer::uriEncode(page["Marker"].get<std::string>()))
                    .json();
    EXPECT_EQ(next["JobList"].size(), 1u);
    EXPECT_TRUE(next["Marker"].is_null());
}

TEST(SimJobDelayTest, JobsStayInProgressUntilTheDelayHasPassed) {
    Simulator sim(simulatorWithJobDelay(3600));
    ASSERT_EQ(sim.send("PUT", "/-/vaults/slow").status, 201);
    std::string id = sim.startJob("slow", {{"Type", "inventory-retrieval"}});
    auto job = sim.get("/-/vaults/slow/jobs/" + id).json();
    EXPECT_EQ(job["StatusCode"], "InProgress");
    EXPECT_EQ(job["Completed"], false);
    EXPECT_EQ(sim.get("/-/vaults/slow/jobs/" + id + "/output").status, 400);
    EXPECT_EQ(sim.get("/-/vaults/slow/jobs?completed=true").json()["JobList"].size(), 0u);
}

TEST(SimDataDirTest, KeepsArchiveBodiesInFilesUntilDeleted) {
    TempDir data;
    Simulator sim({.dataDir = data.path()});
    ASSERT_EQ(sim.send("PUT", "/-/vaults/disk").status, 201);
    std::string bytes = patternBytes(kMiB + 17);
    std::string id = sim.storeArchive("disk", bytes).header("x-amz-archive-id");
    ASSERT_FALSE(id.empty());
    auto files = [&] {
        return std::distance(std::filesystem::directory_iterator(data.path()),
                             std::filesystem::directory_iterator());
    };
    EXPECT_EQ(files(), 1);
    std::string job = sim.startJob("disk", {{"Type", "archive-retrieval"}, {"ArchiveId", id}});
    EXPECT_EQ(sim.get("/-/vaults/disk/jobs/" + job + "/output").body, bytes);
    EXPECT_EQ(sim.send("DELETE", "/-/vaults/disk/archives/" + id).status, 204);
    // The finished job still holds the bytes.
    EXPECT_EQ(files(), 1);
}

}  // namespace
}  // namespace quillon::testing
