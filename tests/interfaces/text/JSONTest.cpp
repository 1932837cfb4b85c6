#include "interfaces/text/JSON.h"

#include <gtest/gtest.h>

using quillon::JSON;

TEST(JSON, ParsesFragmentsAndYieldsNullOnJunk) {
    EXPECT_EQ(JSON::parse("\"text\"").stringValue(), "text");
    EXPECT_EQ(JSON::parse("42").int64(), 42);
    EXPECT_TRUE(JSON::parse("{oops").isNull());
    EXPECT_FALSE(JSON::tryParse("{oops").has_value());
}

TEST(JSON, MissingKeysAndWrongKindsReadAsEmpty) {
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
}

TEST(JSON, KeepsMemberOrderWhenSerialised) {
    JSON doc = JSON::parse(R"({"Type":"x","Description":"y","ArchiveId":"z"})");
    EXPECT_EQ(doc.rawString(), R"({"Type":"x","Description":"y","ArchiveId":"z"})");
}
