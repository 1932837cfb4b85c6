// Tests of vault tags: fetching, adding, removing, the quota and the tags vaults share.
// Threads: the test's thread awaits each completion; the simulator is a separate process.
#include "VaultFixture.h"
#include "vaults/Tags.h"

namespace quillon::testing {
namespace {

class TagsTest : public VaultFixture {
  protected:
    void SetUp() override {
        VaultFixture::SetUp();
        seedVaults({"tagged", "other"});
        ASSERT_EQ(sync(accountRegion), nullptr);
        vault = accountRegion->vaults().get("tagged");
        ASSERT_TRUE(vault);
    }

    ErrorPtr fetch(const VaultPtr& target, std::vector<Tag>& tags) {
        return await([&](auto done) { target->tags().apiGet(into(tags, done)); });
    }

    ErrorPtr add(const VaultPtr& target, const std::vector<Tag>& tags) {
        return await([&](auto done) { target->tags().apiAdd(tags, done); });
    }

    VaultPtr vault;
};

TEST_F(TagsTest, FetchReplacesTheCacheAndStampsAndOddValuesReadEmpty) {
    Tags& tags = vault->tags();
    EXPECT_TRUE(tags.needSync());
    execute(
        "INSERT INTO tags (key, value, vault, region) VALUES ('stale', 'x', 'tagged', "
        "'local-1')");
    std::vector<Tag> got;
    ASSERT_EQ(fetch(vault, got), nullptr);
    EXPECT_TRUE(tags.all().empty());
    EXPECT_TRUE(tags.didSync());
    EXPECT_FALSE(tags.needSync());
    execute("UPDATE tags_fetch SET last_fetch = strftime('%s', 'now') - 86399");
    EXPECT_FALSE(tags.needSync());
    execute("UPDATE tags_fetch SET last_fetch = strftime('%s', 'now') - 86401");
    EXPECT_TRUE(tags.needSync());

    ASSERT_EQ(add(vault, {{"owner", "ann"}, {"b", "1"}}), nullptr);
    ASSERT_EQ(fetch(vault, got), nullptr);
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(tags.all(), (std::vector<Tag>{{"b", "1"}, {"owner", "ann"}}));
    EXPECT_EQ(tags.get("owner"), (Tag{"owner", "ann"}));
    EXPECT_FALSE(tags.get("nobody"));
    EXPECT_EQ(Tag::multiple(JSON::parse(R"({"Tags": {"n": 5, "s": "t"}})")),
              (std::vector<Tag>{{"n", ""}, {"s", "t"}}));
    EXPECT_TRUE(Tag::multiple(JSON::parse(R"({"Tags": [1]})")).empty());
    EXPECT_TRUE(Tag::multiple(JSON()).empty());
}

TEST_F(TagsTest, AddSendsOneMemberPerKeyAndAFetchedNumberIsStoredEmpty) {
    CaptureServer server([](const std::string& request) {
        return CaptureServer::response(request.starts_with("GET") ? 200 : 204,
                                       "Content-Type: application/json\r\n",
                                       request.starts_with("GET") ? R"({"Tags": {"n": 5}})" : "");
    });
    VaultPtr captured = vaultAt(server, "tagged");
    ASSERT_EQ(add(captured, {{"k", "first"}, {"k", "second"}, {"x", "y"}}), nullptr);
    ASSERT_EQ(server.bodies().size(), 1u);
    const std::string body = server.bodies()[0];
    EXPECT_EQ(body.find("\"k\""), body.rfind("\"k\"")) << body;
    EXPECT_EQ(nlohmann::json::parse(body),
              nlohmann::json::parse(R"({"Tags": {"k": "second", "x": "y"}})"));
    std::vector<Tag> got;
    ASSERT_EQ(fetch(captured, got), nullptr);
    EXPECT_EQ(captured->tags().all(), (std::vector<Tag>{{"n", ""}}));
}

TEST_F(TagsTest, AddAndRemoveMirrorLocallyWithoutTouchingTheStamp) {
    Tags& tags = vault->tags();
    ASSERT_EQ(add(vault, {{"k", "first"}, {"k", "second"}, {"x", "y"}}), nullptr);
    auto log = sim.requestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back()["target"], "/-/vaults/tagged/tags?operation=add");
    EXPECT_EQ(tags.get("k"), (Tag{"k", "second"}));
    EXPECT_FALSE(tags.didSync());

    ASSERT_EQ(await([&](auto done) { tags.apiRemove({"x", "missing"}, done); }), nullptr);
    EXPECT_EQ(tags.all(), (std::vector<Tag>{{"k", "second"}}));

    // A refused change leaves the cache alone.
    VaultPtr ghost = vaultNamed("ghost");
    ErrorPtr error = add(ghost, {{"a", "b"}});
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->stringForKey("awsExceptionCode"), "ResourceNotFoundException");
    EXPECT_EQ(ghost->tags().count(), 0);
}

TEST_F(TagsTest, QuotaIsReachedAtTenTags) {
    std::vector<Tag> nine;
    for (int i = 0; i < 9; ++i) {
        nine.push_back({"key" + std::to_string(i), "v"});
    }
    ASSERT_EQ(add(vault, nine), nullptr);
    EXPECT_FALSE(vault->tags().quotaReached());
    ASSERT_EQ(add(vault, {{"tenth", "v"}}), nullptr);
    EXPECT_EQ(vault->tags().count(), 10);
    EXPECT_TRUE(vault->tags().quotaReached());
}

TEST_F(TagsTest, CommonTagsArePairsSharedByAtLeastTwoVaults) {
    VaultPtr other = accountRegion->vaults().get("other");
    ASSERT_EQ(add(vault, {{"team", "ops"}, {"env", "prod"}}), nullptr);
    ASSERT_EQ(add(other, {{"team", "ops"}, {"env", "test"}}), nullptr);
    EXPECT_EQ(accountRegion->findCommonTags({vault, other}), (std::vector<Tag>{{"team", "ops"}}));
    EXPECT_TRUE(accountRegion->findCommonTags({vault}).empty());
    EXPECT_TRUE(accountRegion->findCommonTags({}).empty());
    EXPECT_EQ(accountRegion->autocompleteTagKey("te"), std::vector<std::string>{"team"});
}

}  // namespace
}  // namespace quillon::testing
