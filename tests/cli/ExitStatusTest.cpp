#include <gtest/gtest.h>

#include "support/CliRunner.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

using testing::CliResult;
using testing::CliRunner;
using testing::TempDir;

class ExitStatusTest : public ::testing::Test {
  protected:
    TempDir home_;
    CliRunner cli_{home_.path()};
};

TEST_F(ExitStatusTest, UsageErrorsExitWithOneAndWriteNothingOnStdout) {
    const std::vector<std::vector<std::string>> cases = {
        {},                             // no subcommand
        {"frobnicate"},                 // unknown subcommand
        {"region"},                     // family without a verb
        {"region", "delete"},           // unknown verb
        {"--bogus", "region", "list"},  // unknown option
        {"region", "list", "extra"},    // stray argument
        {"--json", "frobnicate"},
    };
    for (const auto& args : cases) {
        CliResult result = cli_.run(args);
        std::string shown = args.empty() ? "(none)" : args.front();
        EXPECT_EQ(result.exitCode, 1) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_NE(result.err, "") << shown;
    }
    // --home without its value.
    EXPECT_EQ(cli_.runWithoutHome({"region", "list", "--home"}).exitCode, 1);
}

TEST_F(ExitStatusTest, HelpExitsWithZero) {
    CliResult top = cli_.run({"--help"});
    EXPECT_EQ(top.exitCode, 0);
    EXPECT_NE(top.out.find("region"), std::string::npos);
    EXPECT_NE(top.out.find("--json"), std::string::npos);

    CliResult sub = cli_.run({"region", "list", "--help"});
    EXPECT_EQ(sub.exitCode, 0);
    EXPECT_NE(sub.out.find("region list"), std::string::npos);
}

TEST_F(ExitStatusTest, FailureExitsWithTwoAndItsTextOnStderr) {
    for (const auto& args :
         {std::vector<std::string>{"account", "show", "nobody"},
          std::vector<std::string>{"--json", "--quiet", "account", "show", "nobody"}}) {
        CliResult result = cli_.run(args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("nobody"), std::string::npos);
    }
}

TEST_F(ExitStatusTest, QuietKeepsResults) {
    CliResult result = cli_.run({"--quiet", "--json", "region", "list"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.front(), '[');
}

}  // namespace
}  // namespace quillon
