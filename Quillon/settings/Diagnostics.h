// Diagnostics: where a front end receives what the library says on the side: its console
// diagnostics (retries, skipped work, migrations) and the trace of every request sent.
// Threads: any thread. A sink is called from whatever thread logs or sends, with no lock held,
//   so it keeps its own lines whole; replacing one returns once no call of the old one is under
//   way.
#pragma once

#include <functional>
#include <string>

namespace quillon {

class Diagnostics {
  public:
    using Sink = std::function<void(const std::string& lines)>;

    // Each time-stamped diagnostic line; an empty sink sends them to standard error again.
    static void setLogSink(Sink sink);
    // The request trace (method, URL, headers, status, time; signatures and tokens redacted);
    // an empty sink turns the trace off.
    static void setTraceSink(Sink sink);

    // One diagnostic line of the front end's own, time-stamped like the library's.
    static void log(const std::string& line);

    // The URL as diagnostics show it: a password written in it replaced by "<redacted>".
    static std::string redactedURL(const std::string& url);
};

}  // namespace quillon
