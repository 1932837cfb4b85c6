#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "support/CliRunner.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

using quillon::testing::CliRunner;
using quillon::testing::TempDir;

namespace {

class AccountCliTest : public ::testing::Test {
  protected:
    AccountCliTest() : cli(temp.path() + "/app") { cli.setEnv("HOME", temp.path()); }

    void writeCredentials(const std::string& text) {
        std::filesystem::create_directories(temp.path() + "/.aws");
        std::ofstream(temp.path() + "/.aws/credentials") << text;
    }

    TempDir temp;
    CliRunner cli;
};

TEST_F(AccountCliTest, AddListShowAndRemoveRoundTrip) {
    auto added = cli.run({"--json", "account", "add", "work", "--access-key", "AKIAWORK",
                          "--secret-stdin", "--region", "eu-west-1", "--region", "us-east-2"},
                         "very-secret\n");
    ASSERT_EQ(added.exitCode, 0) << added.err;
    auto addedJSON = nlohmann::json::parse(added.out);
    EXPECT_EQ(addedJSON["name"], "work");

    auto list = cli.run({"--json", "account", "list"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    auto accounts = nlohmann::json::parse(list.out);
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0]["accessKey"], "AKIAWORK");
    EXPECT_EQ(accounts[0]["regions"], nlohmann::json({"eu-west-1", "us-east-2"}));
    EXPECT_FALSE(accounts[0].contains("secret"));
    EXPECT_EQ(list.out.find("very-secret"), std::string::npos);

    auto show = cli.run({"account", "show", "work"});
    ASSERT_EQ(show.exitCode, 0) << show.err;
    EXPECT_NE(show.out.find("eu-west-1"), std::string::npos);  // the first region is selected
    EXPECT_EQ(show.out.find("very-secret"), std::string::npos);

    auto removed = cli.run({"account", "remove", "work"});
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(nlohmann::json::parse(cli.run({"--json", "account", "list"}).out).size(), 0u);
}

TEST_F(AccountCliTest, FailuresExplainThemselvesWithTheRightStatus) {
    ASSERT_EQ(
        cli.run({"account", "add", "a", "--access-key", "K1", "--secret-stdin"}, "s\n").exitCode,
        0);
    auto duplicate =
        cli.run({"account", "add", "a", "--access-key", "K2", "--secret-stdin"}, "s\n");
    EXPECT_EQ(duplicate.exitCode, 2);
    EXPECT_NE(duplicate.err.find("already in use"), std::string::npos) << duplicate.err;
    EXPECT_TRUE(duplicate.out.empty());

    auto unknownRegion = cli.run(
        {"account", "add", "b", "--access-key", "K3", "--secret-stdin", "--region", "mars-1"},
        "s\n");
    EXPECT_EQ(unknownRegion.exitCode, 1);
    EXPECT_NE(unknownRegion.err.find("mars-1"), std::string::npos);

    EXPECT_EQ(cli.run({"account", "add", "c", "--secret-stdin"}, "s\n").exitCode, 1);
    EXPECT_EQ(cli.run({"account", "show", "nobody"}).exitCode, 2);
    EXPECT_EQ(
        cli.run({"account", "add", "d", "--access-key", "K4", "--secret-stdin"}, "\n").exitCode, 1);
}

TEST_F(AccountCliTest, SecretFromACredentialsProfile) {
    writeCredentials("[default]\naws_access_key_id = AKDEF\naws_secret_access_key = defsecret\n");
    auto other =
        cli.run({"account", "add", "mine", "--access-key", "AKDEF", "--profile", "default"});
    ASSERT_EQ(other.exitCode, 0) << other.err;
    auto wrongKey =
        cli.run({"account", "add", "x", "--access-key", "AKOTHER", "--profile", "default"});
    EXPECT_EQ(wrongKey.exitCode, 2);
    auto missing = cli.run({"account", "add", "y", "--profile", "nope"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("nope"), std::string::npos);
}

// Programs run side by side: every one's secret reaches the keychain, although each rewrites
// the whole file.
TEST_F(AccountCliTest, ParallelAddsKeepEverySecret) {
    ASSERT_EQ(cli.run({"account", "list"}).exitCode, 0);
    const std::vector<std::pair<std::string, std::string>> prefs = {
        {"maxConcurrentDownloads", "2"}, {"maxDownloadSpeed", "100"}, {"maxConcurrentUploads", "3"},
        {"maxUploadSpeed", "200"},       {"uploadPartSize", "4"},     {"downloadPartSize", "8"}};
    std::vector<int> codes(10 + prefs.size(), -1);
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        runs.emplace_back([&, i] {
            const std::string n = std::to_string(i);
            codes[i] =
                i < 10
                    ? cli.run({"account", "add", "a" + n, "--access-key", "AKIA" + n,
                               "--secret-stdin", "--region", "eu-west-1"},
                              "secret-" + n + "\n")
                          .exitCode
                    : cli.run({"prefs", "set", prefs[i - 10].first, prefs[i - 10].second}).exitCode;
        });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    EXPECT_EQ(codes, std::vector<int>(codes.size(), 0));

    std::ifstream file(temp.path() + "/app/Keychain.json");
    auto keychain = nlohmann::json::parse(std::string(std::istreambuf_iterator<char>(file), {}));
    std::set<std::string> secrets;
    for (const auto& [service, items] : keychain.items()) {
        for (const auto& [account, secret] : items.items()) {
            secrets.insert(secret.get<std::string>());
        }
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(secrets.contains("secret-" + std::to_string(i))) << i;
    }
}

}  // namespace

namespace {

using quillon::testing::Simulator;

// The AWS conventions against a simulator: profiles read at use, credentials and the region
// from the environment, and a one-off endpoint.
class AwsConventionsCliTest : public AccountCliTest {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(temp.path() + "/app");
        std::ofstream(temp.path() + "/app/Regions.json")
            << nlohmann::json{{"local-1", {{"name", "Local"}, {"host", sim.baseURL()}}}}.dump();
    }

