// Tests of the text formats: Base64, string formatting and JSON. They run on one thread.
#include <gtest/gtest.h>

#include <numeric>

#include "foundation/JSON.h"
#include "interfaces/text/Base64.h"
#include "interfaces/text/Format.h"

using quillon::Base64;
using quillon::Bytes;
using quillon::formatString;
using quillon::JSON;

TEST(TextFormats, Base64FormatAndJSON) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : cases) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(Base64::encode(std::string_view(plain)), encoded);
        const std::string text(plain);
        EXPECT_EQ(Base64::decode(encoded), Bytes(text.begin(), text.end()));
    }
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(Base64::decode(Base64::encode(all)), all);
    for (const char* bad : {"Zg=", "Zg", "Z===", "====", "Zm9v!A==", "Zg==Zg==", "Zm 9v", "Zm=v"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Base64::decode(bad), std::nullopt);
    }
    EXPECT_EQ(formatString("Run DB migration 2.0 (a) %@", {std::string("/x/Store.db")}),
              "Run DB migration 2.0 (a) /x/Store.db");
    EXPECT_EQ(formatString("%d vaults, %ld%%", {std::int64_t{3}, std::int64_t{50}}),
              "3 vaults, 50%");
    EXPECT_EQ(formatString("%2$@ before %1$@", {std::string("a"), std::string("b")}), "b before a");
    EXPECT_EQ(formatString("%@ and %@", {std::string("only")}), "only and ");
    EXPECT_EQ(formatString("100%", {}), "100%");
    EXPECT_EQ(JSON::parse("\"text\"").stringValue(), "text");
    EXPECT_EQ(JSON::parse("42").int64(), 42);
    EXPECT_TRUE(JSON::parse("{oops").isNull());
    EXPECT_FALSE(JSON::tryParse("{oops").has_value());
    JSON doc = JSON::parse(R"({"a": {"b": [1, "two", 3.5]}, "n": 9223372036854775807})");
    EXPECT_EQ(doc["a"]["b"][0].int_(), 1);
    EXPECT_EQ(doc["a"]["b"][1].string(), "two");
    EXPECT_FALSE(doc["a"]["b"][2].int64().has_value());
    EXPECT_TRUE(doc["a"]["b"][7].isNull());
    EXPECT_TRUE(doc["missing"]["deeper"].isNull());
    EXPECT_TRUE(doc[0].isNull());
    EXPECT_EQ(doc["n"].int64(), INT64_MAX);
    EXPECT_FALSE(doc["n"].int_().has_value());
    EXPECT_EQ(doc["a"].stringValue(), "");
    // A whole number written with a fraction reads as that integer (a vault's "SizeInBytes").
    JSON floats = JSON::parse(R"({"SizeInBytes": 2048.0, "huge": 1e300, "negative": -3.0})");
    EXPECT_EQ(floats["SizeInBytes"].int64(), 2048);
    EXPECT_EQ(floats["SizeInBytes"].int_(), 2048);
    EXPECT_EQ(floats["negative"].int64(), -3);
    EXPECT_FALSE(floats["huge"].int64().has_value());
    JSON ordered = JSON::parse(R"({"Type":"x","Description":"y","ArchiveId":"z"})");
    EXPECT_EQ(ordered.rawString(), R"({"Type":"x","Description":"y","ArchiveId":"z"})");
}
