// Tests of GlacierRequestSerializer: query, JSON body and header placement.
// Threads: run on the test's thread.
#include "interfaces/http/GlacierRequestSerializer.h"

#include <gtest/gtest.h>

using quillon::GlacierRequestSerializer;
using quillon::JSON;

TEST(GlacierRequestSerializer, QueryMethodsPutParametersInTheURL) {
    GlacierRequestSerializer serializer;
    JSON parameters =
        JSON::Value{{"marker", "arn:aws:glacier:us-east-1:1:vaults/a b"}, {"limit", 10}};
    for (const char* method : {"GET", "HEAD", "DELETE"}) {
        auto request =
            serializer.requestWithMethod(method, "http://127.0.0.1:8765/-/vaults", parameters);
        EXPECT_EQ(request.url(),
                  "http://127.0.0.1:8765/-/vaults?limit=10&marker=arn%3Aaws%3Aglacier%3Aus-east-1"
                  "%3A1%3Avaults%2Fa%20b")
            << method;
        EXPECT_TRUE(request.body().empty());
        EXPECT_FALSE(request.value("content-type"));
        EXPECT_EQ(request.value("X-Amz-Glacier-Version"), "2012-06-01");
    }
    // An existing query is extended.
    auto extended = serializer.requestWithMethod("GET", "http://h/-/vaults/v/jobs?completed=true",
                                                 JSON::Value{{"limit", "5"}});
    EXPECT_EQ(extended.url(), "http://h/-/vaults/v/jobs?completed=true&limit=5");
    EXPECT_EQ(extended.query(), "completed=true&limit=5");
}

TEST(GlacierRequestSerializer, OtherMethodsSendAJSONBodyAndQueriesNestValues) {
    GlacierRequestSerializer serializer;
    JSON parameters = JSON::Value{{"Type", "inventory-retrieval"}, {"Format", "JSON"}};
    auto request =
        serializer.requestWithMethod("POST", "http://127.0.0.1:8765/-/vaults/v/jobs", parameters);
    EXPECT_EQ(request.url(), "http://127.0.0.1:8765/-/vaults/v/jobs");
    EXPECT_EQ(request.value("Content-Type"), "application/json");
    EXPECT_EQ(JSON::parse(std::string(request.body().begin(), request.body().end())), parameters);

    auto noParameters = serializer.requestWithMethod("POST", "http://h/-/vaults/v/archives");
    EXPECT_TRUE(noParameters.body().empty());
    EXPECT_FALSE(noParameters.value("Content-Type"));
    JSON nested = JSON::Value{
        {"b", true}, {"a", JSON::Value::array({1, "x/y"})}, {"c", JSON::Value{{"k", nullptr}}}};
    EXPECT_EQ(GlacierRequestSerializer::queryString(nested),
              "a%5B%5D=1&a%5B%5D=x%2Fy&b=true&c%5Bk%5D=");
    EXPECT_EQ(GlacierRequestSerializer::queryString(JSON()), "");
    EXPECT_EQ(GlacierRequestSerializer::queryString(JSON::Value::array({1})), "");
}

TEST(URLRequest, HeadersIgnoreCaseAndHostKeepsThePort) {
    quillon::URLRequest request("GET", "http://127.0.0.1:8765/-/vaults?limit=1#frag");
    EXPECT_EQ(request.host(), "127.0.0.1:8765");
    EXPECT_EQ(request.path(), "/-/vaults");
    EXPECT_EQ(request.query(), "limit=1");
    EXPECT_EQ(quillon::URLRequest("GET", "https://glacier.us-east-1.amazonaws.com").host(),
              "glacier.us-east-1.amazonaws.com");
    EXPECT_EQ(quillon::URLRequest("GET", "https://glacier.x.amazonaws.com").path(), "/");
    EXPECT_EQ(quillon::URLRequest("GET", "http://[::1]:80/a").host(), "[::1]:80");
    EXPECT_EQ(quillon::URLRequest("GET", "not a url").host(), "");

    request.addValue("a", "X-Thing");
    request.addValue("b", "x-thing");
    EXPECT_EQ(request.value("X-THING"), "a, b");
    request.setValue("c", "x-Thing");
    EXPECT_EQ(request.value("x-thing"), "c");
    EXPECT_EQ(request.headers().size(), 1u);
}
