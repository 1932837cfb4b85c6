// Tests of AccountRegion: signed requests, answers and credential checks against the simulator.
// Threads: the test's thread awaits each completion; the simulator is a separate process.
#include <gtest/gtest.h>

#include <atomic>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/AccountRegion.h"
#include "interfaces/base/Localization.h"
#include "interfaces/http/RequestOperation.h"
#include "support/LogCapture.h"
#include "support/ModelFixture.h"

using namespace quillon;
using namespace quillon::testing;

namespace {

// The fixture's account works in "local-1", a region of the simulator.
class AccountRegionTest : public ModelFixture {
  protected:
    // The fixture's account in a test region `id` served at `url`.
    AccountRegionPtr accountRegionAt(const std::string& id, const std::string& url) {
        return AccountRegion::create(account, addTestRegion(id, id, url));
    }

    // A request of `path`; the error it completed with.
    ErrorPtr perform(const AccountRegionPtr& target, const ApiPath& path) {
        return await([&](auto done) {
            target->apiPerformRequest(
                {.path = path}, [done](ErrorPtr error, RequestOperation::Ptr) { done(error); });
        });
    }

    // The vault list as a JSON request: the answer and the error.
    std::pair<JSON, ErrorPtr> listVaults() {
        auto json = std::make_shared<JSON>();
        ErrorPtr error = await([&](auto done) {
            accountRegion->apiPerformJSONRequest(
                {.path = ApiPath::account().word("vaults")}, AnswerShape::page("VaultList"),
                [json, done](const JSON& answer, ErrorPtr error, RequestOperation::Ptr) {
                    *json = answer;
                    done(error);
                });
        });
        return {*json, error};
    }
};

TEST_F(AccountRegionTest, SignedRequestReachesThePathWithTheQueryUnchanged) {
    RequestOperation::Ptr operation;
    auto answered = std::make_shared<RequestOperation::Ptr>();
    EXPECT_EQ(await([&](auto done) {
                  operation = accountRegion->apiPerformRequest(
                      {.path = ApiPath::account().word("vaults"), .query = "limit=1"},
                      [answered, done](ErrorPtr error, RequestOperation::Ptr op) {
                          *answered = op;
                          done(error);
                      });
              }),
              nullptr);
    ASSERT_NE(operation, nullptr);
    EXPECT_EQ(*answered, operation);
    EXPECT_EQ(operation->request().url(), sim.regionURL("local-1") + "-/vaults?limit=1");
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["target"], "/-/vaults?limit=1");
    EXPECT_EQ(log[0]["signature"], "valid");
}

TEST_F(AccountRegionTest, JSONRequestsDeliverTheAnswerOrAnAuthenticationFailureOfTheRegion) {
    auto [json, error] = listVaults();
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(json["VaultList"].isArray());

    account->setSecret("not-the-secret");
    auto [refusedJSON, refused] = listVaults();
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(refusedJSON.isNull());
    EXPECT_EQ(refused->localizedDescription(),
              Localization::string("error.auth_failed") + " (local-1)");
    EXPECT_EQ(refused->stringForKey("awsExceptionCode"), "InvalidSignatureException");
    EXPECT_EQ(refused->domain(), "HTTP");
    EXPECT_EQ(refused->code(), 403);
}

TEST_F(AccountRegionTest, EmptySecretFailsOnTheCallersThreadWithoutARequest) {
    account->setSecret("");
    bool called = false;
    auto operation = accountRegion->apiPerformRequest(
        {.path = ApiPath::account().word("vaults")}, [&](ErrorPtr error, RequestOperation::Ptr op) {
            called = true;
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->localizedDescription(),
                      Localization::string("modelerror.secret_key_not_set"));
            EXPECT_EQ(error->canAutoRetry(), false);
            EXPECT_EQ(op, nullptr);
        });
    EXPECT_TRUE(called);
    EXPECT_EQ(operation, nullptr);
    EXPECT_TRUE(sim.requestLog().empty());
}

