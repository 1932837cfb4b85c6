#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/HttpTrace.h"
#include "interfaces/http/RetryPolicy.h"
#include "support/Simulator.h"

using quillon::Error;
using quillon::GlacierManager;
using quillon::JSON;
using quillon::RequestOperation;
using quillon::URLRequest;
using quillon::testing::Simulator;

namespace {

class SimulatorClient : public ::testing::Test {
  protected:
    // A request built by the client's own serializer for base + path and signed for the
    // region that the base URL's host names.
    URLRequest signedRequest(const std::string& method, const std::string& path,
                             const std::optional<JSON>& parameters = std::nullopt,
                             const std::string& base = "") {
        const std::string root = base.empty() ? sim.baseURL() : base;
        auto& serializer = manager.requestSerializer();
        URLRequest request = serializer.requestWithMethod(method, root + path, parameters);
        auto host = quillon::URLParts::parse(root)->hostName;
        return serializer.prepareGlacierRequest(request, host, sim.accessKey(), sim.secretKey(),
                                                std::chrono::system_clock::now());
    }

    // Runs one request on the manager's queue and waits for it.
    struct Result {
        int calls = 0;
        std::optional<Error> error;
        JSON object;
        RequestOperation::Ptr operation;
    };
    Result run(URLRequest request,
               const std::function<void(RequestOperation&)>& configure = nullptr) {
        Result result;
        result.operation = manager.HTTPRequestOperationWithRequest(
            std::move(request),
            [&result](const RequestOperation::Ptr&, const JSON& object) {
                ++result.calls;
                result.object = object;
            },
            [&result](const RequestOperation::Ptr&, const Error& error) {
                ++result.calls;
                result.error = error;
            });
        if (configure) {
            configure(*result.operation);
        }
        manager.operationQueue().addOperation(result.operation);
        result.operation->waitUntilFinished();
        return result;
    }

    void createVaults(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            auto result = run(signedRequest("PUT", std::string("-/vaults/") + name));
            ASSERT_FALSE(result.error) << result.error->localizedDescription();
        }
    }

    Simulator sim;
    GlacierManager manager;
};

}  // namespace

TEST_F(SimulatorClient, SignedPagingRequestsAreAccepted) {
    createVaults({"alpha", "beta", "gamma"});
    auto first = run(signedRequest("GET", "-/vaults", JSON::Value{{"limit", 1}}));
    ASSERT_FALSE(first.error) << first.error->localizedDescription();
    const std::string marker = first.object["Marker"].stringValue();
    ASSERT_NE(marker.find(':'), std::string::npos);
    ASSERT_NE(marker.find('/'), std::string::npos);

    sim.clearRequestLog();
    auto second =
        run(signedRequest("GET", "-/vaults", JSON::Value{{"limit", 1}, {"marker", marker}}));
    ASSERT_FALSE(second.error) << second.error->localizedDescription();
    EXPECT_EQ(second.object["VaultList"][0]["VaultName"].stringValue(), "beta");
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["signature"], "valid");
    EXPECT_NE(log[0]["target"].get<std::string>().find("marker=arn%3A"), std::string::npos);

    // A region of its own, named by the host.
    auto regional =
        run(signedRequest("GET", "-/vaults", JSON::Value{{"limit", 1}}, sim.regionURL("local-1")));
    ASSERT_FALSE(regional.error) << regional.error->localizedDescription();
    EXPECT_TRUE(regional.object["VaultList"].arrayValue().empty());
    EXPECT_EQ(sim.requestLog().back()["region"], "local-1");
    EXPECT_EQ(sim.requestLog().back()["signature"], "valid");
}

TEST_F(SimulatorClient, WrongSecretIsRefusedWithTheServiceErrorBody) {
    auto& serializer = manager.requestSerializer();
    URLRequest request = serializer.prepareGlacierRequest(
        serializer.requestWithMethod("GET", sim.baseURL() + "-/vaults"), "127.0.0.1",
        sim.accessKey(), "not-the-secret", std::chrono::system_clock::now());
    auto result = run(request);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain(), "HTTP");
    EXPECT_EQ(result.error->code(), 403);
    auto response = result.error->responseForKey(quillon::kFailingURLResponseErrorKey);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode, 403);
    EXPECT_TRUE(response->headers.count("X-AMZN-REQUESTID"));
    auto body = JSON::parse(*result.error->bytesForKey(quillon::kFailingURLResponseDataErrorKey));
    EXPECT_EQ(body["code"].stringValue(), "InvalidSignatureException");
}

