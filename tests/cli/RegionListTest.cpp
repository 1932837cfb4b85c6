#include <gtest/gtest.h>

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

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Characters, not bytes, before the first occurrence of needle.
std::size_t columnOf(const std::string& line, const std::string& needle) {
    std::size_t bytes = line.find(needle);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < bytes && i < line.size(); ++i) {
        chars += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    }
    return chars;
}

class RegionListTest : public ::testing::Test {
  protected:
    TempDir home_;
    CliRunner cli_{home_.path()};
};

TEST_F(RegionListTest, HumanTableListsEveryRegionInAlignedColumns) {
    CliResult result = cli_.run({"region", "list"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    auto lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 27u);  // header and 26 built-in regions
    EXPECT_NE(lines[1].find("us-east-1"), std::string::npos);
    EXPECT_NE(lines[1].find("https://glacier.us-east-1.amazonaws.com/"), std::string::npos);
    // The endpoints line up, also after the name with a non-ASCII letter.
    std::size_t column = columnOf(lines[1], "https://");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(columnOf(lines[i], "https://"), column) << lines[i];
    }
    EXPECT_NE(result.out.find("South America (S\u00e3o Paulo)"), std::string::npos);
}

TEST_F(RegionListTest, JsonIsOneArrayOfIdNameEndpoint) {
    // The global option is accepted before and after the subcommand.
    for (const auto& args : {std::vector<std::string>{"--json", "region", "list"},
                             std::vector<std::string>{"region", "list", "--json"}}) {
        CliResult result = cli_.run(args);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        auto document = nlohmann::json::parse(result.out);  // throws on a second document
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

TEST_F(RegionListTest, CustomRegionsFromTheHomeDirectoryAreListedWithTheirEndpoints) {
    writeFile(home_.file("Regions.json"),
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
}

TEST_F(RegionListTest, MalformedCustomFileIsAnError) {
    writeFile(home_.file("Regions.json"), R"({"local-1": )");
    CliResult result = cli_.run({"--json", "region", "list"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("Regions.json"), std::string::npos) << result.err;
}

TEST_F(RegionListTest, HomeOptionWinsOverTheEnvironment) {
    TempDir other;
    writeFile(other.file("Regions.json"), R"({"env-1": {"name": "Env", "host": "env.localhost"}})");
    writeFile(home_.file("Regions.json"), R"({"opt-1": {"name": "Opt", "host": "opt.localhost"}})");
    cli_.setEnv("QUILLON_HOME", other.path());

    CliResult withOption = cli_.run({"--json", "region", "list"});
    ASSERT_EQ(withOption.exitCode, 0) << withOption.err;
    EXPECT_EQ(nlohmann::json::parse(withOption.out).back()["id"], "opt-1");

    CliResult fromEnvironment = cli_.runWithoutHome({"--json", "region", "list"});
    ASSERT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.err;
    EXPECT_EQ(nlohmann::json::parse(fromEnvironment.out).back()["endpoint"],
              "https://env.localhost/");
}

}  // namespace
}  // namespace quillon
