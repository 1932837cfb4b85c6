#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "accounts/Regions.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/base/Localization.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/platform/UserDefaults.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

using namespace quillon;
using quillon::testing::Simulator;
using quillon::testing::TempDir;

namespace {

// Collects one completion and lets the test wait for it with a bound.
template <typename... Values>
class Completion {
  public:
    void set(Values... values) {
        std::lock_guard lock(mutex_);
        result_ = std::make_tuple(std::move(values)...);
        ++calls_;
        condition_.notify_all();
    }
    bool wait(double seconds = 10) {
        std::unique_lock lock(mutex_);
        return condition_.wait_for(lock, std::chrono::duration<double>(seconds),
                                   [&] { return calls_ > 0; });
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    template <std::size_t I>
    auto get() {
        std::lock_guard lock(mutex_);
        return std::get<I>(result_);
    }

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    std::tuple<Values...> result_;
    int calls_ = 0;
};

class AccountRegionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("QUILLON_HOME", (home.path() + "/app").c_str(), 1);
        setenv("HOME", home.path().c_str(), 1);
        setenv("UNITTEST", "1", 1);
        UserDefaults::resetStandard();
        AccountsDB::setSharedInstance(nullptr);
        Accounts::cache().clear();
        Regions::clearLookupCache();
        Regions::testRegions()["local-1"] =
            std::make_shared<Region>("local-1", "Local", sim.baseURL(), false);
    }

    AccountRegionPtr accountRegion(const std::string& secret) {
        auto account = Account::create();
        account->name = "Sim";
        account->accessKey = sim.accessKey();
        account->activeRegions = {Regions::get("local-1")};
        account->setSecret(secret);
        EXPECT_TRUE(account->save());
        return account->accountRegion("local-1");
    }

    TempDir home;
    Simulator sim;
};

TEST_F(AccountRegionTest, SignedRequestReachesThePathWithTheQueryUnchanged) {
    auto region = accountRegion(sim.secretKey());
    Completion<ErrorPtr, RequestOperation::Ptr> done;
    auto operation = region->apiPerformRequest(
        {.path = ApiPath::account().word("vaults"), .query = "limit=1"},
        [&](ErrorPtr error, RequestOperation::Ptr op) { done.set(error, op); });
    ASSERT_NE(operation, nullptr);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<0>(), nullptr);
    EXPECT_EQ(done.get<1>(), operation);
    EXPECT_EQ(operation->request().url(), sim.baseURL() + "-/vaults?limit=1");
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["target"], "/-/vaults?limit=1");
    EXPECT_EQ(log[0]["signature"], "valid");
}

TEST_F(AccountRegionTest, JSONRequestDeliversTheParsedAnswer) {
    auto region = accountRegion(sim.secretKey());
    Completion<JSON, ErrorPtr> done;
    region->apiPerformJSONRequest(
        {.path = ApiPath::account().word("vaults")}, AnswerShape::page("VaultList", "VaultName"),
        [&](const JSON& json, ErrorPtr error, RequestOperation::Ptr) { done.set(json, error); });
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<1>(), nullptr);
    EXPECT_TRUE(done.get<0>()["VaultList"].isArray());
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

TEST_F(AccountRegionTest, WrongSecretReadsAsAnAuthenticationFailureOfTheRegion) {
    auto region = accountRegion("not-the-secret");
    Completion<JSON, ErrorPtr> done;
    region->apiPerformJSONRequest(
        {.path = ApiPath::account().word("vaults")}, AnswerShape::page("VaultList", "VaultName"),
        [&](const JSON& json, ErrorPtr error, RequestOperation::Ptr) { done.set(json, error); });
    ASSERT_TRUE(done.wait());
    ErrorPtr error = done.get<1>();
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(done.get<0>().isNull());
    EXPECT_EQ(error->localizedDescription(),
              Localization::string("error.auth_failed") + " (local-1)");
    EXPECT_EQ(error->stringForKey("awsExceptionCode"), "InvalidSignatureException");
    EXPECT_EQ(error->domain(), "HTTP");
    EXPECT_EQ(error->code(), 403);
}

