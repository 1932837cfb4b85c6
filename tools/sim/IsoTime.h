// IsoTime: dates in the service's ISO 8601 form. Threads: no shared state; safe from any thread.
#pragma once

#include <chrono>
#include <string>

namespace quillon::sim {

using TimePoint = std::chrono::system_clock::time_point;

// Dates as the service writes them: "2026-01-31T12:00:00.000Z".
class IsoTime {
  public:
    static std::string format(TimePoint time);
    static std::string now() { return format(std::chrono::system_clock::now()); }
};

}  // namespace quillon::sim