    std::string profileText(const std::string& secret) const {
        return "[home]\naws_access_key_id = " + sim.accessKey() +
               "\naws_secret_access_key = " + secret + "\naws_session_token = token-1\n";
    }

    Simulator sim;
};

TEST_F(AwsConventionsCliTest, AProfileAccountNeedsNoAccessKeyAndSeesARotatedSecret) {
    std::string file = temp.file("shared-credentials");
    cli.setEnv("AWS_SHARED_CREDENTIALS_FILE", file);
    std::ofstream(file) << profileText(sim.secretKey());
    auto added = cli.run({"account", "add", "mine", "--profile", "home", "--region", "local-1"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    auto created = cli.run({"--debug", "vault", "create", "profiled"});
    ASSERT_EQ(created.exitCode, 0) << created.err;
    EXPECT_EQ(sim.requestLog().back()["signature"], "valid");
    EXPECT_NE(created.err.find("x-amz-security-token"), std::string::npos);  // the profile's token

    std::ofstream(file) << profileText("not-the-secret");
    auto refused = cli.run({"vault", "create", "second"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(sim.requestLog().back()["signature"], "invalid");
}

TEST_F(AwsConventionsCliTest, EnvironmentCredentialsActWithoutAStoredAccount) {
    cli.setEnv("AWS_ACCESS_KEY_ID", sim.accessKey());
    cli.setEnv("AWS_SECRET_ACCESS_KEY", sim.secretKey());
    cli.setEnv("AWS_SESSION_TOKEN", "session-token-1");
    auto created = cli.run({"--endpoint-url", sim.baseURL(), "vault", "create", "fromenv"});
    ASSERT_EQ(created.exitCode, 0) << created.err;
    auto described =
        cli.run({"--json", "--endpoint-url", sim.baseURL(), "vault", "describe", "fromenv"});
    ASSERT_EQ(described.exitCode, 0) << described.err;
    EXPECT_EQ(nlohmann::json::parse(described.out)["name"], "fromenv");
    for (const auto& entry : sim.requestLog()) {
        EXPECT_EQ(entry["signature"], "valid");
    }

    // The region named by the environment, here a custom one, is where commands act.
    cli.setEnv("AWS_DEFAULT_REGION", "local-1");
    auto regional = cli.run({"vault", "create", "byregion"});
    ASSERT_EQ(regional.exitCode, 0) << regional.err;

    EXPECT_EQ(nlohmann::json::parse(cli.run({"--json", "account", "list"}).out).size(), 0u);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp.path() + "/app")) {
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), {});
            EXPECT_EQ(content.find(sim.secretKey()), std::string::npos) << entry.path();
        }
    }
}

}  // namespace
