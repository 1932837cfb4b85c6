#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

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

TEST_F(ExitStatusTest, TheFrontDoorAnswersVersionHelpAndTypos) {
    CliResult version = cli_.run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("quillon 1.", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("(build "), std::string::npos);

    CliResult bare = cli_.runWithoutHome({});
    EXPECT_EQ(bare.exitCode, 1);
    for (const char* family : {"account", "vault", "upload", "multipart", "job", "inventory"}) {
        EXPECT_NE(bare.err.find(family), std::string::npos) << family;
    }
    EXPECT_EQ(bare.err.find("__complete"), std::string::npos);

    CliResult typo = cli_.run({"valut", "list"});
    EXPECT_EQ(typo.exitCode, 1);
    EXPECT_NE(typo.err.find("did you mean vault?"), std::string::npos) << typo.err;
    CliResult verbTypo = cli_.run({"vault", "lsit"});
    EXPECT_NE(verbTypo.err.find("did you mean vault list?"), std::string::npos) << verbTypo.err;

    CliResult viaHelp = cli_.run({"help", "vault", "create"});
    CliResult direct = cli_.run({"vault", "create", "--help"});
    EXPECT_EQ(viaHelp.exitCode, 0);
    EXPECT_EQ(viaHelp.out, direct.out);
    for (const char* global : {"--endpoint-url", "--json", "--home", "--region"}) {
        EXPECT_NE(direct.out.find(global), std::string::npos) << global;
    }
}

TEST_F(ExitStatusTest, InstallPutsTheProgramsAndTheCompletionInPlace) {
    const std::string prefix = home_.path() + "/prefix";
    ChildOptions options;
    options.unsetEnv = {"QUILLON_HOME"};
    options.captureErr = true;
    CliResult installed =
        runChild("/usr/bin/env", {"cmake", "--install", QUILLON_BINARY_DIR, "--prefix", prefix}, "",
                 options);
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    const std::string completion = prefix + "/share/bash-completion/completions/quillon";
    for (const std::string& file : {prefix + "/bin/quillon", prefix + "/bin/quillon-sim"}) {
        EXPECT_EQ(access(file.c_str(), X_OK), 0) << file;
    }
    ASSERT_EQ(access(completion.c_str(), R_OK), 0);

    auto completeWords = [&](const std::string& words, int index) {
        std::string script = "source '" + completion + "'; COMP_WORDS=(" + words +
                             "); COMP_CWORD=" + std::to_string(index) +
                             "; _quillon; printf '%s\\n' \"${COMPREPLY[@]}\"";
        const char* path = std::getenv("PATH");
        ChildOptions shell;
        shell.env = {{"PATH", prefix + "/bin:" + (path ? path : "")},
                     {"QUILLON_HOME", home_.path()}};
        shell.captureErr = true;
        return runChild("/bin/bash", {"-c", script}, "", shell).out;
    };
    EXPECT_EQ(completeWords("quillon va", 1), "vault\n");
    EXPECT_EQ(completeWords("quillon vault cr", 2), "create\n");
    EXPECT_NE(completeWords("quillon upload --dr", 2).find("--dry-run"), std::string::npos);
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
