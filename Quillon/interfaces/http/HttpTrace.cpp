// HttpTrace: the trace lines and their redaction. Threads: as in HttpTrace.h; the sink runs
// under the trace's mutex, so it must not trace itself.
#include "interfaces/http/HttpTrace.h"

#include <strings.h>

#include <memory>
#include <mutex>

namespace quillon {

namespace {

constexpr const char* kRedacted = "<redacted>";

struct TraceState {
    std::mutex mutex;
    std::shared_ptr<const HttpTrace::Sink> sink;
    std::atomic<bool> on{false};
};

TraceState& state() {
    static TraceState shared;
    return shared;
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
    auto& shared = state();
    std::lock_guard lock(shared.mutex);
    shared.on.store(static_cast<bool>(sink));
    shared.sink = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
}

bool HttpTrace::enabled() {
    return state().on.load();
}

void HttpTrace::write(const std::string& text) {
    auto& shared = state();
    std::lock_guard lock(shared.mutex);
    if (!shared.sink) {
        return;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        (*shared.sink)("[http] " + text.substr(start, end - start));
        start = end + 1;
    }
}

void HttpTrace::request(const URLRequest& request, int attempt, int attempts) {
    if (!enabled()) {
        return;
    }
    write("> " + request.method() + " " + request.url() + " (attempt " + std::to_string(attempt) +
          " of " + std::to_string(attempts) + ", " + std::to_string(request.bodyLength()) +
          " body bytes)\n" + headerLines(">", request.headers()));
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
    write("! retry " + std::to_string(attempt) + " of " + std::to_string(attempts) + " of " + url +
          " in " + std::to_string(delay.count()) + " ms: " + reason);
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
