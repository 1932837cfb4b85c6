// The commands that need no service: exit statuses, help, version, completion, the region list
// and the demo. Each test runs the program from its own thread with a home of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/CliRunner.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

using testing::CliResult;
using testing::CliRunner;
using testing::TempDir;

class FrontDoorTest : public ::testing::Test {
  protected:
    void writeRegions(const std::string& text) {
        std::ofstream(home_.file("Regions.json"), std::ios::trunc) << text;
    }

    TempDir home_;
    CliRunner cli_{home_.path()};
};

// Characters, not bytes, before the first occurrence of needle.
std::size_t columnOf(const std::string& line, const std::string& needle) {
    std::size_t bytes = line.find(needle);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < bytes && i < line.size(); ++i) {
        chars += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    }
    return chars;
}

// "-": nothing written; "*": anything; else the text holds it.
void expectStream(const std::string& text, const std::string& expected, const std::string& what) {
    if (expected == "-") {
        EXPECT_EQ(text, "") << what;
    } else if (expected != "*") {
        EXPECT_NE(text, "") << what;
        EXPECT_NE(text.find(expected), std::string::npos) << what << ": " << text;
    }
}

// Usage errors exit 1 and failures 2, with their text on standard error only; help and
// results exit 0, and --quiet keeps the results.
TEST_F(FrontDoorTest, EachCommandLineExitsWithItsStatusAndWritesWhereItShould) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string out, err;
    } cases[] = {
        {{}, 1, "-", ""},                             // no subcommand
        {{"frobnicate"}, 1, "-", ""},                 // unknown subcommand
        {{"region"}, 1, "-", ""},                     // family without a verb
        {{"region", "delete"}, 1, "-", ""},           // unknown verb
        {{"--bogus", "region", "list"}, 1, "-", ""},  // unknown option
        {{"region", "list", "extra"}, 1, "-", ""},    // stray argument
        {{"--json", "frobnicate"}, 1, "-", ""},
        {{"valut", "list"}, 1, "-", "did you mean vault?"},
        {{"vault", "lsit"}, 1, "-", "did you mean vault list?"},
        {{"account", "show", "nobody"}, 2, "-", "nobody"},
        {{"--json", "--quiet", "account", "show", "nobody"}, 2, "-", "nobody"},
        {{"--help"}, 0, "region", "*"},
        {{"--help"}, 0, "--json", "*"},
        {{"region", "list", "--help"}, 0, "region list", "*"},
        {{"--version"}, 0, "(build ", "*"},
        {{"--quiet", "--json", "region", "list"}, 0, "\"us-east-1\"", "-"},
    };
    for (const auto& c : cases) {
        const std::string shown = ::testing::PrintToString(c.args);
        CliResult result = cli_.run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << shown;
        expectStream(result.out, c.out, shown + " out");
        expectStream(result.err, c.err, shown + " err");
    }
    EXPECT_EQ(cli_.run({"--version"}).out.rfind("quillon 1.", 0), 0u);
    // --home without its value.
    EXPECT_EQ(cli_.runWithoutHome({"region", "list", "--home"}).exitCode, 1);

    CliResult bare = cli_.runWithoutHome({});
    EXPECT_EQ(bare.exitCode, 1);
    for (const char* family : {"account", "vault", "upload", "multipart", "job", "inventory"}) {
        EXPECT_NE(bare.err.find(family), std::string::npos) << family;
    }
    EXPECT_EQ(bare.err.find("__complete"), std::string::npos);

    CliResult viaHelp = cli_.run({"help", "vault", "create"});
    CliResult direct = cli_.run({"vault", "create", "--help"});
    EXPECT_EQ(viaHelp.exitCode, 0);
    EXPECT_EQ(viaHelp.out, direct.out);
    for (const char* global : {"--endpoint-url", "--json", "--home", "--region"}) {
        EXPECT_NE(direct.out.find(global), std::string::npos) << global;
    }
}

TEST_F(FrontDoorTest, InstallPutsTheProgramsAndTheCompletionInPlace) {
    const std::string prefix = home_.path() + "/prefix";
    CliResult installed =
        CliRunner("", "/usr/bin/env")
            .runWithoutHome({"cmake", "--install", testing::binaryDir(), "--prefix", prefix});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    const std::string completion = prefix + "/share/bash-completion/completions/quillon";
    for (const std::string& file : {prefix + "/bin/quillon", prefix + "/bin/quillon-sim"}) {
        EXPECT_EQ(access(file.c_str(), X_OK), 0) << file;
    }
    ASSERT_EQ(access(completion.c_str(), R_OK), 0);
    EXPECT_NE(access((prefix + "/include").c_str(), F_OK), 0);  // the Development component's

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

// The library's public face: its headers and archive go in only with the Development component,
// the six model units whole and of the boundary layer only what they include, so that every
// quoted include of an installed header is installed too.
TEST_F(FrontDoorTest, TheDevelopmentInstallHoldsThePublicHeadersAndAllTheyInclude) {
    namespace fs = std::filesystem;
    const std::string prefix = home_.path() + "/prefix";
    CliResult installed = CliRunner("", "/usr/bin/env")
                              .runWithoutHome({"cmake", "--install", testing::binaryDir(),
                                               "--prefix", prefix, "--component", "Development"});
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    const fs::path include = fs::path(prefix) / "include" / "quillon";
    EXPECT_TRUE(fs::exists(fs::path(prefix) / "lib" / "libquillonlib.a") ||
                fs::exists(fs::path(prefix) / "lib64" / "libquillonlib.a"));
    EXPECT_FALSE(fs::exists(fs::path(prefix) / "bin"));
    for (const char* header :
         {"foundation/Error.h", "foundation/MainQueue.h", "accounts/Accounts.h", "vaults/Vaults.h",
          "inventory/Inventory.h", "transfers/UploadClaims.h", "settings/Diagnostics.h"}) {
        EXPECT_TRUE(fs::exists(include / header)) << header;
    }
    for (const char* hidden : {"interfaces/platform/UserDefaults.h",
                               "interfaces/base/Localization.h", "interfaces/http/HttpTrace.h"}) {
        EXPECT_FALSE(fs::exists(include / hidden)) << hidden;
    }
    std::size_t headers = 0;
    for (const auto& entry : fs::recursive_directory_iterator(include)) {
        std::ifstream in(entry.path());
        headers += entry.is_regular_file();
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("#include \"", 0) == 0) {
                const std::string included = line.substr(10, line.find('"', 10) - 10);
                EXPECT_TRUE(fs::exists(include / included)) << entry.path() << ": " << included;
            }
        }
    }
    EXPECT_GT(headers, 70u);
}

