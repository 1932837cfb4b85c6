// HttpTrace: the trace lines and their redaction. Threads: as in HttpTrace.h; the sink is
// called with no lock held.
#include "interfaces/http/HttpTrace.h"

#include <strings.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "interfaces/base/CallbackSlot.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

namespace {

constexpr const char* kRedacted = "<redacted>";

CallbackSlot<const std::string&>& sinkSlot() {
    static CallbackSlot<const std::string&> slot;
    return slot;
}

std::string headerLines(const char* marker, const HeaderMap& headers) {
    std::string text;
    for (const auto& [name, value] : headers) {
        text += std::string(marker) + "   " + name + ": " + HttpTrace::redacted(name, value) + "\n";
    }
    return text;
}

}  // namespace

void HttpTrace::setSink(Sink sink) {
    sinkSlot().set(std::move(sink));
}

bool HttpTrace::enabled() {
    return sinkSlot().isSet();
}

void HttpTrace::write(const std::string& text) {
    // One call with every line of the event, so that the lines of concurrent workers never mix.
    std::string lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines +=
            (lines.empty() ? "" : "\n") + std::string("[http] ") + text.substr(start, end - start);
        start = end + 1;
    }
    sinkSlot().call(lines);
}

void HttpTrace::request(const URLRequest& request, int attempt, int attempts) {
    if (!enabled()) {
        return;
    }
    write("> " + request.method() + " " + redactedURL(request.url()) + " (attempt " +
          std::to_string(attempt) + " of " + std::to_string(attempts) + ", " +
          std::to_string(request.bodyLength()) + " body bytes)\n" +
          headerLines(">", request.headers()));
}

void HttpTrace::response(long status, const HeaderMap& headers, std::chrono::milliseconds elapsed,
                         const std::string& failure, long connectionsOpened) {
    if (!enabled()) {
        return;
    }
    std::string head = status != 0 ? "< " + std::to_string(status) : std::string("< no answer");
    head += " in " + std::to_string(elapsed.count()) + " ms";
    head += connectionsOpened > 0 ? ", new connection" : ", connection reused";
    if (!failure.empty()) {
        head += ": " + failure;
    }
    write(head + "\n" + headerLines("<", headers));
}

void HttpTrace::retry(const std::string& url, int attempt, int attempts,
                      std::chrono::milliseconds delay, const std::string& reason) {
    if (!enabled()) {
        return;
    }
    write("! retry " + std::to_string(attempt) + " of " + std::to_string(attempts) + " of " +
          redactedURL(url) + " in " + std::to_string(delay.count()) + " ms: " + reason);
}

std::string HttpTrace::redactedURL(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    const auto authorityEnd = url.find_first_of("/?#", scheme + 3);
    const auto at = url.rfind('@', authorityEnd == std::string::npos ? url.size() : authorityEnd);
    if (at == std::string::npos || at < scheme + 3) {
        return url;
    }
    const auto colon = url.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at) {
        return url;
    }
    return url.substr(0, colon + 1) + kRedacted + url.substr(at);
}

std::string HttpTrace::redacted(const std::string& name, const std::string& value) {
    if (strcasecmp(name.c_str(), "x-amz-security-token") == 0) {
        return kRedacted;
    }
    if (strcasecmp(name.c_str(), "Authorization") == 0) {
        const std::string key = "Signature=";
        auto at = value.find(key);
        if (at == std::string::npos) {
            // Not the form we sign with: nothing of it can be shown safely.
            auto space = value.find(' ');
            return (space == std::string::npos ? std::string() : value.substr(0, space + 1)) +
                   kRedacted;
        }
        auto end = value.find_first_of(", ", at);
        return value.substr(0, at + key.size()) + kRedacted +
               (end == std::string::npos ? std::string() : value.substr(end));
    }
    return value;
}

}  // namespace quillon
