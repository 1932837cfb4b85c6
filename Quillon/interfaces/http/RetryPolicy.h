// RetryPolicy: which failed requests are worth sending again and how long to wait before each
// new attempt (exponential backoff with full jitter).
// Threads: any thread; the process-wide policy is read and replaced under a lock, and each policy
//   is a plain value: a request takes a copy when it starts.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "foundation/Error.h"

namespace quillon {

struct RetryPolicy {
    static constexpr int kDefaultAttempts = 5;
    // Overrides the base delay in milliseconds (tests set it low so they never wait long); the
    // throttling delays scale with it (10 and 200 times the base).
    static constexpr const char* kBaseDelayEnvironment = "QUILLON_RETRY_BASE_MS";

    int attempts = kDefaultAttempts;  // attempts per request, the first one included
    std::chrono::milliseconds baseDelay{100};
    std::chrono::milliseconds maxDelay{20000};
    // Throttling ("slow down") is waited out longer, on an allowance of its own that the other
    // failures do not use up: from about throttleBaseDelay, doubling up to throttleMaxDelay,
    // each wait between half its step and the whole step. Twelve such retries outlast a storm
    // of a few minutes; the first five already wait at least 15 s in all.
    int throttledRetries = 12;
    std::chrono::milliseconds throttleBaseDelay{1000};
    std::chrono::milliseconds throttleMaxDelay{20000};

    // The policy every new request uses: the defaults with the environment's base delay until
    // setCurrent() replaces it.
    static RetryPolicy current();
    static void setCurrent(const RetryPolicy& policy);

    // Why a failed request may succeed when sent again (throttling, a 5xx answer, a refused,
    // reset, timed-out or cut-short connection); none for a failure that would only repeat.
    static std::optional<std::string> transientReason(const Error& error);
    // Whether the service asked to slow down (429, or a throttling code with a 4xx status).
    static bool isThrottling(const Error& error);
    // The reason to send this request again: a transient failure, except that a POST (which
    // may have stored something: an archive, a job) is repeated after a broken connection only
    // when the connection was never made. An answered error stored nothing.
    static std::optional<std::string> retryReason(const std::string& method, const Error& error);

    // Whether the service refused the request as signed too far from its own time.
    static bool isClockSkew(const Error& error);
    // The "message" of the service's error body, or "".
    static std::string serviceMessage(const Error& error);

    // The wait before retry number `retry` (1 for the second attempt): uniform in
    // [0, min(maxDelay, baseDelay * 2^(retry-1))].
    std::chrono::milliseconds delayBeforeRetry(int retry) const;
    // The wait before the `throttled`-th retry after throttling: uniform in [step/2, step],
    // step = min(throttleMaxDelay, throttleBaseDelay * 2^(throttled-1)).
    std::chrono::milliseconds delayBeforeThrottledRetry(int throttled) const;
};

}  // namespace quillon
