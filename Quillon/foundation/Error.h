// Error: the platform error object (domain, code, user info) and the HTTP response it may carry.
// Threads: a plain value, not synchronised; one owner mutates it. ErrorPtr shares a const copy
//   that any thread may read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillon {

class Error;
using ErrorPtr = std::shared_ptr<const Error>;

// Header fields whose lookups ignore letter case, as HTTP header names do.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using HeaderMap = std::map<std::string, std::string, CaseInsensitiveLess>;

// The HTTP response a failed request carries in its error.
struct HTTPResponse {
    long statusCode = 0;
    std::string url;
    HeaderMap headers;
    bool operator==(const HTTPResponse&) const = default;
};

// A user-info value: text, integer, boolean, null, a nested error, raw bytes or an HTTP response.
struct NullValue {
    bool operator==(const NullValue&) const = default;
};
using Bytes = std::vector<std::uint8_t>;
using UserInfoValue =
    std::variant<NullValue, std::string, std::int64_t, bool, ErrorPtr, Bytes, HTTPResponse>;
using UserInfo = std::map<std::string, UserInfoValue>;

// User-info keys shared by every layer.
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
// Set by the HTTP client on a failed request: the response (HTTPResponse) and its body (Bytes).
inline constexpr const char* kFailingURLResponseErrorKey = "FailingURLResponse";
inline constexpr const char* kFailingURLResponseDataErrorKey = "FailingURLResponseData";

// The platform error object: a domain, an integer code and a user-info dictionary.
class Error {
  public:
    Error() = default;
    Error(std::string domain, std::int64_t code, UserInfo userInfo = {});

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const UserInfo& userInfo() const { return userInfo_; }

    // The text under the localised-description key, or a generic text naming domain and code.
    std::string localizedDescription() const;

    // Typed readers of user-info entries; none when the key is missing or holds another kind.
    const UserInfoValue* find(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<bool> boolForKey(const std::string& key) const;
    ErrorPtr errorForKey(const std::string& key) const;
    std::optional<Bytes> bytesForKey(const std::string& key) const;
    std::optional<HTTPResponse> responseForKey(const std::string& key) const;

    // The value under "canAutoRetry" when it is a real boolean; none otherwise.
    std::optional<bool> canAutoRetry() const;
    bool isNoFileAccessError() const { return code_ == 10; }
    bool isResourceNotFoundExceptionErrorCode() const { return code_ == 404; }

    ErrorPtr share() const { return std::make_shared<Error>(*this); }

  private:
    std::string domain_;
    std::int64_t code_ = 0;
    UserInfo userInfo_;
};

}  // namespace quillon
