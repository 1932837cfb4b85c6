// SigningClock: the skew test hook, the learned offset and the Date header. Threads: as in
// SigningClock.h.
#include "interfaces/http/SigningClock.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>

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

}  // namespace

SigningClock::TimePoint SigningClock::localNow() {
    return std::chrono::system_clock::now() + testSkew();
}

SigningClock::TimePoint SigningClock::now() {
    return localNow() + offset();
}

bool SigningClock::learnFrom(const std::string& httpDate) {
    std::tm fields{};
    const char* end = strptime(httpDate.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &fields);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    const std::time_t serviceSeconds = timegm(&fields);
    if (serviceSeconds == static_cast<std::time_t>(-1)) {
        return false;
    }
    const auto local =
        std::chrono::duration_cast<std::chrono::seconds>(localNow().time_since_epoch()).count();
    learnedOffset().store(static_cast<std::int64_t>(serviceSeconds) - local);
    return true;
}

bool SigningClock::learnFromRefusal(const std::string& message) {
    const auto open = message.rfind('(');
    if (open == std::string::npos || message.size() < open + 17) {
        return false;
    }
    std::tm fields{};
    const std::string stamp = message.substr(open + 1, 16);
    const char* end = strptime(stamp.c_str(), "%Y%m%dT%H%M%SZ", &fields);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    const std::time_t serviceSeconds = timegm(&fields);
    if (serviceSeconds == static_cast<std::time_t>(-1)) {
        return false;
    }
    const auto local =
        std::chrono::duration_cast<std::chrono::seconds>(localNow().time_since_epoch()).count();
    learnedOffset().store(static_cast<std::int64_t>(serviceSeconds) - local);
    return true;
}

std::chrono::seconds SigningClock::offset() {
    return std::chrono::seconds(learnedOffset().load());
}

}  // namespace quillon
