#include <gtest/gtest.h>

#include <atomic>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/AccountRegion.h"
#include "accounts/Regions.h"
#include "interfaces/base/Localization.h"
#include "interfaces/http/RequestOperation.h"
#include "support/LogCapture.h"
#include "support/ModelState.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

using namespace quillon;
using namespace quillon::testing;

namespace {

// Regions "local-1" (the simulator), "down-1" (nothing listens) and "broken-1" (no base URL).
class AccountRegionTest : public ::testing::Test {
  protected:
    AccountRegionTest() {
        addTestRegion("local-1", "Local", sim.baseURL());
        addTestRegion("down-1", "Down", "http://127.0.0.1:1/");
        addTestRegion("broken-1", "Broken", "");
    }

    // An account with the simulator's access key and `secret`, in region `id`.
    AccountRegionPtr accountRegion(const std::string& secret, const std::string& id = "local-1") {
        return saveTestAccount(id, sim.accessKey(), secret, {Regions::get(id)})->accountRegion(id);
    }

    // A request of `path`; the error it completed with.
    static ErrorPtr perform(const AccountRegionPtr& region, const ApiPath& path) {
        return awaitCompletion([&](auto done) {
            region->apiPerformRequest(
                {.path = path}, [done](ErrorPtr error, RequestOperation::Ptr) { done(error); });
        });
    }

    // The vault list as a JSON request: the answer and the error.
    static std::pair<JSON, ErrorPtr> listVaults(const AccountRegionPtr& region) {
        auto json = std::make_shared<JSON>();
        ErrorPtr error = awaitCompletion([&](auto done) {
            region->apiPerformJSONRequest(
                {.path = ApiPath::account().word("vaults")},
                AnswerShape::page("VaultList", "VaultName"),
                [json, done](const JSON& answer, ErrorPtr error, RequestOperation::Ptr) {
                    *json = answer;
                    done(error);
                });
        });
        return {*json, error};
    }

    TempDir home;
    FreshModelState state{home.path()};
    Simulator sim;
};

TEST_F(AccountRegionTest, SignedRequestReachesThePathWithTheQueryUnchanged) {
    auto region = accountRegion(sim.secretKey());
    RequestOperation::Ptr operation;
    auto answered = std::make_shared<RequestOperation::Ptr>();
    EXPECT_EQ(awaitCompletion([&](auto done) {
                  operation = region->apiPerformRequest(
                      {.path = ApiPath::account().word("vaults"), .query = "limit=1"},
                      [answered, done](ErrorPtr error, RequestOperation::Ptr op) {
                          *answered = op;
                          done(error);
                      });
              }),
              nullptr);
    ASSERT_NE(operation, nullptr);
    EXPECT_EQ(*answered, operation);
    EXPECT_EQ(operation->request().url(), sim.baseURL() + "-/vaults?limit=1");
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["target"], "/-/vaults?limit=1");
    EXPECT_EQ(log[0]["signature"], "valid");
}

TEST_F(AccountRegionTest, JSONRequestsDeliverTheAnswerOrAnAuthenticationFailureOfTheRegion) {
    auto region = accountRegion(sim.secretKey());
    auto [json, error] = listVaults(region);
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(json["VaultList"].isArray());

    region->account()->setSecret("not-the-secret");
    auto [refusedJSON, refused] = listVaults(region);
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(refusedJSON.isNull());
    EXPECT_EQ(refused->localizedDescription(),
              Localization::string("error.auth_failed") + " (local-1)");
    EXPECT_EQ(refused->stringForKey("awsExceptionCode"), "InvalidSignatureException");
    EXPECT_EQ(refused->domain(), "HTTP");
    EXPECT_EQ(refused->code(), 403);
}

TEST_F(AccountRegionTest, EmptySecretFailsOnTheCallersThreadWithoutARequest) {
    auto region = accountRegion("");
    bool called = false;
    auto operation = region->apiPerformRequest(
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
    auto region = accountRegion(sim.secretKey());
    ErrorPtr missing = perform(region, ApiPath::account().vault("no-such-vault"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->code(), 404);
    EXPECT_EQ(missing->stringForKey("awsExceptionCode"), "ResourceNotFoundException");
    EXPECT_EQ(missing->localizedDescription(),
              *missing->stringForKey("awsExceptionMessage") + " (local-1)");

    sim.injectFault({{"status", 403}, {"body", ""}});
    ErrorPtr bare = perform(region, ApiPath::account().word("vaults"));
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->localizedDescription(),
              Localization::string("error.auth_failed") + " (local-1)");
    EXPECT_FALSE(bare->stringForKey("awsExceptionCode").has_value());

    sim.injectFault({{"status", 400}, {"body", R"({"code": 17, "message": "numeric"})"}});
    ErrorPtr numeric = perform(region, ApiPath::account().word("vaults"));
    ASSERT_NE(numeric, nullptr);
    EXPECT_FALSE(numeric->stringForKey("awsExceptionCode").has_value());
    EXPECT_EQ(numeric->code(), 400);

    ErrorPtr transport = perform(accountRegion("x", "down-1"), ApiPath::account().word("vaults"));
    ASSERT_NE(transport, nullptr);  // passed unchanged
    EXPECT_EQ(transport->domain(), "curl");
    EXPECT_FALSE(transport->stringForKey("awsExceptionCode").has_value());
}

TEST_F(AccountRegionTest, ARegionWithoutABaseURLNeverCallsBack) {
    auto region = accountRegion("x", "broken-1");
    auto called = std::make_shared<std::atomic<bool>>(false);
    auto operation =
        region->apiPerformRequest({.path = ApiPath::account().word("vaults")},
                                  [called](ErrorPtr, RequestOperation::Ptr) { *called = true; });
    EXPECT_EQ(operation, nullptr);
    EXPECT_FALSE(*called);
    URLRequest request("GET", "https://example.invalid/");
    EXPECT_FALSE(region->apiSignRequest(request).value("Authorization").has_value());
}

TEST_F(AccountRegionTest, CheckCredentialsReportsAndLogsFailures) {
    LogCapture log;
    auto region = accountRegion(sim.secretKey());
    EXPECT_EQ(awaitCompletion([&](auto done) { region->checkCredentials(done); }), nullptr);
    EXPECT_EQ(sim.requestLog()[0]["target"], "/-/vaults?limit=1");

    region->account()->setSecret("wrong");
    ErrorPtr bad = awaitCompletion([&](auto done) { region->checkCredentials(done); });
    ASSERT_NE(bad, nullptr);
    auto lines = log.lines();
    std::erase_if(lines,
                  [](const std::string& line) { return !line.starts_with("checkCredentials"); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "checkCredentials account=" + std::to_string(region->account()->id) +
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