TEST_F(SimulatorClient, ManySignedRequestsThroughFourWorkersEachCompleteOnce) {
    createVaults({"v"});
    sim.clearRequestLog();
    constexpr int kCount = 200;
    std::vector<std::atomic<int>> calls(kCount);
    std::atomic<int> failures{0};
    std::mutex threadsMutex;
    std::set<std::thread::id> threads;
    std::vector<RequestOperation::Ptr> operations;
    for (int i = 0; i < kCount; ++i) {
        auto count = [&, i](bool failed) {
            ++calls[i];
            failures += failed ? 1 : 0;
            std::lock_guard lock(threadsMutex);
            threads.insert(std::this_thread::get_id());
        };
        operations.push_back(manager.HTTPRequestOperationWithRequest(
            signedRequest("GET", i % 2 ? "-/vaults/v" : "-/vaults",
                          i % 2 ? std::nullopt : std::optional<JSON>(JSON::Value{{"limit", 1}})),
            [count](const RequestOperation::Ptr&, const JSON&) { count(false); },
            [count](const RequestOperation::Ptr&, const Error&) { count(true); }));
    }
    for (auto& operation : operations) {
        manager.operationQueue().addOperation(operation);
    }
    manager.operationQueue().waitUntilAllOperationsAreFinished();

    EXPECT_EQ(failures, 0);
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(calls[i], 1) << i;
    }
    EXPECT_LE(threads.size(), 4u);
    EXPECT_FALSE(threads.count(std::this_thread::get_id()));
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), static_cast<std::size_t>(kCount));
    for (const auto& entry : log) {
        EXPECT_EQ(entry["signature"], "valid");
        EXPECT_EQ(entry["status"], 200);
    }
}

TEST_F(SimulatorClient, ErrorAnswerToADownloadKeepsItsBodyOutOfTheStream) {
    std::ostringstream stream;
    std::uint64_t progressBytes = 0;
    auto result = run(signedRequest("GET", "-/vaults/missing"), [&](RequestOperation& operation) {
        operation.setOutputStream(stream);
        operation.setDownloadProgressBlock(
            [&](std::uint64_t step, std::int64_t, std::int64_t) { progressBytes += step; });
    });
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->code(), 404);
    EXPECT_EQ(stream.str(), "");
    auto data = result.error->bytesForKey(quillon::kFailingURLResponseDataErrorKey);
    ASSERT_TRUE(data);
    EXPECT_EQ(JSON::parse(*data)["code"].stringValue(), "ResourceNotFoundException");
    EXPECT_EQ(result.operation->responseData(), *data);
    EXPECT_EQ(progressBytes, data->size());
}

TEST_F(SimulatorClient, SuccessfulDownloadStreamsIntoTheOutput) {
    createVaults({"one", "two"});
    std::ostringstream stream;
    std::int64_t total = 0, expected = 0;
    auto result = run(signedRequest("GET", "-/vaults"), [&](RequestOperation& operation) {
        operation.setOutputStream(stream);
        operation.setDownloadProgressBlock(
            [&](std::uint64_t, std::int64_t sofar, std::int64_t all) {
                total = sofar;
                expected = all;
            });
    });
    ASSERT_FALSE(result.error);
    EXPECT_TRUE(result.operation->responseData().empty());
    EXPECT_EQ(JSON::parse(stream.str())["VaultList"].arrayValue().size(), 2u);
    EXPECT_EQ(total, static_cast<std::int64_t>(stream.str().size()));
    EXPECT_EQ(expected, total);
}

TEST_F(SimulatorClient, DroppedConnectionAndCancelledSlowAnswer) {
    // One cut answer is sent again; a connection that always breaks fails after every attempt.
    const auto retriesBefore = quillon::HttpCounters::retries.load();
    sim.injectFault({{"kind", "drop"}, {"path", "/-/vaults"}});
    auto retried = run(signedRequest("GET", "-/vaults"));
    ASSERT_EQ(retried.calls, 1);
    EXPECT_FALSE(retried.error);
    EXPECT_EQ(quillon::HttpCounters::retries.load() - retriesBefore, 1u);
    sim.injectFault({{"kind", "drop"}, {"path", "/-/vaults"}, {"count", -1}});
    auto dropped = run(signedRequest("GET", "-/vaults"));
    sim.clearFaults();
    ASSERT_EQ(dropped.calls, 1);
    ASSERT_TRUE(dropped.error);
    EXPECT_EQ(dropped.error->domain(), "curl");
    EXPECT_EQ(quillon::HttpCounters::retries.load() - retriesBefore,
              static_cast<std::uint64_t>(quillon::RetryPolicy::kDefaultAttempts));

    sim.injectFault({{"kind", "delay"}, {"delayMs", 1500}});
    std::atomic<int> calls{0};
    std::optional<Error> error;
    auto operation = manager.HTTPRequestOperationWithRequest(
        signedRequest("GET", "-/vaults"),
        [&](const RequestOperation::Ptr&, const JSON&) { ++calls; },
        [&](const RequestOperation::Ptr&, const Error& e) {
            error = e;
            ++calls;
        });
    // Cancelled while queued or while the answer is held back: one failure either way.
    manager.operationQueue().addOperation(operation);
    operation->cancel();
    operation->waitUntilFinished();
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), quillon::kURLErrorCancelled);
}
