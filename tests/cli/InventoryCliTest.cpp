#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// An inventory imported from a job's output of a simulated vault, then browsed.
class InventoryCliTest : public CliFixture {
  protected:
    void SetUp() override {
        addAccount();
        sim.seed({{"vault", "photos"}, {"count", 3}, {"size", 4}, {"prefix", "trip/day1/img-"}});
        sim.seed({{"vault", "photos"}, {"count", 2}, {"size", 9}, {"prefix", "trip/day2/raw-"}});
        sim.seed({{"vault", "photos"}, {"count", 1}, {"size", 1}, {"prefix", "notes-"}});
    }

    void importFromJob() {
        std::string jobId = runJSON({"job", "inventory", "--vault", "photos"}).at("jobId");
        waitForJob(jobId);
        json imported = runJSON({"inventory", "import", "--vault", "photos", "--job", jobId});
        EXPECT_EQ(imported["archives"], 6);
        EXPECT_EQ(imported["items"], 6);
    }
};

TEST_F(InventoryCliTest, ImportThenBrowse) {
    importFromJob();

    json top = runJSON({"inventory", "ls", "--vault", "photos"});
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0]["name"], "trip/");
    EXPECT_EQ(top[0]["isFolder"], true);
    EXPECT_EQ(top[0]["size"], 3 * 4 + 2 * 9);  // everything below it
    EXPECT_EQ(top[0]["count"], 5);
    EXPECT_EQ(top[1]["name"], "notes-0");
    EXPECT_EQ(top[1]["isFolder"], false);
    EXPECT_EQ(top[1]["size"], 1);

    json day1 = runJSON({"inventory", "ls", "--vault", "photos", "trip/day1/"});
    ASSERT_EQ(day1.size(), 3u);
    EXPECT_EQ(day1[0]["name"], "trip/day1/img-0");
    EXPECT_EQ(day1[0]["size"], 4);
    EXPECT_EQ(day1[0]["treeHash"].get<std::string>().size(), 64u);
    EXPECT_FALSE(day1[0]["archiveId"].get<std::string>().empty());

    json du = runJSON({"inventory", "du", "--vault", "photos", "trip"});
    EXPECT_EQ(du, (json{{"folder", "trip"}, {"size", 3 * 4 + 2 * 9}, {"count", 5}}));
    // The whole vault; the 1-byte file counts as a folder archive would.
    EXPECT_EQ(runJSON({"inventory", "du", "--vault", "photos"}),
              (json{{"folder", ""}, {"size", 3 * 4 + 2 * 9}, {"count", 5}}));

    json found = runJSON({"inventory", "find", "--vault", "photos", "^raw"});
    ASSERT_EQ(found.size(), 2u);
    for (const auto& item : found) {
        EXPECT_EQ(item["name"].get<std::string>().rfind("trip/day2/raw-", 0), 0u);
    }
    std::string archiveId = found[0]["archiveId"];
    EXPECT_EQ(runJSON({"inventory", "find", "--vault", "photos", "archive:" + archiveId}).size(),
              1u);
    EXPECT_TRUE(runJSON({"inventory", "find", "--vault", "photos", "nothing"}).empty());

    json tree = runJSON({"inventory", "tree", "--vault", "photos"});
    ASSERT_EQ(tree["children"].size(), 1u);
    EXPECT_EQ(tree["children"][0]["children"].size(), 2u);
    EXPECT_EQ(tree["children"][0]["children"][1]["name"], "trip/day2/");

    // Seeded archives of one size share their content.
    json dupes = runJSON({"inventory", "dupes", "--vault", "photos"});
    ASSERT_EQ(dupes.size(), 2u);

    fs::create_directories(temp.path() + "/local/day1");
    std::ofstream(temp.path() + "/local/day1/img-0") << "x";
    json orphans = runJSON({"inventory", "orphans", "--vault", "photos", "--prefix", "trip/",
                            "--local", temp.path() + "/local"});
    EXPECT_EQ(orphans.size(), 4u);

    auto human = cli.run({"inventory", "ls", "--vault", "photos", "trip/day2"});
    ASSERT_EQ(human.exitCode, 0) << human.err;
    EXPECT_NE(human.out.find("raw-1"), std::string::npos);
}

TEST_F(InventoryCliTest, FailuresHaveTheRightStatus) {
    auto none = cli.run({"inventory", "ls", "--vault", "photos"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.err.find("inventory import"), std::string::npos);

    EXPECT_EQ(cli.run({"inventory", "import", "--vault", "photos"}).exitCode, 1);
    EXPECT_EQ(
        cli.run({"inventory", "import", "--vault", "photos", "--file", "a", "--job", "b"}).exitCode,
        1);
    auto missing =
        cli.run({"inventory", "import", "--vault", "photos", "--file", temp.path() + "/nope"});
    EXPECT_EQ(missing.exitCode, 2);

    const std::string foreign = temp.path() + "/foreign.json";
    std::ofstream(foreign) << R"({"VaultARN":"arn:aws:glacier:x:1:vaults/other",)"
                           << R"("InventoryDate":"2021-01-01T00:00:00Z","ArchiveList":[]})";
    auto mismatch = cli.run({"inventory", "import", "--vault", "photos", "--file", foreign});
    EXPECT_EQ(mismatch.exitCode, 2);
    EXPECT_FALSE(mismatch.err.empty());

    EXPECT_EQ(cli.run({"inventory", "ls", "--vault", "nosuchvault"}).exitCode, 2);

    importFromJob();
    EXPECT_EQ(cli.run({"inventory", "ls", "--vault", "photos", "no/such/folder"}).exitCode, 2);
    EXPECT_EQ(cli.run({"inventory", "du", "--vault", "photos", "no"}).exitCode, 2);
}

}  // namespace
}  // namespace quillon::testing
