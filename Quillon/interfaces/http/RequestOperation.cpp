// RequestOperation: the attempts, backoff, error building and handler calls. Threads: as in
// RequestOperation.h; a mutex and conditions carry cancellation and the finish to waiters.
#include "interfaces/http/RequestOperation.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <ios>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/http/CurlHandle.h"
#include "interfaces/http/CurlTransfer.h"
#include "interfaces/http/HttpTrace.h"
#include "interfaces/http/RateLimiter.h"
#include "interfaces/http/RetryPolicy.h"
#include "interfaces/http/SigningClock.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

namespace {

const char* reasonPhrase(long status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 403:
            return "forbidden";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 408:
            return "request timed out";
        case 409:
            return "conflict";
        case 410:
            return "gone";
        case 411:
            return "length required";
        case 413:
            return "request too large";
        case 416:
            return "requested range not satisfiable";
        case 429:
            return "too many requests";
        case 500:
            return "internal server error";
        case 502:
            return "bad gateway";
        case 503:
            return "service unavailable";
        case 504:
            return "gateway timed out";
        default:
            return status >= 500 ? "server error" : "client error";
    }
}

bool isJSONContentType(const HeaderMap& headers) {
    auto it = headers.find("Content-Type");
    return it != headers.end() && it->second.find("json") != std::string::npos;
}

}  // namespace

RequestOperation::Ptr RequestOperation::create(URLRequest request, SuccessHandler success,
                                               FailureHandler failure) {
    return std::make_shared<RequestOperation>(Token{}, std::move(request), std::move(success),
                                              std::move(failure));
}

RequestOperation::RequestOperation(Token, URLRequest request, SuccessHandler success,
                                   FailureHandler failure)
    : request_(std::move(request)), success_(std::move(success)), failure_(std::move(failure)) {}

void RequestOperation::setOutputStream(std::ostream& stream) {
    auto start = std::make_shared<std::streampos>(-1);
    output_ = [&stream, start](const char* data, std::size_t length) {
        if (*start == std::streampos(-1)) {
            *start = stream.tellp();
        }
        stream.write(data, static_cast<std::streamsize>(length));
        return static_cast<bool>(stream);
    };
    outputRestart_ = [&stream, start] {
        if (*start == std::streampos(-1)) {
            return true;
        }
        stream.clear();
        return static_cast<bool>(stream.seekp(*start));
    };
}

void RequestOperation::cancel() {
    {
        std::lock_guard lock(finishMutex_);
        cancelled_.store(true);
    }
    cancelledCondition_.notify_all();
}

bool RequestOperation::backOff(std::chrono::milliseconds delay) {
    std::unique_lock lock(finishMutex_);
    return !cancelledCondition_.wait_for(lock, delay, [this] { return cancelled_.load(); });
}

TransferResult RequestOperation::attempt(CurlHandle& handle, const TransferHooks& hooks, int number,
                                         int attempts) {
    HttpTrace::request(request_, number, attempts);
    const auto started = std::chrono::steady_clock::now();
    TransferResult result = CurlTransfer(handle, request_, hooks).perform();
    HttpCounters::attempts.fetch_add(1);
    HttpCounters::connectionsOpened.fetch_add(
        static_cast<std::uint64_t>(std::max(0L, result.connectionsOpened)));
    HttpTrace::response(result.statusCode, result.headers,
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started),
                        result.curlCode == CURLE_OK ? std::string() : result.curlMessage,
                        result.connectionsOpened);
    response_.statusCode = result.statusCode;
    response_.url = request_.url();
    response_.headers = std::move(result.headers);
    responseData_ = std::move(result.body);
    return result;
}

bool RequestOperation::claimForQueue() {
    State expected = State::Ready;
    return state_.compare_exchange_strong(expected, State::Queued);
}

void RequestOperation::waitUntilFinished() {
    std::unique_lock lock(finishMutex_);
    finishedCondition_.wait(lock, [this] { return state_.load() == State::Finished; });
}

void RequestOperation::start() {
    if (!claimForQueue()) {
        return;
    }
    CurlHandle handle;
    runOn(handle);
}

