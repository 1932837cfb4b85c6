// RetryPolicy: the shared policy, the transient-failure rules and the jittered delay. Threads:
// as in RetryPolicy.h; the jitter's random engine is per thread.
#include "interfaces/http/RetryPolicy.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

namespace {

struct SharedPolicy {
    std::mutex mutex;
    RetryPolicy policy = [] {
        RetryPolicy initial;
        if (const char* text = std::getenv(RetryPolicy::kBaseDelayEnvironment)) {
            char* end = nullptr;
            long value = std::strtol(text, &end, 10);
            if (end != text && *end == '\0' && value >= 0) {
                initial.baseDelay = std::chrono::milliseconds(value);
                initial.throttleBaseDelay = std::chrono::milliseconds(value * 10);
                initial.throttleMaxDelay = std::chrono::milliseconds(value * 200);
            }
        }
        return initial;
    }();
};

SharedPolicy& shared() {
    static SharedPolicy state;
    return state;
}

// Error codes the service and its relatives use for "slow down".
bool isThrottlingCode(std::string_view code) {
    constexpr std::array<std::string_view, 8> codes = {"Throttling",
                                                       "ThrottlingException",
                                                       "ThrottledException",
                                                       "RequestThrottled",
                                                       "RequestThrottledException",
                                                       "RequestLimitExceeded",
                                                       "TooManyRequestsException",
                                                       "SlowDown"};
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

std::string serviceErrorCode(const Error& error) {
    if (auto code = error.stringForKey("awsExceptionCode")) {
        return *code;
    }
    if (auto body = error.bytesForKey(kFailingURLResponseDataErrorKey); body && !body->empty()) {
        JSON document = JSON::parse(*body);
        if (auto code = document["code"].string()) {
            return *code;
        }
    }
    if (auto response = error.responseForKey(kFailingURLResponseErrorKey)) {
        auto found = response->headers.find("x-amzn-ErrorType");
        if (found != response->headers.end()) {
            return found->second.substr(0, found->second.find(':'));
        }
    }
    return {};
}

bool isTransientCurlCode(std::int64_t code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return true;
        default:
            return false;
    }
}

}  // namespace

RetryPolicy RetryPolicy::current() {
    auto& state = shared();
    std::lock_guard lock(state.mutex);
    return state.policy;
}

void RetryPolicy::setCurrent(const RetryPolicy& policy) {
    auto& state = shared();
    std::lock_guard lock(state.mutex);
    state.policy = policy;
    state.policy.attempts = std::max(1, policy.attempts);
}

std::optional<std::string> RetryPolicy::transientReason(const Error& error) {
    if (error.domain() == kCurlErrorDomain) {
        if (!isTransientCurlCode(error.code())) {
            return std::nullopt;
        }
        auto text = error.stringForKey(kLocalizedDescriptionKey);
        return "connection failed (curl " + std::to_string(error.code()) + ": " +
               text.value_or("") + ")";
    }
    if (error.domain() != kHTTPErrorDomain) {
        return std::nullopt;
    }
    const std::int64_t status = error.code();
    const std::string code = serviceErrorCode(error);
    const std::string named = code.empty() ? std::string() : " " + code;
    if (isThrottling(error)) {
        return "throttled (" + std::to_string(status) + named + ")";
    }
    if (status >= 500 && status <= 599) {
        return "server error (" + std::to_string(status) + named + ")";
    }
    return std::nullopt;
}

bool RetryPolicy::isThrottling(const Error& error) {
    if (error.domain() != kHTTPErrorDomain) {
        return false;
    }
    const std::int64_t status = error.code();
    return status == 429 ||
           (status >= 400 && status < 500 && isThrottlingCode(serviceErrorCode(error)));
}

bool RetryPolicy::isClockSkew(const Error& error) {
    if (error.domain() != kHTTPErrorDomain || error.code() != 403) {
        return false;
    }
    const std::string code = serviceErrorCode(error);
    if (code == "RequestTimeTooSkewed" || code == "RequestExpired") {
        return true;
    }
    return serviceMessage(error).find("Signature expired") != std::string::npos;
}

std::string RetryPolicy::serviceMessage(const Error& error) {
    if (auto body = error.bytesForKey(kFailingURLResponseDataErrorKey); body && !body->empty()) {
        return JSON::parse(*body)["message"].stringValue();
    }
    return {};
}

std::optional<std::string> RetryPolicy::retryReason(const std::string& method, const Error& error) {
    if (method == "POST" && error.domain() == kCurlErrorDomain &&
        error.code() != CURLE_COULDNT_CONNECT) {
        return std::nullopt;
    }
    return transientReason(error);
}

std::chrono::milliseconds RetryPolicy::delayBeforeRetry(int retry) const {
    const auto base = std::max<std::int64_t>(0, baseDelay.count());
    const auto cap = std::max<std::int64_t>(0, maxDelay.count());
    std::int64_t ceiling = base;
    for (int step = 1; step < retry && ceiling < cap; ++step) {
        ceiling *= 2;
    }
    ceiling = std::min(ceiling, cap);
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::int64_t> pick(0, ceiling);
    return std::chrono::milliseconds(pick(generator));
}

std::chrono::milliseconds RetryPolicy::delayBeforeThrottledRetry(int throttled) const {
    const auto cap = std::max<std::int64_t>(0, throttleMaxDelay.count());
    std::int64_t step = std::min(std::max<std::int64_t>(0, throttleBaseDelay.count()), cap);
    for (int n = 1; n < throttled && step < cap; ++n) {
        step = std::min(step * 2, cap);
    }
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::int64_t> pick(step / 2, step);
    return std::chrono::milliseconds(pick(generator));
}

}  // namespace quillon
