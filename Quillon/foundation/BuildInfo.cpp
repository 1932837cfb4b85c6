// BuildInfo: the compiled-in build number and its schema version. Threads: as in BuildInfo.h.
#include "foundation/BuildInfo.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#ifndef QUILLON_BUNDLE_VERSION
#error "QUILLON_BUNDLE_VERSION must be defined by the build"
#endif

namespace quillon {

std::string BuildInfo::bundleVersion() {
    return QUILLON_BUNDLE_VERSION;
}

std::uint32_t BuildInfo::schemaVersion(const std::optional<std::string>& text) {
    constexpr std::uint32_t kFallback = 1;
    if (!text) {
        return kFallback;
    }
    std::string_view last(*text);
    if (auto dot = last.rfind('.'); dot != std::string_view::npos) {
        last.remove_prefix(dot + 1);
    }
    if (!last.empty() && last.front() == '+') {
        last.remove_prefix(1);
    }
    // A negative component, or one beyond the unsigned 32-bit range, cannot be stored as a
    // schema version; it is treated like any other unusable text and gives the fallback 1
    // rather than a wrapped or clamped number that could collide with a real build.
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(last.data(), last.data() + last.size(), value);
    if (last.empty() || error != std::errc() || end != last.data() + last.size() ||
        value > std::numeric_limits<std::uint32_t>::max()) {
        return kFallback;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace quillon
