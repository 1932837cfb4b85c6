// URLRequest: URL parsing, header edits and the body. Threads: as in URLRequest.h.
#include "interfaces/http/URLRequest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Error.h"

namespace quillon {

std::optional<URLParts> URLParts::parse(std::string_view url) {
    auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos || schemeEnd == 0) {
        return std::nullopt;
    }
    URLParts parts;
    parts.scheme = std::string(url.substr(0, schemeEnd));
    std::string_view rest = url.substr(schemeEnd + 3);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        rest = rest.substr(0, hash);
    }
    auto authorityEnd = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail =
        authorityEnd == std::string_view::npos ? std::string_view{} : rest.substr(authorityEnd);
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority = authority.substr(at + 1);
    }
    // A bracketed IPv6 literal holds colons of its own.
    auto portColon = authority.rfind(':');
    if (portColon != std::string_view::npos &&
        authority.find(']', portColon) == std::string_view::npos) {
        parts.hostName = std::string(authority.substr(0, portColon));
        parts.port = std::string(authority.substr(portColon + 1));
    } else {
        parts.hostName = std::string(authority);
    }
    if (parts.hostName.empty()) {
        return std::nullopt;
    }
    auto question = tail.find('?');
    parts.path = std::string(tail.substr(0, question));
    if (question != std::string_view::npos) {
        parts.query = std::string(tail.substr(question + 1));
    }
    if (parts.path.empty()) {
        parts.path.push_back('/');  // not `= "/"`: g++ 12 warns -Wrestrict on that falsely
    }
    return parts;
}

URLRequest::URLRequest(std::string method, std::string url)
    : method_(std::move(method)), url_(std::move(url)) {}

std::string URLRequest::host() const {
    auto parts = URLParts::parse(url_);
    return parts ? parts->host() : std::string();
}

std::string URLRequest::path() const {
    auto parts = URLParts::parse(url_);
    return parts ? parts->path : std::string("/");
}

std::string URLRequest::query() const {
    auto parts = URLParts::parse(url_);
    return parts ? parts->query : std::string();
}

void URLRequest::addValue(const std::string& value, const std::string& field) {
    auto it = headers_.find(field);
    if (it == headers_.end()) {
        headers_.emplace(field, value);
    } else {
        it->second += ", " + value;
    }
}

void URLRequest::setValue(const std::string& value, const std::string& field) {
    headers_.erase(field);
    headers_.emplace(field, value);
}

std::optional<std::string> URLRequest::value(const std::string& field) const {
    auto it = headers_.find(field);
    if (it == headers_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void URLRequest::setBody(Bytes body) {
    body_ = std::move(body);
    fileWindow_.reset();
    shared_.reset();
}

void URLRequest::setBody(std::string_view text) {
    setBody(Bytes(text.begin(), text.end()));
}

void URLRequest::setBodyFileWindow(FileWindowBody window) {
    fileWindow_ = std::move(window);
    body_.clear();
    shared_.reset();
}

void URLRequest::setBodyShared(SharedBody body) {
    shared_ = std::move(body);
    body_.clear();
    fileWindow_.reset();
}

std::uint64_t URLRequest::bodyLength() const {
    if (shared_) {
        return shared_->length;
    }
    return fileWindow_ ? fileWindow_->length : body_.size();
}

}  // namespace quillon
