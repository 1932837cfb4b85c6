#include "accounts/Region.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(RegionTest, DescriptionIsIdAndNameInParentheses) {
    Region region("us-east-1", "US East (N. Virginia)", "glacier.us-east-1.amazonaws.com", true);
    EXPECT_EQ(region.description(), "us-east-1 (US East (N. Virginia))");
}

TEST(RegionTest, PlainHostBecomesHttpsURLWithTrailingSlash) {
    Region region("eu-west-1", "Europe (Ireland)", "glacier.eu-west-1.amazonaws.com", true);
    EXPECT_EQ(region.baseURL(), "https://glacier.eu-west-1.amazonaws.com/");
    EXPECT_EQ(region.endpoint(), "https://glacier.eu-west-1.amazonaws.com/");
}

TEST(RegionTest, HostWithSchemeIsTakenUnchanged) {
    EXPECT_EQ(Region("l", "Local", "http://127.0.0.1:48123/", false).baseURL(),
              "http://127.0.0.1:48123/");
    // No slash is added to a full URL.
    EXPECT_EQ(Region("l", "Local", "http://127.0.0.1:48123", false).endpoint(),
              "http://127.0.0.1:48123");
    EXPECT_EQ(Region("l", "Local", "https://glacier.example.localhost/base/", false).baseURL(),
              "https://glacier.example.localhost/base/");
}

TEST(RegionTest, UnusableHostHasNoBaseURL) {
    for (const char* host : {"", "bad host", "glacier.example.com/a b", "http://127.0.0.1:99999/",
                             "httpfoo", "https://"}) {
        Region region("x", "X", host, false);
        EXPECT_EQ(region.baseURL(), std::nullopt) << host;
        EXPECT_EQ(region.endpoint(), "") << host;
    }
}

TEST(RegionTest, EqualityAndHashUseTheIdOnly) {
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
