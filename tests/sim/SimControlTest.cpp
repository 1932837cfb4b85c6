#include <gtest/gtest.h>

#include <fstream>

#include "support/SignedClient.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

namespace quillon::testing {
namespace {

class SimControlTest : public ::testing::Test {
  protected:
    SignedClient client() const {
        return SignedClient(sim.baseURL(), "us-east-1", sim.accessKey(), sim.secretKey());
    }

    Simulator sim;
};

TEST_F(SimControlTest, RespondFaultsReplaceTheAnswerForTheNextMatchingRequests) {
    sim.injectFault({{"status", 400},
                     {"code", "ThrottlingException"},
                     {"count", 2},
                     {"method", "GET"},
                     {"path", "/vaults"}});
    EXPECT_EQ(client().send("PUT", "/-/vaults/a").status, 201);  // not matched
    HttpAnswer throttled = client().get("/-/vaults");
    EXPECT_EQ(throttled.status, 400);
    EXPECT_EQ(throttled.json()["code"], "ThrottlingException");
    EXPECT_EQ(client().get("/-/vaults").status, 400);
    EXPECT_EQ(client().get("/-/vaults").status, 200);

    sim.injectFault(nlohmann::json::array({{{"status", 403}, {"body", ""}},
                                           {{"status", 500}, {"body", "<html>oops</html>"}},
                                           {{"status", 500}, {"code", 17}},
                                           {{"status", 200}, {"body", ""}}}));
    HttpAnswer noBody = client().get("/-/vaults");
    EXPECT_EQ(noBody.status, 403);
    EXPECT_TRUE(noBody.body.empty());
    EXPECT_EQ(client().get("/-/vaults").body, "<html>oops</html>");
    EXPECT_EQ(client().get("/-/vaults").json()["code"], 17);
    HttpAnswer empty = client().get("/-/vaults");
    EXPECT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.body.empty());

    auto log = sim.requestLog();
    EXPECT_EQ(log.back()["fault"], "respond");
    EXPECT_FALSE(log[0].contains("fault"));
}

TEST_F(SimControlTest, DropWrongHashAndClearedFaults) {
    ASSERT_EQ(client().send("PUT", "/-/vaults/v").status, 201);
    sim.injectFault({{"kind", "drop"}, {"path", "/-/vaults/v"}});
    HttpAnswer dropped = client().get("/-/vaults/v");
    EXPECT_FALSE(dropped.transportError.empty());
    EXPECT_EQ(client().get("/-/vaults/v").status, 200);

    sim.injectFault({{"kind", "wrong-tree-hash"}});
    std::string bytes = "hello";
    HttpAnswer upload = client().send("POST", "/-/vaults/v/archives", bytes,
                                      {"x-amz-sha256-tree-hash: " + testTreeHash(bytes),
                                       "x-amz-content-sha256: " + testSha256(bytes)});
    EXPECT_EQ(upload.status, 201);
    EXPECT_FALSE(upload.header("x-amz-sha256-tree-hash").empty());
    EXPECT_NE(upload.header("x-amz-sha256-tree-hash"), testTreeHash(bytes));

    sim.injectFault({{"kind", "delay"}, {"delayMs", 50}, {"count", -1}});
    sim.clearFaults();
    EXPECT_EQ(client().get("/-/vaults").status, 200);
    EXPECT_EQ(sim.requestLog().back().count("fault"), 0u);
    EXPECT_THROW(sim.injectFault({{"kind", "explode"}}), std::runtime_error);
}

TEST_F(SimControlTest, SeedsManyArchivesForAnInventory) {
    auto seeded = sim.seed({{"vault", "big"}, {"count", 5000}, {"size", 3}, {"prefix", "f/"}});
    EXPECT_EQ(seeded["count"], 5000);
    EXPECT_EQ(client().get("/-/vaults/big").json()["NumberOfArchives"], 5000);
    std::string job = client()
                          .send("POST", "/-/vaults/big/jobs", R"({"Type":"inventory-retrieval"})")
                          .header("x-amz-job-id");
    auto inventory = client().get("/-/vaults/big/jobs/" + job + "/output").json();
    ASSERT_EQ(inventory["ArchiveList"].size(), 5000u);
    EXPECT_EQ(inventory["ArchiveList"][4999]["ArchiveDescription"], "f/4999");
    EXPECT_EQ(inventory["ArchiveList"][0]["SHA256TreeHash"], testTreeHash("qqq"));
}

TEST(SimStartTest, RefusesADataDirectoryThatIsAFile) {
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    Simulator::Options options;
    options.dataDir = dir.file("plain");
    EXPECT_THROW(Simulator{options}, std::runtime_error);
}

}  // namespace
}  // namespace quillon::testing