TEST_F(FrontDoorTest, TheRegionListIsAnAlignedTableOrOneJSONArray) {
    CliResult result = cli_.run({"region", "list"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::string> lines;
    std::istringstream stream(result.out);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 27u);  // header and 26 built-in regions
    EXPECT_NE(lines[1].find("us-east-1"), std::string::npos);
    EXPECT_NE(lines[1].find("https://glacier.us-east-1.amazonaws.com/"), std::string::npos);
    // The endpoints line up, also after the name with a non-ASCII letter.
    std::size_t column = columnOf(lines[1], "https://");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(columnOf(lines[i], "https://"), column) << lines[i];
    }
    EXPECT_NE(result.out.find("South America (S\u00e3o Paulo)"), std::string::npos);

    // JSON is one array of id, name and endpoint; the global option is accepted before and
    // after the subcommand.
    for (const auto& args : {std::vector<std::string>{"--json", "region", "list"},
                             std::vector<std::string>{"region", "list", "--json"}}) {
        CliResult json = cli_.run(args);
        ASSERT_EQ(json.exitCode, 0) << json.err;
        auto document = nlohmann::json::parse(json.out);  // throws on a second document
        ASSERT_TRUE(document.is_array());
        ASSERT_EQ(document.size(), 26u);
        EXPECT_EQ(document[0],
                  (nlohmann::json{{"id", "us-east-1"},
                                  {"name", "US East (N. Virginia)"},
                                  {"endpoint", "https://glacier.us-east-1.amazonaws.com/"}}));
        EXPECT_EQ(document[21]["endpoint"], "https://glacier.cn-north-1.amazonaws.com.cn/");
        EXPECT_EQ(document[19]["name"], "South America (S\u00e3o Paulo)");
    }
}

TEST_F(FrontDoorTest, CustomRegionsFromTheHomeOptionBeforeTheEnvironmentAreListedWithEndpoints) {
    writeRegions(R"({"local-1": )");
    CliResult malformed = cli_.run({"--json", "region", "list"});
    EXPECT_EQ(malformed.exitCode, 2);
    EXPECT_NE(malformed.err.find("Regions.json"), std::string::npos) << malformed.err;

    writeRegions(
        R"({"local-1": {"name": "Local", "host": "http://127.0.0.1:48213/"},
                  "broken-1": {"name": "Broken", "host": "no such host"}})");
    CliResult result = cli_.run({"--json", "region", "list"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    auto document = nlohmann::json::parse(result.out);
    ASSERT_EQ(document.size(), 28u);
    EXPECT_EQ(document[26],
              (nlohmann::json{
                  {"id", "local-1"}, {"name", "Local"}, {"endpoint", "http://127.0.0.1:48213/"}}));
    EXPECT_EQ(document[27]["endpoint"], "");

    CliResult human = cli_.run({"region", "list"});
    ASSERT_EQ(human.exitCode, 0);
    EXPECT_NE(human.out.find("http://127.0.0.1:48213/"), std::string::npos);

    // The --home option wins over the environment.
    TempDir other;
    std::ofstream(other.file("Regions.json"))
        << R"({"env-1": {"name": "Env", "host": "env.localhost"}})";
    writeRegions(R"({"opt-1": {"name": "Opt", "host": "opt.localhost"}})");
    cli_.setEnv("QUILLON_HOME", other.path());

    CliResult withOption = cli_.run({"--json", "region", "list"});
    ASSERT_EQ(withOption.exitCode, 0) << withOption.err;
    EXPECT_EQ(nlohmann::json::parse(withOption.out).back()["id"], "opt-1");

    CliResult fromEnvironment = cli_.runWithoutHome({"--json", "region", "list"});
    ASSERT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.err;
    EXPECT_EQ(nlohmann::json::parse(fromEnvironment.out).back()["endpoint"],
              "https://env.localhost/");
}

// The README's first command: the whole road against its own simulator, nothing left behind.
TEST_F(FrontDoorTest, TheWholeRoadSucceedsAndSaysSo) {
    CliResult result = cli_.runWithoutHome({"demo"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("identical (3158073 bytes)"), std::string::npos);
    EXPECT_TRUE(result.out.ends_with("demo: 10 of 10 steps succeeded\n")) << result.out;
}

}  // namespace
}  // namespace quillon
