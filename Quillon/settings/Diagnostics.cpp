// Diagnostics: the front end's hold on the console log and the request trace. Threads: as in
// Diagnostics.h.
#include "settings/Diagnostics.h"

#include <string>
#include <utility>

#include "interfaces/base/ConsoleLog.h"
#include "interfaces/http/HttpTrace.h"

namespace quillon {

void Diagnostics::setLogSink(Sink sink) {
    ConsoleLog::setSink(std::move(sink));
}

void Diagnostics::setTraceSink(Sink sink) {
    HttpTrace::setSink(std::move(sink));
}

void Diagnostics::log(const std::string& line) {
    ConsoleLog::log("%@", {line});
}

std::string Diagnostics::redactedURL(const std::string& url) {
    return HttpTrace::redactedURL(url);
}

}  // namespace quillon
