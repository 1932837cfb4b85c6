// IsoTime: service and HTTP date formatting (gmtime_r). Threads: as in IsoTime.h.
#include "sim/IsoTime.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace quillon::sim {

namespace {

std::tm utcParts(TimePoint time) {
    std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    return parts;
}

}  // namespace

std::string IsoTime::format(TimePoint time) {
    auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    std::tm parts = utcParts(time);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis % 1000));
    return text;
}

std::string IsoTime::httpDate(TimePoint time) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm parts = utcParts(time);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[parts.tm_wday],
                  parts.tm_mday, kMonths[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return text;
}

TimePoint IsoTime::midnightOf(TimePoint time) {
    return std::chrono::floor<std::chrono::days>(time);
}

}  // namespace quillon::sim