void RequestOperation::runOn(CurlHandle& handle) {
    State expected = State::Queued;
    if (!state_.compare_exchange_strong(expected, State::Executing)) {
        return;
    }
    const RetryPolicy policy = retryPolicy_.value_or(RetryPolicy::current());
    // Counts what reached the output, so that a retry knows whether it must start it over.
    std::size_t delivered = 0;
    TransferHooks hooks;
    hooks.uploadProgress = uploadProgress_;
    hooks.downloadProgress = downloadProgress_;
    if (output_) {
        hooks.output = [this, &delivered](const char* data, std::size_t length) {
            delivered += length;
            return output_(data, length);
        };
    }
    hooks.cancelled = &cancelled_;
    hooks.connectTimeoutSeconds = kConnectTimeoutSeconds;
    hooks.lowSpeedTimeSeconds = kLowSpeedTimeSeconds;
    hooks.sendLimiter = &RateLimiter::uploads();
    hooks.receiveLimiter = &RateLimiter::downloads();

    TransferResult result;
    std::optional<Error> failure;
    bool skewCorrected = false;
    int throttles = 0;  // throttled answers so far
    for (int number = 1;; ++number) {
        result = attempt(handle, hooks, number, policy.attempts);
        const bool answered = !result.cancelled && result.curlCode == CURLE_OK &&
                              result.statusCode >= 200 && result.statusCode <= 299;
        if (answered) {
            failure.reset();
            break;
        }
        failure = errorFor(result);
        if (!result.cancelled && !skewCorrected && resigner_ &&
            RetryPolicy::isClockSkew(*failure) &&
            (delivered == 0 || (outputRestart_ && outputRestart_()))) {
            // Once: the service's clock, read from its answer, replaces the local one.
            skewCorrected = true;
            auto date = response_.headers.find("Date");
            const bool learned =
                date != response_.headers.end()
                    ? SigningClock::learnFrom(date->second)
                    : SigningClock::learnFromRefusal(RetryPolicy::serviceMessage(*failure));
            if (learned) {
                if (auto resigned = resigner_(request_)) {
                    NSLog("The clock is %@ s off the service's; signed again: %@ %@",
                          {std::to_string(-SigningClock::offset().count()), request_.method(),
                           request_.url()});
                    request_ = std::move(*resigned);
                    delivered = 0;
                    --number;
                    continue;
                }
            }
        }
        auto reason = RetryPolicy::retryReason(request_.method(), *failure);
        // Throttling has an allowance of its own; the other failures count against attempts.
        const bool throttled = reason && RetryPolicy::isThrottling(*failure);
        throttles += throttled ? 1 : 0;
        const int counted = number - throttles;
        if (result.cancelled ||
            (throttled ? throttles > policy.throttledRetries : counted >= policy.attempts)) {
            break;
        }
        if (!reason || (delivered > 0 && !(outputRestart_ && outputRestart_()))) {
            break;
        }
        delivered = 0;
        const auto delay = throttled ? policy.delayBeforeThrottledRetry(throttles)
                                     : policy.delayBeforeRetry(std::max(1, counted));
        const int of = throttled ? policy.throttledRetries + 1 : policy.attempts;
        const int next = throttled ? throttles + 1 : counted + 1;
        HttpCounters::retries.fetch_add(1);
        HttpTrace::retry(request_.url(), next, of, delay, *reason);
        NSLog("Retry %@ of %@ in %@ ms: %@ %@ %@",
              {std::to_string(next), std::to_string(of), std::to_string(delay.count()),
               request_.method(), request_.url(), *reason});
        if (!backOff(delay)) {
            TransferResult cancelled;
            cancelled.cancelled = true;
            failure = errorFor(cancelled);
            break;
        }
    }

    auto self = shared_from_this();
    // The handlers are released after their call: they often hold the operation themselves.
    SuccessHandler success = std::move(success_);
    FailureHandler failed = std::move(failure_);
    uploadProgress_ = nullptr;
    downloadProgress_ = nullptr;
    output_ = nullptr;
    outputRestart_ = nullptr;
    resigner_ = nullptr;
    try {
        if (failure) {
            error_ = failure->share();
            if (failed) {
                failed(self, *failure);
            }
        } else if (success) {
            JSON responseObject;
            if (!responseData_.empty() && isJSONContentType(response_.headers)) {
                responseObject = JSON::parse(responseData_);
            }
            success(self, responseObject);
        }
    } catch (const std::exception& exception) {
        NSLog("Request handler for %@ threw: %@", {request_.url(), std::string(exception.what())});
    }
    finish();
}

void RequestOperation::finish() {
    {
        std::lock_guard lock(finishMutex_);
        state_.store(State::Finished);
    }
    finishedCondition_.notify_all();
}

Error RequestOperation::errorFor(const TransferResult& result) const {
    UserInfo info;
    info[kFailingURLStringErrorKey] = request_.url();
    if (result.statusCode != 0) {
        info[kFailingURLResponseErrorKey] = response_;
        info[kFailingURLResponseDataErrorKey] = responseData_;
    }
    if (result.cancelled) {
        info[kLocalizedDescriptionKey] = std::string("cancelled");
        return Error(kURLErrorDomain, kURLErrorCancelled, std::move(info));
    }
    if (!result.bodyProblem.empty()) {
        info[kLocalizedDescriptionKey] = result.bodyProblem;
        return Error(kCurlErrorDomain, CURLE_READ_ERROR, std::move(info));
    }
    if (result.outputRejected) {
        info[kLocalizedDescriptionKey] = std::string("The downloaded data could not be written");
        return Error(kCurlErrorDomain, CURLE_WRITE_ERROR, std::move(info));
    }
    if (result.curlCode != CURLE_OK) {
        info[kLocalizedDescriptionKey] = result.curlMessage;
        return Error(kCurlErrorDomain, result.curlCode, std::move(info));
    }
    info[kLocalizedDescriptionKey] = std::string("Request failed: ") +
                                     reasonPhrase(result.statusCode) + " (" +
                                     std::to_string(result.statusCode) + ")";
    return Error(kHTTPErrorDomain, result.statusCode, std::move(info));
}

}  // namespace quillon
