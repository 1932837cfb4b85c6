#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "support/CliFixture.h"

using quillon::testing::CliFixture;
using quillon::testing::CliResult;

namespace {

// What a user meets when the service refuses them or cannot be reached.
class ServiceFailureCliTest : public CliFixture {};

TEST_F(ServiceFailureCliTest, AWrongSecretReadsAsAnAuthenticationFailureOfTheRegion) {
    addAccount("wrong", "not-the-secret");
    for (const auto& args : {std::vector<std::string>{"vault", "sync"},
                             std::vector<std::string>{"account", "check", "wrong"}}) {
        CliResult result = cli.run(args);
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_NE(result.err.find("Authentication failed"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("local-1"), std::string::npos) << result.err;
    }
}

TEST_F(ServiceFailureCliTest, UnknownVaultsAreNamedInTheError) {
    addAccount("right");
    for (const auto& args : {std::vector<std::string>{"vault", "describe", "nowhere"},
                             std::vector<std::string>{"job", "inventory", "--vault", "nowhere"},
                             std::vector<std::string>{"inventory", "ls", "--vault", "nowhere"}}) {
        CliResult result = cli.run(args);
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_NE(result.err.find("nowhere"), std::string::npos) << result.err;
    }
}

TEST_F(ServiceFailureCliTest, AServiceThatIsDownFailsPromptlyWithAReadableError) {
    addAccount("right");
    ASSERT_EQ(cli.run({"vault", "create", "photos"}).exitCode, 0);
    ASSERT_EQ(cli.run({"vault", "sync"}).exitCode, 0);
    stopSimulator();

    for (const auto& args : {std::vector<std::string>{"vault", "sync"},
                             std::vector<std::string>{"job", "inventory", "--vault", "photos"}}) {
        CliResult result = cli.run(args);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitCode, 2) << args[0];
        EXPECT_TRUE(result.out.empty());
        EXPECT_FALSE(result.err.empty());
    }
    // What was stored before stays readable without the service.
    CliResult listed = cli.run({"--json", "vault", "list"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(nlohmann::json::parse(listed.out).at(0).at("name"), "photos");
}

}  // namespace
