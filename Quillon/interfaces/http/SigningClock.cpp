// SigningClock: the skew test hook, the learned offset and the Date header. Threads: as in
// SigningClock.h.
#include "interfaces/http/SigningClock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace quillon {

namespace {

std::atomic<std::int64_t>& learnedOffset() {
    static std::atomic<std::int64_t> seconds{0};
    return seconds;
}

std::chrono::seconds testSkew() {
    static const std::chrono::seconds skew = [] {
        const char* text = std::getenv(SigningClock::kTestSkewEnvironment);
        if (text == nullptr) {
            return std::chrono::seconds(0);
        }
        char* end = nullptr;
        const long long value = std::strtoll(text, &end, 10);
        return std::chrono::seconds(end != text && *end == '\0' ? value : 0);
    }();
    return skew;
}

// Seconds since 1970 of `text`, read whole in the strptime `format` as UTC; none otherwise.
std::optional<std::int64_t> utcSeconds(const std::string& text, const char* format) {
    std::tm fields{};
    const char* end = strptime(text.c_str(), format, &fields);
    if (end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    const std::time_t seconds = timegm(&fields);
    if (seconds == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(seconds);
}

// Sets the learned offset so that now() reads `serviceSeconds`; false when there are none.
bool learnServiceSeconds(std::optional<std::int64_t> serviceSeconds) {
    if (!serviceSeconds) {
        return false;
    }
    const auto local = std::chrono::duration_cast<std::chrono::seconds>(
                           SigningClock::localNow().time_since_epoch())
                           .count();
    learnedOffset().store(*serviceSeconds - local);
    return true;
}

}  // namespace

SigningClock::TimePoint SigningClock::localNow() {
    return std::chrono::system_clock::now() + testSkew();
}

SigningClock::TimePoint SigningClock::now() {
    return localNow() + offset();
}

std::optional<std::int64_t> SigningClock::httpDate(const std::string& text) {
    return utcSeconds(text, "%a, %d %b %Y %H:%M:%S GMT");
}

bool SigningClock::learnFrom(const std::string& httpDate) {
    return learnServiceSeconds(SigningClock::httpDate(httpDate));
}

bool SigningClock::learnFromRefusal(const std::string& message) {
    const auto open = message.rfind('(');
    if (open == std::string::npos || message.size() < open + 17) {
        return false;
    }
    return learnServiceSeconds(utcSeconds(message.substr(open + 1, 16), "%Y%m%dT%H%M%SZ"));
}

std::chrono::seconds SigningClock::offset() {
    return std::chrono::seconds(learnedOffset().load());
}

}  // namespace quillon
