// Tests of Regions: built-in, standard, test and custom regions and their lookups.
// Threads: run on the test's thread.
#include "accounts/Region.h"
#include "accounts/Regions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "foundation/FatalError.h"
#include "support/ScopedHome.h"
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
    RegionsTest() { clear(); }
    ~RegionsTest() override { clear(); }
    static void clear() {
        Regions::testRegions().clear();
        Regions::clearLookupCache();
    }

    void writeCustomFile(const std::string& text) {
        std::ofstream(home_.file("Regions.json"), std::ios::binary | std::ios::trunc) << text;
    }

    testing::TempDir home_;
    testing::ScopedHome scopedHome_{home_.path()};
};

TEST_F(RegionsTest, BuiltinAndStandardTablesInOrderWithProviderHostsAndCachedLookups) {
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

    expected = {"us-east-1",      "us-east-2",      "us-west-1",      "us-west-2",
                "ca-central-1",   "eu-north-1",     "eu-central-1",   "eu-west-1",
                "eu-west-2",      "eu-west-3",      "ap-southeast-1", "ap-southeast-2",
                "ap-northeast-1", "ap-northeast-2", "ap-south-1",     "sa-east-1"};
    EXPECT_EQ(idsOf(Regions::allStandard()), expected);
    EXPECT_EQ(Regions::allStandard()[0].get(), Regions::allBuiltin()[0].get());

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

// A damaged file is fatal: read as "no custom regions", its accounts would reach another
// endpoint. The handler turns the fatal error into an exception the test can see.
TEST_F(RegionsTest, ADamagedFileIsFatalAndAGoodOneKeepsItsOrder) {
    setFatalErrorHandler([](const std::string& message) { throw std::runtime_error(message); });
    for (const char* text : {"", "{", "not json", R"(["local-1"])", "\"local-1\"", "42",
                             R"({"num-1": {"name": 5, "host": "h"}})", R"({"miss-1": {}})",
                             R"({"flat-1": "glacier.example.com"})", R"({"null-1": null})"}) {
        writeCustomFile(text);
        EXPECT_THROW(Regions::allCustomFromFile(), std::runtime_error) << text;
    }
    std::filesystem::remove(home_.file("Regions.json"));
    std::filesystem::create_directory(home_.file("Regions.json"));
    EXPECT_THROW(Regions::allCustomFromFile(), std::runtime_error);
    setFatalErrorHandler(nullptr);
    std::filesystem::remove(home_.file("Regions.json"));

    writeCustomFile(R"({"ok-1": {"name": "OK", "host": "ok.example.com", "extra": true},
                        "bare-1": {"host": "bare.example.com"}})");
    auto custom = Regions::allCustomFromFile();
    ASSERT_EQ(idsOf(custom), (std::vector<std::string>{"ok-1", "bare-1"}));
    EXPECT_EQ(custom[0]->name(), "OK");
    EXPECT_EQ(custom[0]->endpoint(), "https://ok.example.com/");
    EXPECT_FALSE(custom[0]->isStandardRegion());
    EXPECT_EQ(custom[1]->name(), "");
}

TEST(RegionTest, DescriptionAndBaseURLFromTheHostEqualityAndHashFromTheId) {
    Region region("us-east-1", "US East (N. Virginia)", "glacier.us-east-1.amazonaws.com", true);
    EXPECT_EQ(region.description(), "us-east-1 (US East (N. Virginia))");
    // host -> base URL and endpoint; a plain host becomes an https URL with a trailing slash, a
    // full URL is taken unchanged (no slash is added), an unusable host has no base URL.
    const struct {
        std::string host;
        std::optional<std::string> baseURL;
        std::string endpoint;
    } cases[] = {
        {"glacier.eu-west-1.amazonaws.com", "https://glacier.eu-west-1.amazonaws.com/",
         "https://glacier.eu-west-1.amazonaws.com/"},
        {"http://127.0.0.1:48123/", "http://127.0.0.1:48123/", "http://127.0.0.1:48123/"},
        {"http://127.0.0.1:48123", "http://127.0.0.1:48123", "http://127.0.0.1:48123"},
        {"https://glacier.example.localhost/base/", "https://glacier.example.localhost/base/",
         "https://glacier.example.localhost/base/"},
        {"", std::nullopt, ""},
        {"bad host", std::nullopt, ""},
        {"glacier.example.com/a b", std::nullopt, ""},
        {"http://127.0.0.1:99999/", std::nullopt, ""},
        {"httpfoo", std::nullopt, ""},
        {"https://", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        Region custom("x", "X", c.host, false);
        EXPECT_EQ(custom.baseURL(), c.baseURL) << c.host;
        EXPECT_EQ(custom.endpoint(), c.endpoint) << c.host;
    }

    // Equality and hash use the id only.
    Region a("us-east-1", "One name", "a.example.com", true);
    Region b("us-east-1", "Another name", "b.example.com", false);
    Region c("us-east-2", "One name", "a.example.com", true);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Region>()(a), std::hash<Region>()(b));
    EXPECT_NE(a, c);

    RegionSet set;
    set.insert(std::make_shared<const Region>(a));
    set.insert(std::make_shared<const Region>(b));
    set.insert(std::make_shared<const Region>(c));
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(set.contains(std::make_shared<const Region>("us-east-2", "", "", false)));
    EXPECT_FALSE(set.contains(std::make_shared<const Region>("us-west-2", "", "", false)));
}

}  // namespace
}  // namespace quillon
