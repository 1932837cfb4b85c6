// TransferSettings: rate limits and retry attempts set from the preferences. Threads: as in
// TransferSettings.h.
#include "settings/TransferSettings.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "interfaces/http/RateLimiter.h"
#include "interfaces/http/RetryPolicy.h"
#include "interfaces/platform/UserDefaults.h"
#include "settings/Preferences.h"

namespace quillon {

namespace {

constexpr std::int64_t kKiB = 1024;

}  // namespace

std::int64_t TransferSettings::retryAttempts() {
    const std::int64_t stored = UserDefaults::standard()->integer(kRetryAttemptsKey);
    return stored >= 1 ? stored : RetryPolicy::kDefaultAttempts;
}

void TransferSettings::apply(const Preferences& preferences, std::optional<int> attempts) {
    // A stored limit below 1 KiB/s (written by hand, or by an older build) would stall every
    // transfer; it counts as no limit.
    auto rate = [](bool limited, std::int64_t kibPerSecond) {
        return limited && kibPerSecond >= 1 ? kibPerSecond * kKiB : 0;
    };
    RateLimiter::uploads().setRate(
        rate(preferences.hasUploadSpeedLimit, preferences.maxUploadSpeed));
    RateLimiter::downloads().setRate(
        rate(preferences.hasDownloadSpeedLimit, preferences.maxDownloadSpeed));
    RetryPolicy policy = RetryPolicy::current();
    policy.attempts = static_cast<int>(std::clamp<std::int64_t>(
        attempts ? static_cast<std::int64_t>(*attempts) : retryAttempts(), 1, 100));
    RetryPolicy::setCurrent(policy);
}

}  // namespace quillon
