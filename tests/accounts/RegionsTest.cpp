#include "accounts/Regions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "support/TempDir.h"

namespace quillon {
namespace {

std::vector<std::string> idsOf(const std::vector<RegionPtr>& regions) {
    std::vector<std::string> ids;
    for (const RegionPtr& region : regions) {
        ids.push_back(region->id());
    }
    return ids;
}

// Each test gets its own application directory, no test regions and an empty lookup cache.
class RegionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* old = std::getenv("QUILLON_HOME")) {
            oldHome_ = old;
        }
        setenv("QUILLON_HOME", home_.path().c_str(), 1);
        Regions::testRegions().clear();
        Regions::clearLookupCache();
    }

    void TearDown() override {
        Regions::testRegions().clear();
        Regions::clearLookupCache();
        if (oldHome_) {
            setenv("QUILLON_HOME", oldHome_->c_str(), 1);
        } else {
            unsetenv("QUILLON_HOME");
        }
    }

    void writeCustomFile(const std::string& text) {
        std::ofstream(home_.file("Regions.json"), std::ios::binary | std::ios::trunc) << text;
    }

    testing::TempDir home_;
    std::optional<std::string> oldHome_;
};

TEST_F(RegionsTest, BuiltinTableInOrderWithProviderHosts) {
    const auto& builtin = Regions::allBuiltin();
    std::vector<std::string> expected = {
        "us-east-1",      "us-east-2",      "us-west-1",      "us-west-2",      "ca-central-1",
        "eu-north-1",     "eu-central-1",   "eu-west-1",      "eu-west-2",      "eu-west-3",
        "eu-south-1",     "ap-east-1",      "ap-southeast-1", "ap-southeast-2", "ap-southeast-3",
        "ap-northeast-1", "ap-northeast-2", "ap-south-1",     "me-south-1",     "sa-east-1",
        "af-south-1",     "cn-north-1",     "cn-northwest-1", "ap-northeast-3", "us-gov-west-1",
        "us-gov-east-1"};
    EXPECT_EQ(idsOf(builtin), expected);
    for (const RegionPtr& region : builtin) {
        std::string domain = region->id().starts_with("cn-") ? "amazonaws.com.cn" : "amazonaws.com";
        EXPECT_EQ(region->host(), "glacier." + region->id() + "." + domain);
        EXPECT_EQ(region->endpoint(), "https://" + region->host() + "/");
    }
    EXPECT_EQ(builtin[0]->name(), "US East (N. Virginia)");
    EXPECT_EQ(builtin[19]->name(), "South America (S\u00e3o Paulo)");
    EXPECT_EQ(builtin[25]->name(), "GovCloud (US-East)");
    // The same objects on every call.
    EXPECT_EQ(Regions::allBuiltin()[7].get(), builtin[7].get());
}

TEST_F(RegionsTest, SixteenStandardRegionsInTableOrder) {
    std::vector<std::string> expected = {
        "us-east-1",      "us-east-2",      "us-west-1",      "us-west-2",
        "ca-central-1",   "eu-north-1",     "eu-central-1",   "eu-west-1",
        "eu-west-2",      "eu-west-3",      "ap-southeast-1", "ap-southeast-2",
        "ap-northeast-1", "ap-northeast-2", "ap-south-1",     "sa-east-1"};
    EXPECT_EQ(idsOf(Regions::allStandard()), expected);
    EXPECT_EQ(Regions::allStandard()[0].get(), Regions::allBuiltin()[0].get());
}

TEST_F(RegionsTest, GetReturnsTheBuiltinObjectAndCachesIt) {
    RegionPtr first = Regions::get("us-east-1");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first.get(), Regions::allBuiltin()[0].get());
    EXPECT_EQ(Regions::get("us-east-1").get(), first.get());
    EXPECT_EQ(Regions::get("no-such-1"), nullptr);
}

TEST_F(RegionsTest, NonStandardBuiltinsAreListedButNotResolved) {
    for (const char* id : {"eu-south-1", "cn-north-1", "ap-northeast-3", "us-gov-west-1"}) {
        EXPECT_EQ(Regions::get(id), nullptr) << id;
        EXPECT_EQ(Regions::getStandard(id), nullptr) << id;
    }
    EXPECT_EQ(Regions::all().size(), 26u);

    // Once the custom file defines the id, the custom region is what resolves.
    writeCustomFile(
        R"({"cn-north-1": {"name": "Beijing via proxy", "host": "proxy.example.com"}})");
    RegionPtr region = Regions::get("cn-north-1");
    ASSERT_NE(region, nullptr);
    EXPECT_EQ(region->name(), "Beijing via proxy");
    EXPECT_FALSE(region->isStandardRegion());
    EXPECT_EQ(region->endpoint(), "https://proxy.example.com/");
}