TEST_F(AccountRegionTest, ServiceErrorsKeepTheirMessageAndBare403sReadAsAuthFailures) {
    auto region = accountRegion(sim.secretKey());
    auto perform = [&](const ApiPath& path) {
        auto done = std::make_shared<Completion<ErrorPtr>>();
        region->apiPerformRequest(
            {.path = path}, [done](ErrorPtr error, RequestOperation::Ptr) { done->set(error); });
        EXPECT_TRUE(done->wait());
        return done->get<0>();
    };

    ErrorPtr missing = perform(ApiPath::account().vault("no-such-vault"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->code(), 404);
    EXPECT_EQ(missing->stringForKey("awsExceptionCode"), "ResourceNotFoundException");
    EXPECT_EQ(missing->localizedDescription(),
              *missing->stringForKey("awsExceptionMessage") + " (local-1)");

    sim.injectFault({{"status", 403}, {"body", ""}});
    ErrorPtr bare = perform(ApiPath::account().word("vaults"));
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->localizedDescription(),
              Localization::string("error.auth_failed") + " (local-1)");
    EXPECT_FALSE(bare->stringForKey("awsExceptionCode").has_value());

    sim.injectFault({{"status", 400}, {"body", R"({"code": 17, "message": "numeric"})"}});
    ErrorPtr numeric = perform(ApiPath::account().word("vaults"));
    ASSERT_NE(numeric, nullptr);
    EXPECT_FALSE(numeric->stringForKey("awsExceptionCode").has_value());
    EXPECT_EQ(numeric->code(), 400);
}

TEST_F(AccountRegionTest, TransportFailuresPassUnchanged) {
    Regions::testRegions()["down-1"] =
        std::make_shared<Region>("down-1", "Down", "http://127.0.0.1:1/", false);
    Regions::clearLookupCache();
    auto account = Account::create();
    account->name = "Down";
    account->accessKey = "AK";
    account->activeRegions = {Regions::get("down-1")};
    account->setSecret("x");
    ASSERT_TRUE(account->save());
    Completion<ErrorPtr> done;
    account->accountRegion("down-1")->apiPerformRequest(
        {.path = ApiPath::account().word("vaults")},
        [&](ErrorPtr error, RequestOperation::Ptr) { done.set(error); });
    ASSERT_TRUE(done.wait());
    ASSERT_NE(done.get<0>(), nullptr);
    EXPECT_EQ(done.get<0>()->domain(), "curl");
    EXPECT_FALSE(done.get<0>()->stringForKey("awsExceptionCode").has_value());
}

TEST_F(AccountRegionTest, ARegionWithoutABaseURLNeverCallsBack) {
    Regions::testRegions()["broken-1"] = std::make_shared<Region>("broken-1", "Broken", "", false);
    Regions::clearLookupCache();
    auto account = Account::create();
    account->name = "Broken";
    account->accessKey = "AK";
    account->activeRegions = {Regions::get("broken-1")};
    account->setSecret("x");
    ASSERT_TRUE(account->save());
    auto region = account->accountRegion("broken-1");
    Completion<ErrorPtr> done;
    auto operation =
        region->apiPerformRequest({.path = ApiPath::account().word("vaults")},
                                  [&](ErrorPtr error, RequestOperation::Ptr) { done.set(error); });
    EXPECT_EQ(operation, nullptr);
    EXPECT_FALSE(done.wait(0.3));
    URLRequest request("GET", "https://example.invalid/");
    EXPECT_FALSE(region->apiSignRequest(request).value("Authorization").has_value());
}

TEST_F(AccountRegionTest, CheckCredentialsReportsAndLogsFailures) {
    std::vector<std::string> lines;
    std::mutex linesMutex;
    ConsoleLog::setSink([&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    });
    auto good = accountRegion(sim.secretKey());
    Completion<ErrorPtr> ok;
    good->checkCredentials([&](ErrorPtr error) { ok.set(error); });
    ASSERT_TRUE(ok.wait());
    EXPECT_EQ(ok.get<0>(), nullptr);
    EXPECT_EQ(sim.requestLog()[0]["target"], "/-/vaults?limit=1");

    good->account()->setSecret("wrong");
    Completion<ErrorPtr> bad;
    good->checkCredentials([&](ErrorPtr error) { bad.set(error); });
    ASSERT_TRUE(bad.wait());
    ASSERT_NE(bad.get<0>(), nullptr);
    ConsoleLog::setSink(nullptr);
    std::lock_guard lock(linesMutex);
    std::erase_if(lines,
                  [](const std::string& line) { return !line.starts_with("checkCredentials"); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "checkCredentials account=" + std::to_string(good->account()->id) +
                            " region=local-1 error=" + bad.get<0>()->localizedDescription());
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
