// Support: the application directory and support log of the process, and small helpers
// (dates, byte counts, ranges, JSON files). Threads: Support is guarded by its mutex and the
// shared instance by another; the helpers keep no state; waitFor pumps the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/JSON.h"
#include "settings/Logger.h"

namespace quillon {

// The application directory and the support log of the process.
class Support {
  public:
    static std::shared_ptr<Support> sharedInstance();
    static void setSharedInstance(std::shared_ptr<Support> support);

    // AppDirectory::path(), created on first read when missing (failures are ignored).
    std::string directory();
    void setDirectory(std::string path);

    // A logger at level verbose writing "support.log" in directory(), created on first read;
    // the file is created when missing.
    std::shared_ptr<Logger> log();

  private:
    std::mutex mutex_;
    std::optional<std::string> directory_;
    std::shared_ptr<Logger> log_;
};

// The current time in seconds since 1970-01-01 UTC: whole seconds (for stored timestamps) and
// with its fraction.
std::int64_t nowSeconds();
double nowSecondsExact();

// The formats in which the service writes dates, in the order they are tried.
inline const std::vector<std::string> kAWSDateFormats = {
    "yyyy-MM-dd'T'HH:mm:ss'Z'",
    "yyyyMMdd'T'HHmmss'Z'",
    "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'",
};

// Dates are seconds since 1970-01-01 UTC. Parses text in UTC with a date pattern made of yyyy,
// MM, dd, HH, mm, ss, SSS (milliseconds), 'quoted' literals and other literal characters; the
// whole text must match and the date must exist. None when it does not fit.
std::optional<double> awsDateFromString(std::string_view text, std::string_view format);
// Tries kAWSDateFormats in order.
std::optional<double> awsDateFromString(std::string_view text);

// "yyyy-MM-dd'T'HH:mm:ss'Z'" in UTC; the fraction of a second is cut off.
std::string iso8601Format(double secondsSince1970);

// A byte count in units of 1024, numbers only ("0 bytes", "1 byte", "1,023 bytes", "1 KB",
// "1.5 MB", "1.25 GB"): the largest unit whose value is at least 1; bytes and KB without
// fraction, MB with at most one and larger units with at most two fraction digits, rounded
// half away from zero and without trailing zeros; a value that rounds up to 1024 moves to the
// next unit. Negative counts carry a leading "-".
std::string bytesFormat(std::int64_t bytes);

class TimeHelper {
  public:
    // None for 0, negative or non-finite intervals; "a_few_seconds" up to 59 seconds; else
    // "%d_minutes" while the rounded hours are 0, otherwise "%d_hours".
    static std::optional<std::string> formatTimeLeft(double interval);
};

// Lower-case hexadecimal SHA-256 of the text (names of lock files and the like).
std::string sha256Hex(std::string_view text);

// The text made literal inside an SQLite GLOB pattern: * ? [ become [*] [?] [[].
std::string dbEscapeGlob(std::string_view text);

// Text before and after the first separator; (text, "") when there is none.
std::pair<std::string, std::string> keyValueSeparatedByString(std::string_view text,
                                                              std::string_view separator);

// "FROM-TO" with decimal integers and FROM < TO; further "-" parts are ignored.
std::optional<std::pair<std::int64_t, std::int64_t>> extractRange(std::string_view text);

// The file's contents as JSON (fragments allowed). Throws FileError (the file error for the
// path) when the file cannot be read, and the parser's nlohmann::json::parse_error when the
// contents are not JSON.
JSON readJSON(const std::string& path);

// Writes the text (and "\n" when asked) to standard error.
void printStderr(const std::string& text, bool appendNewline = true);

// Pumps the main queue in steps of 0.1 seconds until the flag is true; prints a "." per step
// when `progress` is set. Returns true. Waits without bound: callers must make sure the flag
// gets set.
bool waitFor(const std::atomic<bool>& flag, bool progress = false);

}  // namespace quillon
