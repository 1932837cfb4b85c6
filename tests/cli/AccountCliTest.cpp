// Tests of the account commands: add, list, show, remove, profiles and environment credentials.
// Threads: the test's thread, one test runs programs from several; quillon and the simulator
//   are child processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

// Accounts through the command line; the AWS conventions (profiles read at use, credentials and
// the region from the environment, a one-off endpoint) against the fixture's simulator.
class AccountCliTest : public CliFixture {
  protected:
    std::string profileText(const std::string& secret) const {
        return "[home]\naws_access_key_id = " + sim.accessKey() +
               "\naws_secret_access_key = " + secret + "\naws_session_token = token-1\n";
    }
};

TEST_F(AccountCliTest, AddListShowAndRemoveRoundTrip) {
    auto added = runJSON({"account", "add", "work", "--access-key", "AKIAWORK", "--secret-stdin",
                          "--region", "eu-west-1", "--region", "us-east-2"},
                         "very-secret\n");
    EXPECT_EQ(added["name"], "work");
    CliResult list = runOK({"--json", "account", "list"});
    auto accounts = nlohmann::json::parse(list.out);
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0]["accessKey"], "AKIAWORK");
    EXPECT_EQ(accounts[0]["regions"], nlohmann::json({"eu-west-1", "us-east-2"}));
    EXPECT_FALSE(accounts[0].contains("secret"));
    EXPECT_THAT(list.out, Not(HasSubstr("very-secret")));

    CliResult show = runOK({"account", "show", "work"});
    EXPECT_THAT(show.out, HasSubstr("eu-west-1"));  // the first region is selected
    EXPECT_THAT(show.out, Not(HasSubstr("very-secret")));

    runOK({"account", "remove", "work"});
    EXPECT_EQ(runJSON({"account", "list"}).size(), 0u);
}

TEST_F(AccountCliTest, FailuresExplainThemselvesWithTheRightStatus) {
    runOK({"account", "add", "a", "--access-key", "K1", "--secret-stdin"}, "s\n");
    auto duplicate = runFails({"account", "add", "a", "--access-key", "K2", "--secret-stdin"}, 2,
                              "already in use", "s\n");
    EXPECT_TRUE(duplicate.out.empty());

    runFails({"account", "add", "b", "--access-key", "K3", "--secret-stdin", "--region", "mars-1"},
             1, "mars-1", "s\n");

    runFails({"account", "add", "c", "--secret-stdin"}, 1, "", "s\n");
    runFails({"account", "show", "nobody"}, 2, "nobody");
    runFails({"account", "add", "d", "--access-key", "K4", "--secret-stdin"}, 1, "", "\n");

    // A secret from a credentials profile needs the profile's access key.
    std::filesystem::create_directories(temp.file(".aws"));
    std::ofstream(temp.file(".aws/credentials"))
        << "[default]\naws_access_key_id = AKDEF\naws_secret_access_key = defsecret\n";
    runOK({"account", "add", "mine", "--access-key", "AKDEF", "--profile", "default"});
    runFails({"account", "add", "x", "--access-key", "AKOTHER", "--profile", "default"}, 2);
    runFails({"account", "add", "y", "--profile", "nope"}, 2, "nope");
}

// Programs run side by side: every one's secret reaches the keychain, although each rewrites
// the whole file.
TEST_F(AccountCliTest, ParallelAddsKeepEverySecret) {
    runOK({"account", "list"});
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

    const std::string keychain = contents(temp.file("app/Keychain.json"));
    for (int i = 0; i < 10; ++i) {
        EXPECT_THAT(keychain, HasSubstr("\"secret-" + std::to_string(i) + "\""));
    }
}

TEST_F(AccountCliTest, AProfileAccountNeedsNoAccessKeyAndSeesARotatedSecret) {
    writeRegions();
    std::string file = temp.file("shared-credentials");
    cli.setEnv("AWS_SHARED_CREDENTIALS_FILE", file);
    std::ofstream(file) << profileText(sim.secretKey());
    runOK({"account", "add", "mine", "--profile", "home", "--region", "local-1"});
    CliResult created = runOK({"--debug", "vault", "create", "profiled"});
    EXPECT_EQ(sim.requestLog().back()["signature"], "valid");
    EXPECT_THAT(created.err, HasSubstr("x-amz-security-token"));  // the profile's token

    std::ofstream(file) << profileText("not-the-secret");
    EXPECT_EQ(cli.run({"vault", "create", "second"}).exitCode, 2);
    EXPECT_EQ(sim.requestLog().back()["signature"], "invalid");
}

TEST_F(AccountCliTest, EnvironmentCredentialsActWithoutAStoredAccount) {
    writeRegions();
    cli.setEnv("AWS_ACCESS_KEY_ID", sim.accessKey());
    cli.setEnv("AWS_SECRET_ACCESS_KEY", sim.secretKey());
    cli.setEnv("AWS_SESSION_TOKEN", "session-token-1");
    runOK({"--endpoint-url", sim.baseURL(), "vault", "create", "fromenv"});
    EXPECT_EQ(runJSON({"--endpoint-url", sim.baseURL(), "vault", "describe", "fromenv"})["name"],
              "fromenv");
    for (const auto& entry : sim.requestLog()) {
        EXPECT_EQ(entry["signature"], "valid");
    }

    // The region named by the environment, here a custom one, is where commands act.
    cli.setEnv("AWS_DEFAULT_REGION", "local-1");
    runOK({"vault", "create", "byregion"});

    EXPECT_EQ(runJSON({"account", "list"}).size(), 0u);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(temp.path() + "/app")) {
        if (entry.is_regular_file()) {
            EXPECT_THAT(contents(entry.path()), Not(HasSubstr(sim.secretKey()))) << entry.path();
        }
    }
}

}  // namespace
}  // namespace quillon::testing
