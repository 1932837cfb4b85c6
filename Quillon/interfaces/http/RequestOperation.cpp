#include "interfaces/http/RequestOperation.h"

#include <exception>
#include <ostream>

#include "interfaces/base/ConsoleLog.h"

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
    output_ = [&stream](const char* data, std::size_t length) {
        stream.write(data, static_cast<std::streamsize>(length));
        return static_cast<bool>(stream);
    };
}

void RequestOperation::setTimeouts(long connectSeconds, long lowSpeedSeconds) {
    connectTimeoutSeconds_ = connectSeconds;
    lowSpeedTimeSeconds_ = lowSpeedSeconds;
}

void RequestOperation::cancel() {
    cancelled_.store(true);
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
    TransferHooks hooks;
    hooks.uploadProgress = uploadProgress_;
    hooks.downloadProgress = downloadProgress_;
    hooks.output = output_;
    hooks.cancelled = &cancelled_;
    hooks.connectTimeoutSeconds = connectTimeoutSeconds_;
    hooks.lowSpeedTimeSeconds = lowSpeedTimeSeconds_;

    TransferResult result = CurlTransfer(handle, request_, hooks).perform();
    response_.statusCode = result.statusCode;
    response_.url = request_.url();
    response_.headers = std::move(result.headers);
    responseData_ = std::move(result.body);

    const bool failed = result.cancelled || result.curlCode != CURLE_OK ||
                        result.statusCode < 200 || result.statusCode > 299;
    auto self = shared_from_this();
    // The handlers are released after their call: they often hold the operation themselves.
    SuccessHandler success = std::move(success_);
    FailureHandler failure = std::move(failure_);
    uploadProgress_ = nullptr;
    downloadProgress_ = nullptr;
    output_ = nullptr;
    try {
        if (failed) {
            Error error = errorFor(result);
            error_ = error.share();
            if (failure) {
                failure(self, error);
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
