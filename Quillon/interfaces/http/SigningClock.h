// SigningClock: the time at which requests are signed, kept close to the service's own clock.
// Threads: any thread; the learned offset is one atomic value.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quillon {

// The service refuses a request signed more than 15 minutes away from its own time. Requests
// are signed at SigningClock::now(): the local clock plus the offset learned from the "Date"
// header of an answer that refused a request for that reason (then the request is signed anew
// and sent once more, as the service's SDKs do). Unlike an account region's ServiceClock (the
// service's time that pacing reads, learnt from every answer), this offset moves only when a
// signature was refused: a service whose business clock runs ahead (a simulator's) still checks
// signatures against the real time.
class SigningClock {
  public:
    using TimePoint = std::chrono::system_clock::time_point;

    // Test hook: the local clock as this process reads it runs this many seconds ahead
    // (negative: behind), so that a test can play a computer whose clock is wrong.
    static constexpr const char* kTestSkewEnvironment = "QUILLON_TEST_CLOCK_SKEW_SECONDS";

    SigningClock() = delete;

    // The local clock (with the test hook's skew).
    static TimePoint localNow();
    // The service's time as far as it is known: localNow() plus the learned offset.
    static TimePoint now();
    // Seconds since 1970 of an HTTP date (RFC 1123, "Mon, 07 Dec 2026 11:43:02 GMT"); none
    // when the text is no such date.
    static std::optional<std::int64_t> httpDate(const std::string& text);
    // Learns the offset from an answer's "Date" header (RFC 1123, "Mon, 07 Dec 2026 11:43:02
    // GMT"); false when the text is no such date.
    static bool learnFrom(const std::string& httpDate);
    // Learns the offset from the service's refusal text when the answer has no Date: "Signature
    // expired: 20261207T131914Z is now earlier than 20261207T132414Z (20261207T133914Z - 15
    // min.)" names the service's time in the parentheses. False when the text names none.
    static bool learnFromRefusal(const std::string& message);
    // The learned offset (the service's time minus the local one).
    static std::chrono::seconds offset();
};

}  // namespace quillon
