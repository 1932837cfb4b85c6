// Tests of the vault, tag, policy, account check and log commands.
// Threads: run on the test's thread; quillon and the simulator are child processes.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "interfaces/db/Database.h"
#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

// An account "t" working in two regions of one simulator, "local-1" (selected) and "local-2".
class VaultCliTest : public CliFixture {
  protected:
    void SetUp() override {
        addAccount("t", "",
                   {{"local-1", sim.regionURL("local-1")}, {"local-2", sim.regionURL("local-2")}});
        sim.clearRequestLog();
    }
};

TEST_F(VaultCliTest, CreateListSearchDescribeAndDelete) {
    sim.seed({{"region", "local-1"}, {"vault", "photos"}, {"count", 3}, {"size", 100}});
    EXPECT_EQ(runJSON({"vault", "create", "backup"})["name"], "backup");
    EXPECT_EQ(runJSON({"vault", "create", "backup"})["existed"], true);
    EXPECT_EQ(runJSON({"vault", "create", "photos"})["existed"], true);  // not listed here yet

    // The first list loads the region; the second reads the local list only.
    nlohmann::json list = runJSON({"vault", "list", "--sort", "name"});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["name"], "backup");
    EXPECT_EQ(list[1]["name"], "photos");
    EXPECT_EQ(list[1]["numberOfArchives"], 3);
    EXPECT_EQ(list[1]["size"], 300);
    sim.clearRequestLog();
    EXPECT_EQ(runJSON({"vault", "list", "--sort", "size", "--desc"})[0]["name"], "photos");
    EXPECT_EQ(runJSON({"vault", "search", "ack|nothing"}).size(), 1u);
    EXPECT_TRUE(sim.requestLog().empty());
    // A list over an hour old is loaded again.
    {
        Database db(accountDirectory() + "/Store.db");
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeUpdate("UPDATE vaults_fetch SET last_fetch = last_fetch - 3601"));
    }
    EXPECT_EQ(runJSON({"vault", "search", "ack"}).size(), 1u);
    EXPECT_EQ(sim.requestLog().size(), 1u);

    EXPECT_EQ(runJSON({"vault", "describe", "photos"})["arn"],
              "arn:aws:glacier:local-1:123456789012:vaults/photos");
    runFails({"vault", "delete", "photos"}, 2, "not empty");
    EXPECT_EQ(runJSON({"vault", "delete", "backup"})["deleted"], true);
    nlohmann::json after = runJSON({"vault", "list"});
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0]["name"], "photos");

    // Other regions are separate.
    EXPECT_TRUE(runJSON({"--region", "local-2", "vault", "list"}).empty());
    EXPECT_EQ(runJSON({"vault", "sync", "--all-regions"}).size(), 2u);
}

// A bad vault name is a usage error in every command that takes one, and nothing is sent.
TEST_F(VaultCliTest, BadNamesAreUsageErrorsWithoutARequest) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"a b", "only letters"}, {"a/b", "only letters"}, {"a:b", "only letters"},
        {".", "only letters"},   {"..", "only letters"},  {std::string(256, 'n'), "too long"}};
    for (const auto& [name, says] : names) {
        runFails({"vault", "create", name}, 1, says);
        runFails({"tag", "list", "--vault", name}, 1, says);
        runFails({"inventory", "ls", "--vault", name}, 1, says);
        runFails({"job", "inventory", "--vault", name}, 1, says);
    }
    EXPECT_TRUE(sim.requestLog().empty());
    runOK({"vault", "create", std::string(255, 'n')});
    // Only the good name reached the service: is it there, create, describe.
    EXPECT_EQ(sim.requestLog().size(), 3u);
}

TEST_F(VaultCliTest, TagsPolicyAccountCheckAndLogs) {
    runOK({"vault", "create", "a"});
    runOK({"vault", "create", "b"});
    EXPECT_EQ(runJSON({"tag", "add", "--vault", "a", "team=ops", "env=prod"}).size(), 2u);
    runJSON({"tag", "add", "--vault", "b", "team=ops"});
    EXPECT_EQ(runJSON({"tag", "common", "a", "b"}),
              nlohmann::json::parse(R"([{"key": "team", "value": "ops"}])"));
    EXPECT_EQ(runJSON({"vault", "search", "tag:env=prod"})[0]["name"], "a");
    EXPECT_EQ(runJSON({"tag", "remove", "--vault", "a", "env"}).size(), 1u);
    EXPECT_EQ(runJSON({"tag", "list", "--vault", "a"})[0]["key"], "team");
    runFails({"tag", "add", "--vault", "a", "novalue"}, 1);

    nlohmann::json policy = runJSON({"policy", "set", "BytesPerHour", "--bytes-per-hour", "1024"});
    EXPECT_EQ(policy["bytesPerHour"], 1024);
    EXPECT_EQ(runJSON({"policy", "get"})["strategy"], "BytesPerHour");
    runFails({"policy", "set", "None", "--bytes-per-hour", "5"}, 1);
    runFails({"policy", "set", "freetier"}, 1);

    EXPECT_EQ(runJSON({"account", "check", "t"})["ok"], true);
    runOK({"account", "add", "wrong", "--access-key", "AKIDOTHER", "--secret-stdin", "--region",
           "local-1"},
          "nope\n");
    runFails({"account", "check", "wrong"}, 2, "(local-1)");

    // `log` lists the process log and one per vault.
    nlohmann::json logs = runJSON({"log"});
    ASSERT_EQ(logs.size(), 3u) << logs.dump();
    EXPECT_EQ(logs[0]["scope"], "support");
    EXPECT_EQ(logs[1]["scope"], "t/local-1/a");
    EXPECT_EQ(logs[2]["scope"], "t/local-1/b");
    EXPECT_EQ(std::filesystem::path(logs[1]["path"].get<std::string>()).filename(), "vault.log");
}

}  // namespace
}  // namespace quillon::testing
