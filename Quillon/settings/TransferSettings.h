// TransferSettings: puts the user's transfer preferences into effect in the HTTP layer: the
// total upload and download rates (when their limits are on) and the attempts per request.
// Threads: the thread that owns the preferences, before requests start.
#pragma once

#include <cstdint>
#include <optional>

#include "settings/Preferences.h"

namespace quillon {

struct TransferSettings {
    // The user default with the attempts per request for transient failures.
    static constexpr const char* kRetryAttemptsKey = "maxRetryAttempts";

    // The attempts stored under kRetryAttemptsKey, else the default.
    static std::int64_t retryAttempts();
    // `attempts`, when given, wins over the stored value.
    static void apply(const Preferences& preferences, std::optional<int> attempts = {});
};

}  // namespace quillon
