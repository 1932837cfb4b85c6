// IsoTime: dates in the service's forms. Threads: no shared state; safe from any thread.
#pragma once

#include <chrono>
#include <string>

namespace quillon::sim {

using TimePoint = std::chrono::system_clock::time_point;

class IsoTime {
  public:
    // As the service writes dates in its documents: "2026-01-31T12:00:00.000Z".
    static std::string format(TimePoint time);
    // As HTTP's Date header carries them: "Sat, 31 Jan 2026 12:00:00 GMT".
    static std::string httpDate(TimePoint time);
    // The last midnight UTC at or before `time`.
    static TimePoint midnightOf(TimePoint time);
};

}  // namespace quillon::sim
