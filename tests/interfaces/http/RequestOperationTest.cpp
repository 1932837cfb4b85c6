// Tests of RequestOperation: the wire form, retries, cancellation, redaction and downloads.
// Threads: handlers run on the manager's worker threads and the test's thread waits for them;
//   the simulator is a separate process, the capture server a thread of its own.
#include "interfaces/http/RequestOperation.h"

#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "interfaces/base/ConsoleLog.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/HttpTrace.h"
#include "interfaces/http/RetryPolicy.h"
#include "support/CaptureServer.h"
#include "support/Simulator.h"
#include "support/TempDir.h"
#include "support/TreeHashVectors.h"

namespace quillon {
namespace {

using testing::CaptureServer;
using testing::Simulator;
using testing::TempDir;

// What the handlers of one operation saw.
struct Outcome {
    std::atomic<int> successes{0};
    std::atomic<int> failures{0};
    std::optional<Error> error;
    JSON object;
    std::thread::id thread;
    RequestOperation::Ptr operation;
    int calls() const { return successes + failures; }
};

RequestOperation::Ptr makeOperation(GlacierManager& manager, URLRequest request, Outcome& outcome) {
    return manager.HTTPRequestOperationWithRequest(
        std::move(request),
        [&outcome](const RequestOperation::Ptr&, const JSON& object) {
            outcome.thread = std::this_thread::get_id();
            outcome.object = object;
            ++outcome.successes;
        },
        [&outcome](const RequestOperation::Ptr&, const Error& error) {
            outcome.thread = std::this_thread::get_id();
            outcome.error = error;
            ++outcome.failures;
        });
}

// Each test has a manager of its own and runs its requests on the manager's queue.
class RequestOperationWire : public ::testing::Test {
  protected:
    // Runs one request, once `configure` has set its operation up, and waits until it has
    // finished.
    std::unique_ptr<Outcome> run(
        URLRequest request, const std::function<void(RequestOperation&)>& configure = nullptr) {
        auto outcome = std::make_unique<Outcome>();
        outcome->operation = makeOperation(manager, std::move(request), *outcome);
        if (configure) {
            configure(*outcome->operation);
        }
        manager.operationQueue().addOperation(outcome->operation);
        outcome->operation->waitUntilFinished();
        return outcome;
    }

