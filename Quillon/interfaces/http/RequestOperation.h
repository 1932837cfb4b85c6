// RequestOperation: one HTTP request with retries and its success or failure handler.
// Threads: runs on the thread that starts it (a queue worker); cancel() and the state queries
//   from any thread; configure it before it is added, read its answer after it finished.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/http/CurlHandle.h"
#include "interfaces/http/CurlTransfer.h"
#include "interfaces/http/RetryPolicy.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

// The error of a cancelled operation: NSURLErrorDomain, -999.
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr std::int64_t kURLErrorCancelled = -999;
// Error domains of failed requests: "HTTP" with the status as code for an answer outside
// 200-299, "curl" with libcurl's code for a failure of the transfer itself.
inline constexpr const char* kHTTPErrorDomain = "HTTP";
inline constexpr const char* kCurlErrorDomain = "curl";
// The failed request's URL (text) in a request error.
inline constexpr const char* kFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

// One HTTP request and the handling of its answer. Configure it, then add it to an
// OperationQueue (or start() it); it ends with exactly one call of its success or its failure
// handler, on the thread that ran it. After that, response() and responseData() hold the answer.
// A transient failure (RetryPolicy) sends the same request again after a backoff, up to the
// policy's attempts; each retry is logged. An answer streamed to an output is retried only when
// nothing reached the output yet or the output can be restarted.
class RequestOperation : public std::enable_shared_from_this<RequestOperation> {
  public:
    using Ptr = std::shared_ptr<RequestOperation>;
    // The response object is the body parsed as JSON when the answer is JSON, else null.
    using SuccessHandler = std::function<void(const Ptr& operation, const JSON& responseObject)>;
    using FailureHandler = std::function<void(const Ptr& operation, const Error& error)>;
    // Bytes in this step, total so far, total expected (-1 when unknown).
    using ProgressBlock = TransferHooks::Progress;
    // Receives downloaded bytes of a successful answer as they arrive; false stops the transfer.
    using OutputStream = std::function<bool(const char* data, std::size_t length)>;

    static Ptr create(URLRequest request, SuccessHandler success, FailureHandler failure);

    const URLRequest& request() const { return request_; }

    // Setters are for the time before the operation is added or started.
    void setUploadProgressBlock(ProgressBlock block) { uploadProgress_ = std::move(block); }
    void setDownloadProgressBlock(ProgressBlock block) { downloadProgress_ = std::move(block); }
    void setOutputStream(OutputStream output) { output_ = std::move(output); }
    // The stream must outlive the operation's run. A seekable stream is rewound for a retry.
    void setOutputStream(std::ostream& stream);
    // Makes the output start over before a retry; false when it cannot.
    void setOutputRestart(std::function<bool()> restart) { outputRestart_ = std::move(restart); }
    // Signs the request anew (at SigningClock::now()). With a resigner, a request the service
    // refuses for a clock that is off is signed again after the answer's Date has set the
    // SigningClock, and sent once more; that extra attempt is not counted as a retry.
    using Resigner = std::function<std::optional<URLRequest>(const URLRequest& request)>;
    void setResigner(Resigner resigner) { resigner_ = std::move(resigner); }
    // Sends this window of a file as the request's body.
    void setBodyFileWindow(FileWindowBody window) { request_.setBodyFileWindow(std::move(window)); }
    // Replaces the process-wide retry policy for this operation alone; one attempt hands every
    // failure to the caller, who paces its own retries.
    void setRetryPolicy(const RetryPolicy& policy) { retryPolicy_ = policy; }

    // Ends the operation with one failure (a cancellation error) whether it is waiting in a queue
    // or running; no effect once it has finished.
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    bool isExecuting() const { return state_.load() == State::Executing; }
    // True once its handler has returned.
    bool isFinished() const { return state_.load() == State::Finished; }
    void waitUntilFinished();

    // The answer; read them from a handler or after the operation has finished.
    const HTTPResponse& response() const { return response_; }
    const Bytes& responseData() const { return responseData_; }
    ErrorPtr error() const { return error_; }

    // Runs the request on the calling thread, on a connection of its own.
    void start();
    // Runs the request on the given handle; used by the queue's workers.
    void runOn(CurlHandle& handle);
    // Claims the operation for a queue; false when it was already added or started.
    bool claimForQueue();

  private:
    struct Token {};

  public:
    RequestOperation(Token, URLRequest request, SuccessHandler success, FailureHandler failure);

  private:
    enum class State { Ready, Queued, Executing, Finished };

    Error errorFor(const TransferResult& result) const;
    TransferResult attempt(CurlHandle& handle, const TransferHooks& hooks, int number,
                           int attempts);
    // Waits out a backoff; false when the operation was cancelled meanwhile.
    bool backOff(std::chrono::milliseconds delay);
    void finish();

    URLRequest request_;
    SuccessHandler success_;
    FailureHandler failure_;
    ProgressBlock uploadProgress_;
    ProgressBlock downloadProgress_;
    OutputStream output_;
    std::function<bool()> outputRestart_;
    Resigner resigner_;
    // Seconds to connect, and seconds a transfer may stall (below one byte a second) before it
    // fails.
    static constexpr long kConnectTimeoutSeconds = 30;
    static constexpr long kLowSpeedTimeSeconds = 120;
    std::optional<RetryPolicy> retryPolicy_;

    std::atomic<bool> cancelled_{false};
    std::atomic<State> state_{State::Ready};
    std::mutex finishMutex_;
    std::condition_variable finishedCondition_;
    std::condition_variable cancelledCondition_;

    HTTPResponse response_;
    Bytes responseData_;
    ErrorPtr error_;
};

}  // namespace quillon
