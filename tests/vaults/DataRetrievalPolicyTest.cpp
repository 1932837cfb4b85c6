// Tests of DataRetrievalPolicy: reading the rules, setting and caching the policy.
// Threads: the test's thread awaits each completion; the simulator is a separate process.
#include "VaultFixture.h"
#include "interfaces/base/Localization.h"
#include "vaults/DataRetrievalPolicy.h"

namespace quillon::testing {
namespace {

using Strategy = DataRetrievalPolicy::Strategy;

class DataRetrievalPolicyTest : public VaultFixture {
  protected:
    ErrorPtr put(DataRetrievalPolicy& policy, Strategy strategy, std::int64_t bytes) {
        return await([&](auto done) { policy.apiPut(strategy, bytes, done); });
    }
    ErrorPtr get(DataRetrievalPolicy& policy) {
        return await([&](auto done) { policy.apiGet(done); });
    }
};

TEST_F(DataRetrievalPolicyTest, ResponsesAreReadFromTheFirstRule) {
    DataRetrievalPolicy& policy = accountRegion->dataRetrievalPolicy();
    EXPECT_EQ(&policy, &accountRegion->dataRetrievalPolicy());
    EXPECT_TRUE(policy.needSync());
    EXPECT_EQ(policy.strategy, Strategy::Unknown);

    policy.read(JSON::parse(R"({"Policy": {"Rules": [{"Strategy": "FreeTier"}, )"
                            R"({"Strategy": "None"}]}})"));
    EXPECT_EQ(policy.strategy, Strategy::FreeTier);
    EXPECT_EQ(policy.bytesPerHour, 0);
    policy.read(JSON::parse(R"({"Policy": {"Rules": [{"Strategy": "BytesPerHour", )"
                            R"("BytesPerHour": 1048576}]}})"));
    EXPECT_EQ(policy.description(),
              Localization::format("drp.max_retrieval_rate_x", {std::string("1 MB")}));
    policy.read(JSON::parse(R"({"Policy": {"Rules": []}})"));
    EXPECT_EQ(policy.strategy, Strategy::Unknown);
    EXPECT_EQ(policy.bytesPerHour, 0);
    policy.save();
    EXPECT_EQ(dump("data_retrieval_policies").substr(0, 11), "|0|local-1|");
    EXPECT_FALSE(policy.needSync());

    // Texts that are not raw values, in any letter case, read as Unknown.
    execute("UPDATE data_retrieval_policies SET strategy = 'freetier', bytes_per_hour = 9");
    DataRetrievalPolicy reread(*accountRegion);
    EXPECT_EQ(reread.strategy, Strategy::Unknown);
    EXPECT_EQ(reread.bytesPerHour, 9);
    EXPECT_EQ(reread.description(), Localization::string("drp.unknown"));
}

TEST_F(DataRetrievalPolicyTest, PutChangesTheObjectAndGetTheCache) {
    DataRetrievalPolicy& policy = accountRegion->dataRetrievalPolicy();
    ASSERT_EQ(get(policy), nullptr);
    Strategy initial = policy.strategy;
    EXPECT_TRUE(policy.didSync());

    ASSERT_EQ(put(policy, Strategy::BytesPerHour, 4096), nullptr);
    EXPECT_EQ(policy.strategy, Strategy::BytesPerHour);
    EXPECT_EQ(policy.bytesPerHour, 4096);
    // The cache still holds what the last read found.
    EXPECT_EQ(DataRetrievalPolicy(*accountRegion).strategy, initial);
    DataRetrievalPolicy fresh(*accountRegion);
    ASSERT_EQ(get(fresh), nullptr);
    EXPECT_EQ(fresh.strategy, Strategy::BytesPerHour);
    EXPECT_EQ(fresh.bytesPerHour, 4096);
    EXPECT_EQ(DataRetrievalPolicy(*accountRegion).bytesPerHour, 4096);

    // The service refuses a BytesPerHour member with None: none is sent.
    ASSERT_EQ(put(policy, Strategy::None, 777), nullptr);
    EXPECT_EQ(policy.strategy, Strategy::None);
    ASSERT_EQ(get(fresh), nullptr);
    EXPECT_EQ(fresh.strategy, Strategy::None);
    EXPECT_EQ(fresh.bytesPerHour, 0);

    // Unknown sends the empty strategy, which the service refuses: nothing changes.
    ErrorPtr error = put(policy, Strategy::Unknown, 0);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->stringForKey("awsExceptionCode"), "InvalidParameterValueException");
    EXPECT_EQ(policy.strategy, Strategy::None);
    EXPECT_EQ(policy.bytesPerHour, 777);
}

}  // namespace
}  // namespace quillon::testing
