// TransferSettings: rate limits and retry attempts set from the preferences. Threads: as in
// TransferSettings.h.
#include "settings/TransferSettings.h"

#include <algorithm>

#include "interfaces/http/RateLimiter.h"
#include "interfaces/http/RetryPolicy.h"
#include "interfaces/platform/UserDefaults.h"

namespace quillon {

namespace {

constexpr std::int64_t kKiB = 1024;

}  // namespace

std::int64_t TransferSettings::retryAttempts() {
    const std::int64_t stored = UserDefaults::standard()->integer(kRetryAttemptsKey);
    return stored >= 1 ? stored : RetryPolicy::kDefaultAttempts;
}

void TransferSettings::apply(const Preferences& preferences, std::optional<int> attempts) {
    RateLimiter::uploads().setRate(preferences.hasUploadSpeedLimit
                                       ? std::max<std::int64_t>(1, preferences.maxUploadSpeed) *
                                             kKiB
                                       : 0);
    RateLimiter::downloads().setRate(preferences.hasDownloadSpeedLimit
                                         ? std::max<std::int64_t>(1, preferences.maxDownloadSpeed) *
                                               kKiB
                                         : 0);
    RetryPolicy policy = RetryPolicy::current();
    policy.attempts = static_cast<int>(std::clamp<std::int64_t>(
        attempts ? static_cast<std::int64_t>(*attempts) : retryAttempts(), 1, 100));
    RetryPolicy::setCurrent(policy);
}

}  // namespace quillon
