// ConsoleLog: the plain console log (standard error, or a sink a test or front end installs).
// Threads: any thread. The sink is called with no lock held, from whatever thread logs, so it
//   keeps its own lines whole; setSink() returns once no call of the old sink is under way.
#pragma once

#include <functional>
#include <string>

#include "interfaces/text/Format.h"

namespace quillon {

// The platform's plain console log: one formatted line to standard error with a time stamp.
// Tests (and front ends) may install a sink that receives each formatted line instead.
class ConsoleLog {
  public:
    using Sink = std::function<void(const std::string& line)>;

    static void log(const std::string& format, const FormatArgs& args = {});
    // Replaces the destination; an empty sink restores standard error. Returns the old sink.
    static Sink setSink(Sink sink);
};

// Shorthand: NSLog("Run DB migration 1.0 %@", {path}).
inline void NSLog(const std::string& format, const FormatArgs& args = {}) {
    ConsoleLog::log(format, args);
}

}  // namespace quillon