    GlacierManager manager;
};

// How many header lines of a raw request start with `prefix`, ignoring case.
int headerCount(const std::string& raw, const std::string& prefix) {
    const std::string head = raw.substr(0, raw.find("\r\n\r\n") + 2);
    const std::string line = "\r\n" + prefix;
    int count = 0;
    for (const char* at = head.c_str(); (at = strcasestr(at, line.c_str())) != nullptr; at += 2) {
        ++count;
    }
    return count;
}

std::string okReply(const std::string&) {
    return CaptureServer::response(200, "", "");
}

TEST_F(RequestOperationWire, FileWindowUploadHasOneExactContentLengthAndNoChunking) {
    TempDir dir;
    const std::string content = testing::referencePattern(3 << 20);
    std::ofstream(dir.file("big.bin"), std::ios::binary) << content;
    // More than a MiB, so a client that asks for "100-continue" would do so here.
    const std::uint64_t offset = 12345, length = (2 << 20) + 17;

    CaptureServer server(okReply);
    URLRequest request("PUT", server.baseURL() + "-/vaults/v/multipart-uploads/u");
    request.setValue(std::to_string(length), "Content-Length");
    std::int64_t lastTotal = 0, expected = 0;
    std::uint64_t stepSum = 0;
    auto outcome = run(request, [&](RequestOperation& operation) {
        operation.setBodyFileWindow({dir.file("big.bin"), offset, length});
        operation.setUploadProgressBlock(
            [&](std::uint64_t step, std::int64_t total, std::int64_t all) {
                stepSum += step;
                lastTotal = total;
                expected = all;
            });
    });

    EXPECT_EQ(outcome->successes, 1);
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string raw = server.requests()[0];
    EXPECT_EQ(headerCount(raw, "content-length: " + std::to_string(length)), 1);
    EXPECT_EQ(headerCount(raw, "content-length"), 1);
    EXPECT_EQ(headerCount(raw, "transfer-encoding"), 0);
    EXPECT_EQ(headerCount(raw, "expect"), 0);
    EXPECT_EQ(headerCount(raw, "content-type: application/octet-stream"), 1);
    EXPECT_TRUE(server.bodies()[0] == content.substr(offset, length));
    EXPECT_EQ(stepSum, length);
    EXPECT_EQ(lastTotal, static_cast<std::int64_t>(length));
    EXPECT_EQ(expected, static_cast<std::int64_t>(length));
}

TEST_F(RequestOperationWire, BodiesFromTheSerializer) {
    CaptureServer server(okReply);
    auto& serializer = manager.requestSerializer();
    run(serializer.requestWithMethod("POST", server.baseURL() + "-/vaults/v/jobs",
                                     JSON::Value{{"Type", "inventory-retrieval"}}));
    run(serializer.requestWithMethod("POST", server.baseURL() + "-/vaults/v/archives"));

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rfind("POST /-/vaults/v/jobs HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(headerCount(requests[0], "content-type"), 1);
    EXPECT_EQ(headerCount(requests[0], "content-type: application/json"), 1);
    EXPECT_EQ(server.bodies()[0], R"({"Type":"inventory-retrieval"})");
    EXPECT_EQ(headerCount(requests[1], "content-length: 0"), 1);
    EXPECT_EQ(headerCount(requests[1], "content-type: application/x-www-form"), 0);
}

TEST_F(RequestOperationWire, TransportFailuresUseTheCurlDomain) {
    auto refused = run(
        URLRequest("GET", "http://127.0.0.1:" + std::to_string(CaptureServer::unusedPort()) + "/"));
    ASSERT_EQ(refused->failures, 1);
    EXPECT_EQ(refused->error->domain(), "curl");
    EXPECT_EQ(refused->error->code(), CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(refused->error->find(kFailingURLResponseErrorKey));
    EXPECT_FALSE(refused->error->localizedDescription().empty());

    // An answer cut short keeps what did arrive.
    CaptureServer server([](const std::string&) {
        return std::string(
            "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\nonly");
    });
    auto cut = run(URLRequest("GET", server.baseURL()));
    ASSERT_EQ(cut->failures, 1);
    EXPECT_EQ(cut->error->domain(), "curl");
    EXPECT_EQ(cut->error->code(), CURLE_PARTIAL_FILE);
    EXPECT_EQ(cut->error->responseForKey(kFailingURLResponseErrorKey)->statusCode, 200);
}

TEST_F(RequestOperationWire, UnreadableFileWindowFailsWithoutARequest) {
    TempDir dir;
    std::ofstream(dir.file("short.bin")) << "12345";
    CaptureServer server(okReply);
    for (auto window :
         {FileWindowBody{dir.file("short.bin"), 2, 10}, FileWindowBody{dir.path(), 0, 1}}) {
        auto outcome = run(URLRequest("PUT", server.baseURL()), [&](RequestOperation& operation) {
            operation.setBodyFileWindow(window);
        });
        ASSERT_EQ(outcome->failures, 1);
        EXPECT_EQ(outcome->error->domain(), "curl");
        EXPECT_EQ(outcome->error->code(), CURLE_READ_ERROR);
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(RequestOperationWire, CancelledQueuedRunningEarlyAndLeftOverOperationsEachFailOnce) {
    // The server never answers, so the first operation runs until it is cancelled.
    CaptureServer server([](const std::string&) { return std::string(); });
    manager.operationQueue().setMaxConcurrentOperationCount(1);
    Outcome running, queued, early;
    auto first = makeOperation(manager, URLRequest("GET", server.baseURL() + "a"), running);
    auto second = makeOperation(manager, URLRequest("GET", server.baseURL() + "b"), queued);
    auto third = makeOperation(manager, URLRequest("GET", server.baseURL() + "c"), early);
    third->cancel();
    manager.operationQueue().addOperation(first);
    manager.operationQueue().addOperation(second);
    ASSERT_TRUE(server.waitForRequests(1));
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(first->isExecuting());
    second->cancel();
    first->cancel();
    manager.operationQueue().addOperation(third);
    manager.operationQueue().addOperation(third);  // a second add is ignored
    manager.operationQueue().waitUntilAllOperationsAreFinished();
    second->cancel();  // after the end: nothing more happens

    for (Outcome* outcome : {&running, &queued, &early}) {
        EXPECT_EQ(outcome->successes, 0);
        ASSERT_EQ(outcome->failures, 1);
        EXPECT_EQ(outcome->error->domain(), kURLErrorDomain);
        EXPECT_EQ(outcome->error->code(), kURLErrorCancelled);
    }
    EXPECT_TRUE(first->isFinished() && second->isFinished() && third->isFinished());
    EXPECT_EQ(server.requests().size(), 1u);
    std::vector<std::unique_ptr<Outcome>> leftOver;
    {
        GlacierManager closing;  // goes away with its operations unfinished
        closing.operationQueue().setMaxConcurrentOperationCount(2);
        for (int i = 0; i < 6; ++i) {
            leftOver.push_back(std::make_unique<Outcome>());
            closing.operationQueue().addOperation(
                makeOperation(closing, URLRequest("GET", server.baseURL()), *leftOver.back()));
        }
    }
    for (const auto& leftOne : leftOver) {
        EXPECT_EQ(leftOne->successes + leftOne->failures, 1);
        EXPECT_EQ(leftOne->failures, 1);
    }
}

Error httpError(std::int64_t status, const std::string& body = "") {
    UserInfo info;
    info[kFailingURLResponseDataErrorKey] = Bytes(body.begin(), body.end());
    return Error(kHTTPErrorDomain, status, info);
}

TEST(RetryPolicy, TransientFailuresAreRetriedAfterJitteredDelaysAndOthersAreNot) {
    struct Case {
        std::string method;
        Error error;
        bool retried;
    };
    const Error curl(kCurlErrorDomain, CURLE_RECV_ERROR);
    const Error refused(kCurlErrorDomain, CURLE_COULDNT_CONNECT);
    const Case cases[] = {
        {"GET", httpError(503), true},
        {"PUT", httpError(500, R"({"code":"InternalFailure"})"), true},
        {"POST", httpError(429), true},
        {"GET", httpError(400, R"({"code":"ThrottlingException"})"), true},
        {"GET", httpError(400, R"({"code":"RequestLimitExceeded"})"), true},
        {"GET", httpError(400, R"({"code":"InvalidParameterValueException"})"), false},
        {"GET", httpError(403), false},
        {"GET", httpError(404), false},
        {"GET", curl, true},
        {"PUT", Error(kCurlErrorDomain, CURLE_PARTIAL_FILE), true},
        {"POST", curl, false},  // the archive may be stored: never twice
        {"POST", refused, true},
        {"GET", Error(kCurlErrorDomain, CURLE_WRITE_ERROR), false},
        {"GET", Error(kURLErrorDomain, kURLErrorCancelled), false},
    };
    for (const Case& item : cases) {
        EXPECT_EQ(RetryPolicy::retryReason(item.method, item.error).has_value(), item.retried)
            << item.method << " " << item.error.domain() << " " << item.error.code();
    }
    RetryPolicy policy;
    policy.baseDelay = std::chrono::milliseconds(100);
    policy.maxDelay = std::chrono::milliseconds(1000);
    for (int retry = 1; retry <= 12; ++retry) {
        const auto ceiling = std::min<std::int64_t>(1000, 100LL << std::min(retry - 1, 20));
        for (int draw = 0; draw < 50; ++draw) {
            const auto delay = policy.delayBeforeRetry(retry).count();
            EXPECT_GE(delay, 0);
            EXPECT_LE(delay, ceiling) << retry;
        }
    }
}

// Throttling waits from about a second, doubling up to 20 s, each wait at least half its step;
// the service's clock-skew refusals are told apart from other 403s.
TEST(RetryPolicy, ThrottlingBacksOffFromASecondUpToTwentyAndSkewIsRecognised) {
    const RetryPolicy policy;
    EXPECT_EQ(policy.throttleBaseDelay, std::chrono::milliseconds(1000));
    std::int64_t total = 0;
    for (int throttled = 1; throttled <= 8; ++throttled) {
        const std::int64_t step = std::min<std::int64_t>(20000, 1000LL << (throttled - 1));
        const auto delay = policy.delayBeforeThrottledRetry(throttled).count();
        EXPECT_GE(delay, step / 2) << throttled;
        EXPECT_LE(delay, step) << throttled;
        total += delay;
    }
    EXPECT_GT(total, 10000);  // a storm of ten seconds is waited out
    EXPECT_TRUE(RetryPolicy::isThrottling(httpError(400, R"({"code":"ThrottlingException"})")));
    EXPECT_FALSE(RetryPolicy::isThrottling(httpError(503)));
    EXPECT_TRUE(RetryPolicy::isClockSkew(httpError(403, R"({"code":"RequestTimeTooSkewed"})")));
    EXPECT_TRUE(RetryPolicy::isClockSkew(httpError(
        403, R"({"code":"InvalidSignatureException","message":"Signature expired: x"})")));
    EXPECT_FALSE(RetryPolicy::isClockSkew(httpError(403, R"({"code":"AccessDeniedException"})")));
}

// Sinks are called with no lock held: one may log or trace from inside without a deadlock.
TEST(HttpTrace, SinksMayLogFromInside) {
    std::vector<std::string> lines;
    auto previous = ConsoleLog::setSink([&](const std::string& line) {
        lines.push_back(line);
        if (lines.size() == 1) {
            NSLog("nested");
        }
    });
    NSLog("outer");
    ConsoleLog::setSink(previous);
    EXPECT_EQ(lines, (std::vector<std::string>{"outer", "nested"}));
}

TEST(HttpTrace, SecretsAreRedacted) {
    const std::string signedBy =
        "AWS4-HMAC-SHA256 Credential=AKID/20261206/us-east-1/glacier/"
        "aws4_request, SignedHeaders=host;x-amz-date, Signature=";
    EXPECT_EQ(HttpTrace::redacted("authorization", signedBy + "0123abcd"), signedBy + "<redacted>");
    EXPECT_EQ(HttpTrace::redacted("Authorization", "Basic dXNlcjpwYXNz"), "Basic <redacted>");
    EXPECT_EQ(HttpTrace::redacted("X-Amz-Security-Token", "FQoGZXIvYXdz"), "<redacted>");
    EXPECT_EQ(HttpTrace::redacted("x-amz-date", "20261206T000000Z"), "20261206T000000Z");
    EXPECT_EQ(HttpTrace::redactedURL("http://me:pw@127.0.0.1:8/-/v?a=b@c"),
              "http://me:<redacted>@127.0.0.1:8/-/v?a=b@c");
    EXPECT_EQ(HttpTrace::redactedURL("http://127.0.0.1:8/x@y"), "http://127.0.0.1:8/x@y");
}

// The client against the simulator: signed requests, paging, errors and streamed output.
class SimulatorClient : public RequestOperationWire {
  protected:
    // A request built by the client's own serializer for base + path and signed for the
    // region that the base URL's host names.
    URLRequest signedRequest(const std::string& method, const std::string& path,
                             const std::optional<JSON>& parameters = std::nullopt,
                             const std::string& base = "") {
        const std::string root = base.empty() ? sim.baseURL() : base;
        auto& serializer = manager.requestSerializer();
        URLRequest request = serializer.requestWithMethod(method, root + path, parameters);
        auto host = URLParts::parse(root)->hostName;
        return serializer.prepareGlacierRequest(request, host, sim.accessKey(), sim.secretKey(),
                                                std::chrono::system_clock::now());
    }

    void createVaults(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            auto result = run(signedRequest("PUT", std::string("-/vaults/") + name));
            ASSERT_FALSE(result->error) << result->error->localizedDescription();
        }
    }

    Simulator sim;
};

TEST_F(SimulatorClient, SignedPagingRequestsAreAccepted) {
    createVaults({"alpha", "beta", "gamma"});
    auto first = run(signedRequest("GET", "-/vaults", JSON::Value{{"limit", 1}}));
    ASSERT_FALSE(first->error) << first->error->localizedDescription();
    const std::string marker = first->object["Marker"].stringValue();
    ASSERT_NE(marker.find(':'), std::string::npos);
    ASSERT_NE(marker.find('/'), std::string::npos);

    sim.clearRequestLog();
    auto second =
        run(signedRequest("GET", "-/vaults", JSON::Value{{"limit", 1}, {"marker", marker}}));
    ASSERT_FALSE(second->error) << second->error->localizedDescription();
    EXPECT_EQ(second->object["VaultList"][0]["VaultName"].stringValue(), "beta");
    auto log = sim.requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["signature"], "valid");
    EXPECT_NE(log[0]["target"].get<std::string>().find("marker=arn%3A"), std::string::npos);

    // A region of its own, named by the host.
    auto regional =
        run(signedRequest("GET", "-/vaults", JSON::Value{{"limit", 1}}, sim.regionURL("local-1")));
    ASSERT_FALSE(regional->error) << regional->error->localizedDescription();
    EXPECT_TRUE(regional->object["VaultList"].arrayValue().empty());
    EXPECT_EQ(sim.requestLog().back()["region"], "local-1");
    EXPECT_EQ(sim.requestLog().back()["signature"], "valid");
}

TEST_F(SimulatorClient, WrongSecretIsRefusedWithTheServiceErrorBody) {
    auto& serializer = manager.requestSerializer();
    URLRequest request = serializer.prepareGlacierRequest(
        serializer.requestWithMethod("GET", sim.baseURL() + "-/vaults"), "127.0.0.1",
        sim.accessKey(), "not-the-secret", std::chrono::system_clock::now());
    auto result = run(request);
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->domain(), "HTTP");
    EXPECT_EQ(result->error->code(), 403);
    auto response = result->error->responseForKey(kFailingURLResponseErrorKey);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode, 403);
    EXPECT_TRUE(response->headers.count("X-AMZN-REQUESTID"));
    auto body = JSON::parse(*result->error->bytesForKey(kFailingURLResponseDataErrorKey));
    EXPECT_EQ(body["code"].stringValue(), "InvalidSignatureException");
}

TEST_F(SimulatorClient, ManySignedRequestsThroughFourWorkersEachCompleteOnce) {
    createVaults({"v"});
    sim.clearRequestLog();
    constexpr int kCount = 200;
    std::vector<std::unique_ptr<Outcome>> outcomes;
    for (int i = 0; i < kCount; ++i) {
        outcomes.push_back(std::make_unique<Outcome>());
        const auto limit = i % 2 ? std::nullopt : std::optional<JSON>(JSON::Value{{"limit", 1}});
        manager.operationQueue().addOperation(
            makeOperation(manager, signedRequest("GET", i % 2 ? "-/vaults/v" : "-/vaults", limit),
                          *outcomes.back()));
    }
    manager.operationQueue().waitUntilAllOperationsAreFinished();

    std::set<std::thread::id> threads;
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(outcomes[i]->successes, 1) << i;
        EXPECT_EQ(outcomes[i]->failures, 0) << i;
        threads.insert(outcomes[i]->thread);
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

TEST_F(SimulatorClient, DownloadsStreamIntoTheOutputButErrorAnswersDoNot) {
    std::ostringstream stream;
    std::uint64_t progressBytes = 0;
    auto result = run(signedRequest("GET", "-/vaults/missing"), [&](RequestOperation& operation) {
        operation.setOutputStream(stream);
        operation.setDownloadProgressBlock(
            [&](std::uint64_t step, std::int64_t, std::int64_t) { progressBytes += step; });
    });
    ASSERT_TRUE(result->error);
    EXPECT_EQ(result->error->code(), 404);
    EXPECT_EQ(stream.str(), "");
    auto data = result->error->bytesForKey(kFailingURLResponseDataErrorKey);
    ASSERT_TRUE(data);
    EXPECT_EQ(JSON::parse(*data)["code"].stringValue(), "ResourceNotFoundException");
    EXPECT_EQ(result->operation->responseData(), *data);
    EXPECT_EQ(progressBytes, data->size());
    createVaults({"one", "two"});
    std::ostringstream listing;
    std::int64_t sofarTotal = 0, expectedTotal = 0;
    auto listed = run(signedRequest("GET", "-/vaults"), [&](RequestOperation& operation) {
        operation.setOutputStream(listing);
        operation.setDownloadProgressBlock(
            [&](std::uint64_t, std::int64_t sofar, std::int64_t all) {
                sofarTotal = sofar;
                expectedTotal = all;
            });
    });
    ASSERT_FALSE(listed->error);
    EXPECT_TRUE(listed->operation->responseData().empty());
    EXPECT_EQ(JSON::parse(listing.str())["VaultList"].arrayValue().size(), 2u);
    EXPECT_EQ(sofarTotal, static_cast<std::int64_t>(listing.str().size()));
    EXPECT_EQ(expectedTotal, sofarTotal);
}

TEST_F(SimulatorClient, DroppedConnectionAndCancelledSlowAnswer) {
    // One cut answer is sent again; a connection that always breaks fails after every attempt.
    const auto retriesBefore = HttpCounters::retries.load();
    sim.injectFault({{"kind", "drop"}, {"path", "/-/vaults"}});
    auto retried = run(signedRequest("GET", "-/vaults"));
    ASSERT_EQ(retried->calls(), 1);
    EXPECT_FALSE(retried->error);
    EXPECT_EQ(HttpCounters::retries.load() - retriesBefore, 1u);
    sim.injectFault({{"kind", "drop"}, {"path", "/-/vaults"}, {"count", -1}});
    auto dropped = run(signedRequest("GET", "-/vaults"));
    sim.clearFaults();
    ASSERT_EQ(dropped->calls(), 1);
    ASSERT_TRUE(dropped->error);
    EXPECT_EQ(dropped->error->domain(), "curl");
    EXPECT_EQ(HttpCounters::retries.load() - retriesBefore,
              static_cast<std::uint64_t>(RetryPolicy::kDefaultAttempts));

    sim.injectFault({{"kind", "delay"}, {"delayMs", 1500}});
    // Cancelled while queued or while the answer is held back: one failure either way.
    Outcome cancelled;
    auto operation = makeOperation(manager, signedRequest("GET", "-/vaults"), cancelled);
    manager.operationQueue().addOperation(operation);
    operation->cancel();
    operation->waitUntilFinished();
    EXPECT_EQ(cancelled.calls(), 1);
    ASSERT_TRUE(cancelled.error);
    EXPECT_EQ(cancelled.error->code(), kURLErrorCancelled);
}

}  // namespace
}  // namespace quillon
