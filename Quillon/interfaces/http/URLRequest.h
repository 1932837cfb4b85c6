// URLRequest: one HTTP request (method, URL, headers, body in memory, shared or a file window).
// Threads: a plain value, not synchronised; one owner changes it, concurrent reads are safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Error.h"

namespace quillon {

// A request body read from a byte window of a file while it is sent, so that a part of a
// multi-GiB archive is never held in memory.
struct FileWindowBody {
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const FileWindowBody&) const = default;
};

// A request body held in memory elsewhere and shared rather than copied: `length` bytes at
// `data`, valid while `owner` lives (a part read once to be hashed and sent, or a mapping of it).
struct SharedBody {
    std::shared_ptr<const void> owner;
    const std::uint8_t* data = nullptr;
    std::uint64_t length = 0;
};

// The pieces of an absolute URL "scheme://host[:port]/path?query"; the path and the query keep
// their percent-encoding as written.
struct URLParts {
    std::string scheme;
    std::string hostName;  // without the port
    std::string port;      // empty when the URL names none
    std::string path;      // "/" when the URL has none
    std::string query;     // without "?"

    // host[:port], as a Host header carries it.
    std::string host() const { return port.empty() ? hostName : hostName + ":" + port; }

    // None when the text has no "scheme://" or no host.
    static std::optional<URLParts> parse(std::string_view url);
};

// One HTTP request: method, absolute URL, header fields and an optional body, either bytes in
// memory or a window of a file.
class URLRequest {
  public:
    URLRequest() = default;
    URLRequest(std::string method, std::string url);

    const std::string& method() const { return method_; }
    const std::string& url() const { return url_; }
    void setURL(std::string url) { url_ = std::move(url); }

    // "host" or "host:port" of the URL; empty when the URL cannot be parsed.
    std::string host() const;
    // The URL's path (percent-encoded as written, "/" when empty) and query text.
    std::string path() const;
    std::string query() const;

    // Header fields. Names ignore letter case. addValue appends to an existing value with ", ",
    // setValue replaces it.
    const HeaderMap& headers() const { return headers_; }
    void addValue(const std::string& value, const std::string& field);
    void setValue(const std::string& value, const std::string& field);
    void removeValue(const std::string& field) { headers_.erase(field); }
    std::optional<std::string> value(const std::string& field) const;

    // The body: bytes in memory, shared bytes, or a file window; each replaces the others.
    const Bytes& body() const { return body_; }
    void setBody(Bytes body);
    void setBody(std::string_view text);
    const std::optional<FileWindowBody>& bodyFileWindow() const { return fileWindow_; }
    void setBodyFileWindow(FileWindowBody window);
    const std::optional<SharedBody>& sharedBody() const { return shared_; }
    void setBodyShared(SharedBody body);
    bool hasBody() const {
        return fileWindow_.has_value() || shared_.has_value() || !body_.empty();
    }
    std::uint64_t bodyLength() const;

  private:
    std::string method_ = "GET";
    std::string url_;
    HeaderMap headers_;
    Bytes body_;
    std::optional<FileWindowBody> fileWindow_;
    std::optional<SharedBody> shared_;
};

}  // namespace quillon
