// HttpRequest/HttpResponse: header lookup and body setup. Threads: as in HttpMessage.h.
#include "sim/HttpMessage.h"

#include <cstdint>
#include <string>
#include <utility>

namespace quillon::sim {

namespace {

std::string first(const HeaderList& headers, const std::string& name) {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

}  // namespace

std::string HttpRequest::header(const std::string& name) const {
    return first(headers, name);
}

std::string HttpResponse::header(const std::string& name) const {
    return first(headers, name);
}

void HttpResponse::setHeader(const std::string& name, const std::string& value) {
    headers.erase(name);
    headers.emplace(name, value);
}

void HttpResponse::setContent(std::string text, const std::string& contentType) {
    body = std::move(text);
    streamLength.reset();
    writer = nullptr;
    setHeader("Content-Type", contentType);
}

void HttpResponse::setStream(uint64_t length, const std::string& contentType,
                             BodyWriter bodyWriter) {
    body.clear();
    streamLength = length;
    writer = std::move(bodyWriter);
    setHeader("Content-Type", contentType);
}

}  // namespace quillon::sim