TEST_F(AccountRegionTest, ServiceErrorsKeepTheirMessageAndBare403sReadAsAuthFailures) {
    ErrorPtr missing = perform(accountRegion, ApiPath::account().vault("no-such-vault"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->code(), 404);
    EXPECT_EQ(missing->stringForKey("awsExceptionCode"), "ResourceNotFoundException");
    EXPECT_EQ(missing->localizedDescription(),
              *missing->stringForKey("awsExceptionMessage") + " (local-1)");

    sim.injectFault({{"status", 403}, {"body", ""}});
    ErrorPtr bare = perform(accountRegion, ApiPath::account().word("vaults"));
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->localizedDescription(),
              Localization::string("error.auth_failed") + " (local-1)");
    EXPECT_FALSE(bare->stringForKey("awsExceptionCode").has_value());

    sim.injectFault({{"status", 400}, {"body", R"({"code": 17, "message": "numeric"})"}});
    ErrorPtr numeric = perform(accountRegion, ApiPath::account().word("vaults"));
    ASSERT_NE(numeric, nullptr);
    EXPECT_FALSE(numeric->stringForKey("awsExceptionCode").has_value());
    EXPECT_EQ(numeric->code(), 400);

    ErrorPtr transport = perform(accountRegionAt("down-1", "http://127.0.0.1:1/"),
                                 ApiPath::account().word("vaults"));
    ASSERT_NE(transport, nullptr);  // passed unchanged
    EXPECT_EQ(transport->domain(), "curl");
    EXPECT_FALSE(transport->stringForKey("awsExceptionCode").has_value());
}

TEST_F(AccountRegionTest, ARegionWithoutABaseURLNeverCallsBack) {
    auto broken = accountRegionAt("broken-1", "");
    auto called = std::make_shared<std::atomic<bool>>(false);
    auto operation =
        broken->apiPerformRequest({.path = ApiPath::account().word("vaults")},
                                  [called](ErrorPtr, RequestOperation::Ptr) { *called = true; });
    EXPECT_EQ(operation, nullptr);
    EXPECT_FALSE(*called);
    URLRequest request("GET", "https://example.invalid/");
    EXPECT_FALSE(broken->apiSignRequest(request).value("Authorization").has_value());
}

TEST_F(AccountRegionTest, CheckCredentialsReportsAndLogsFailures) {
    LogCapture log;
    EXPECT_EQ(await([&](auto done) { accountRegion->checkCredentials(done); }), nullptr);
    EXPECT_EQ(sim.requestLog()[0]["target"], "/-/vaults?limit=1");

    account->setSecret("wrong");
    ErrorPtr bad = await([&](auto done) { accountRegion->checkCredentials(done); });
    ASSERT_NE(bad, nullptr);
    auto lines = log.lines();
    std::erase_if(lines,
                  [](const std::string& line) { return !line.starts_with("checkCredentials"); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "checkCredentials account=" + std::to_string(account->id) +
                            " region=local-1 error=" + bad->localizedDescription());
}

TEST(AWSErrorTranslation, DecodesOnlyStringCodes) {
    auto bytes = [](const std::string& text) { return Bytes(text.begin(), text.end()); };
    auto decoded = decodeAWSExceptionJSON(bytes(R"({"code":"X","message":7})"));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, (AWSException{"X", "", ""}));
    EXPECT_FALSE(decodeAWSExceptionJSON(bytes(R"({"code":17})")).has_value());
    EXPECT_FALSE(decodeAWSExceptionJSON(bytes("<html>")).has_value());

    Error plain("curl", 7, {{kLocalizedDescriptionKey, std::string("refused")}});
    Error translated = translateError(plain, nullptr);
    EXPECT_EQ(translated.localizedDescription(), "refused");
    Error withBody(
        "HTTP", 400,
        {{kFailingURLResponseDataErrorKey,
          bytes(R"({"code":"InvalidSignatureException","message":"m","type":"Client"})")}});
    Error auth = translateError(withBody, nullptr);
    EXPECT_EQ(auth.localizedDescription(), Localization::string("error.auth_failed"));
    EXPECT_EQ(auth.stringForKey("awsExceptionType"), "Client");
    EXPECT_EQ(auth.code(), 400);
}

}  // namespace