TEST_F(RegionsTest, TestRegionsComeBeforeTheTableAndTheCacheBeforeBoth) {
    auto local = std::make_shared<const Region>("us-east-1", "Local", "http://127.0.0.1:1/", false);
    Regions::testRegions()["us-east-1"] = local;
    EXPECT_EQ(Regions::get("us-east-1").get(), local.get());
    EXPECT_EQ(Regions::all().back().get(), local.get());

    // The cache keeps answering after the test region is gone.
    Regions::testRegions().clear();
    EXPECT_EQ(Regions::get("us-east-1").get(), local.get());
    Regions::clearLookupCache();
    EXPECT_EQ(Regions::get("us-east-1").get(), Regions::allBuiltin()[0].get());
}

TEST_F(RegionsTest, CustomFileIsReadOnEveryCall) {
    EXPECT_TRUE(Regions::allCustomFromFile().empty());
    EXPECT_EQ(Regions::get("local-1"), nullptr);  // a miss is not cached

    writeCustomFile(R"({"local-1": {"name": "Local", "host": "http://127.0.0.1:8080/"}})");
    ASSERT_EQ(Regions::allCustomFromFile().size(), 1u);
    RegionPtr local = Regions::get("local-1");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->endpoint(), "http://127.0.0.1:8080/");

    writeCustomFile(R"({"zz-2": {"name": "Z", "host": "z.example.com"},
                        "aa-1": {"name": "A", "host": "a.example.com"}})");
    EXPECT_EQ(idsOf(Regions::allCustomFromFile()), (std::vector<std::string>{"zz-2", "aa-1"}));
    EXPECT_EQ(Regions::getCustomFromFile("local-1"), nullptr);
    // Removed from the file, still resolvable through the cache.
    EXPECT_EQ(Regions::get("local-1").get(), local.get());

    std::filesystem::remove(home_.file("Regions.json"));
    EXPECT_TRUE(Regions::allCustomFromFile().empty());
}

TEST_F(RegionsTest, CustomRegionWithStandardIdIsShadowedButListedTwice) {
    writeCustomFile(R"({"us-east-1": {"name": "Mine", "host": "mine.example.com"}})");
    EXPECT_EQ(Regions::get("us-east-1").get(), Regions::allBuiltin()[0].get());
    auto all = Regions::all();
    ASSERT_EQ(all.size(), 27u);
    EXPECT_EQ(all[26]->name(), "Mine");
    EXPECT_EQ(*all[26], *all[0]);
}

TEST_F(RegionsTest, UnreadableOrMalformedFileGivesNoCustomRegions) {
    for (const char* text : {"", "{", "not json", R"(["local-1"])", "\"local-1\"", "42"}) {
        writeCustomFile(text);
        EXPECT_TRUE(Regions::allCustomFromFile().empty()) << text;
        EXPECT_EQ(Regions::get("local-1"), nullptr) << text;
    }
    // A directory where the file should be.
    std::filesystem::remove(home_.file("Regions.json"));
    std::filesystem::create_directory(home_.file("Regions.json"));
    EXPECT_TRUE(Regions::allCustomFromFile().empty());
}

TEST_F(RegionsTest, NonStringOrMissingMembersReadAsEmptyStrings) {
    writeCustomFile(R"({"num-1": {"name": 5, "host": ["h"]},
                        "miss-1": {},
                        "flat-1": "glacier.example.com",
                        "null-1": null,
                        "ok-1": {"name": "OK", "host": "ok.example.com", "extra": true}})");
    auto custom = Regions::allCustomFromFile();
    ASSERT_EQ(idsOf(custom),
              (std::vector<std::string>{"num-1", "miss-1", "flat-1", "null-1", "ok-1"}));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(custom[i]->name(), "") << custom[i]->id();
        EXPECT_EQ(custom[i]->host(), "") << custom[i]->id();
        EXPECT_EQ(custom[i]->endpoint(), "") << custom[i]->id();
        EXPECT_FALSE(custom[i]->isStandardRegion());
    }
    EXPECT_EQ(custom[4]->name(), "OK");
    EXPECT_EQ(custom[4]->endpoint(), "https://ok.example.com/");
}

}  // namespace
}  // namespace quillon
