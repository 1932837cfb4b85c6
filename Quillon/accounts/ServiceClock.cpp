// ServiceClock: reading HTTP dates and keeping the offset. Threads: as in ServiceClock.h.
#include "accounts/ServiceClock.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <string>

#include "foundation/Support.h"

namespace quillon {

std::optional<double> ServiceClock::httpDate(std::string_view text) {
    // RFC 7231's preferred form: "Sun, 06 Nov 1994 08:49:37 GMT".
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string copy(text);
    std::array<char, 4> weekday{};
    std::array<char, 4> month{};
    std::array<char, 4> zone{};
    int day = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (std::sscanf(copy.c_str(), "%3s, %d %3s %d %d:%d:%d %3s", weekday.data(), &day, month.data(),
                    &year, &hour, &minute, &second, zone.data()) != 8 ||
        std::string(zone.data()) != "GMT") {
        return std::nullopt;
    }
    std::tm parts{};
    parts.tm_mon = -1;
    for (std::size_t index = 0; index < kMonths.size(); ++index) {
        if (std::string(month.data()) == kMonths[index]) {
            parts.tm_mon = static_cast<int>(index);
        }
    }
    if (parts.tm_mon < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    parts.tm_mday = day;
    parts.tm_year = year - 1900;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return static_cast<double>(timegm(&parts));
}

void ServiceClock::observe(const HeaderMap& headers) {
    auto found = headers.find("Date");
    if (found == headers.end()) {
        return;
    }
    if (auto date = httpDate(found->second)) {
        // The header is cut to whole seconds: the middle of that second is the best guess.
        std::lock_guard lock(mutex_);
        offset_ = *date + 0.5 - nowSecondsExact();
    }
}

void ServiceClock::observeAtLeast(double serviceSeconds) {
    std::lock_guard lock(mutex_);
    const double offset = serviceSeconds - nowSecondsExact();
    if (offset > offset_) {
        offset_ = offset;
    }
}

double ServiceClock::now() const {
    std::lock_guard lock(mutex_);
    return nowSecondsExact() + offset_;
}

double ServiceClock::offset() const {
    std::lock_guard lock(mutex_);
    return offset_;
}

}  // namespace quillon
