// Tests of the CLI against failing services and damaged homes: statuses and messages.
// Threads: run on the test's thread; quillon and the simulator are child processes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "support/CliFixture.h"

namespace quillon::testing {
namespace {

// What a user meets when the service refuses them or cannot be reached.
class ServiceFailureCliTest : public CliFixture {};

TEST_F(ServiceFailureCliTest, AWrongSecretReadsAsAnAuthenticationFailureOfTheRegion) {
    addAccount("wrong", "not-the-secret");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"vault", "sync"}, {"account", "check", "wrong"}}) {
        CliResult result = runFails(args, 2, "Authentication failed");
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_NE(result.err.find("local-1"), std::string::npos) << result.err;
    }
}

TEST_F(ServiceFailureCliTest, UnknownVaultsAreNamedAndAServiceThatIsDownFailsPromptly) {
    addAccount("right");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"vault", "describe", "nowhere"},
          {"job", "inventory", "--vault", "nowhere"},
          {"inventory", "ls", "--vault", "nowhere"}}) {
        runFails(args, 2, "nowhere");
    }
    runOK({"vault", "create", "photos"});
    runOK({"vault", "sync"});
    stopSimulator();

    for (const auto& args : {std::vector<std::string>{"vault", "sync"},
                             std::vector<std::string>{"job", "inventory", "--vault", "photos"}}) {
        CliResult result = runFails(args, 2);
        EXPECT_FALSE(result.timedOut);
        EXPECT_TRUE(result.out.empty());
    }
    // What was stored before stays readable without the service.
    EXPECT_EQ(runJSON({"vault", "list"}).at(0).at("name"), "photos");
}

TEST_F(ServiceFailureCliTest, NamesAndIdsNeverLeaveTheirPathSegment) {
    addAccount("right", sim.secretKey());
    const std::string archive = sim.seed({{"vault", "v"}, {"count", 1}})["archiveIds"][0];
    sim.clearRequestLog();
    const std::string inner = "v/archives/" + archive;
    const std::vector<std::vector<std::string>> attempts = {
        {"vault", "delete", inner},
        {"vault", "describe", inner},
        {"vault", "delete", "v?x=1"},
        {"vault", "delete", "v#x"},
        {"vault", "delete", "v%2Farchives%2F" + archive},
        {"vault", "delete", ".."},
        {"tag", "list", "--vault", inner},
        {"tag", "add", "--vault", inner, "k=v"},
        {"tag", "remove", "--vault", inner, "k"},
        {"delete", "..", "--vault", "v"},
        {"delete", archive + "/../..", "--vault", "v"},
        {"job", "describe", "../../v", "--vault", "v"},
        {"job", "wait", "x?y", "--vault", "v"},
    };
    for (const auto& args : attempts) {
        CliResult result = cli.run(args);
        EXPECT_TRUE(result.exitCode == 1 || result.exitCode == 2) << args[2] << result.err;
        EXPECT_GT(result.err.size(), 20u) << args[2];
    }
    EXPECT_EQ(sim.requestLog().size(), 0u) << sim.requestLog().dump();
    EXPECT_THAT(runOK({"--json", "vault", "describe", "v"}).out,
                HasSubstr("\"numberOfArchives\": 1"));
}

TEST_F(ServiceFailureCliTest, AnswersOfTheWrongShapeReplaceNothingAndTheDirectoryStaysPrivate) {
    addAccount("right", sim.secretKey());
    runOK({"vault", "create", "photos"});
    runOK({"vault", "sync"});
    runOK({"tag", "add", "--vault", "photos", "kind=raw"});
    runOK({"tag", "list", "--vault", "photos"});
    struct Case {
        std::vector<std::string> args;
        std::string path;
    };
    const std::vector<Case> cases = {
        {{"vault", "sync"}, "/-/vaults"},
        {{"vault", "describe", "photos"}, "/-/vaults/photos"},
        {{"tag", "list", "--vault", "photos"}, "/tags"},
        {{"policy", "get"}, "/policies"},
        {{"job", "list", "--vault", "photos"}, "/jobs"},
    };
    const std::vector<nlohmann::json> answers = {
        {{"body", "<html><body>Sign in to the Wi-Fi</body></html>"}, {"contentType", "text/html"}},
        {{"body", R"({"VaultList": "none", "JobList": 1, "Tags": [], "Policy": {}})"}},
        {{"body", "[]"}},
    };
    for (const Case& c : cases) {
        for (nlohmann::json fault : answers) {
            fault.update({{"method", "GET"}, {"path", c.path}, {"status", 200}});
            fault.emplace("contentType", "application/json");
            sim.injectFault(fault);
            SCOPED_TRACE(fault.dump());
            runFails(c.args, 2, "unexpected response");
            sim.clearFaults();
        }
    }
    EXPECT_EQ(runJSON({"vault", "list"}).at(0).at("name"), "photos");
    CliResult tags = cli.run({"tag", "list", "--vault", "photos", "--cached"});
    EXPECT_THAT(tags.out, HasSubstr("raw")) << tags.err;

    // What the program wrote, and the application directory itself, are its owner's alone.
    setPrefs({{"maxConcurrentUploads", "2"}});
    std::ofstream(temp.path() + "/notes.txt") << "notes";
    runOK({"upload", temp.path() + "/notes.txt", "--vault", "photos"});
    const std::filesystem::path app = temp.path() + "/app";
    std::vector<std::filesystem::path> written = {app};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(app)) {
        // Regions.json is written by the test itself, before the program runs.
        if (entry.path().filename() != "Regions.json") {
            written.push_back(entry.path());
        }
    }
    EXPECT_GT(written.size(), 6u);
    for (const auto& path : written) {
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 077, 0u) << path << " " << std::oct << status.st_mode;
    }
}

// Every fatal path ends with status 2 and a sentence, never abort().
TEST_F(ServiceFailureCliTest, AnUnusableHomeOrDamagedFileEndsWithStatusTwoAndASentence) {
    std::ofstream(temp.path() + "/file") << "x";
    CliResult homeIsAFile = cli.runWithoutHome({"--home", temp.path() + "/file", "vault", "list"});
    EXPECT_EQ(homeIsAFile.exitCode, 2) << homeIsAFile.err;
    EXPECT_THAT(homeIsAFile.err, HasSubstr("cannot be used"));

    addAccount("right", sim.secretKey());
    const std::string app = temp.path() + "/app";
    // Damaged region or keychain files are errors, not silent fallbacks.
    sim.clearRequestLog();
    for (const std::string& junk : {std::string("not json"), std::string(R"({"local-1": 5})")}) {
        std::ofstream(app + "/Regions.json", std::ios::trunc) << junk;
        runFails({"vault", "sync"}, 2, "Regions.json");
    }
    EXPECT_EQ(sim.requestLog().size(), 0u);
    writeRegions();
    std::ofstream(app + "/Keychain.json", std::ios::trunc) << "{damaged";
    runFails({"account", "add", "other", "--access-key", "AKOTHER", "--secret-stdin"}, 2,
             "keychain", "secret\n");
    EXPECT_THAT(cli.run({"--json", "account", "list"}).out, Not(HasSubstr("other")));

    for (const char* name : {"/Accounts.db", "/Test-Accounts.db"}) {
        if (std::filesystem::exists(app + name)) {
            std::ofstream(app + name, std::ios::trunc) << std::string(8192, 'j');
        }
    }
    runFails({"account", "list"}, 2, "Accounts.db");
}

}  // namespace
}  // namespace quillon::testing
