// HttpMessage: one HTTP request as the simulator receives it and the answer it builds: the raw
// request target and header values exactly as sent, and a response body that is either text or
// produced while it goes out.
// Threads: plain values; each belongs to the one connection thread that serves the request.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "sim/BlobPart.h"

namespace quillon::sim {

// Header fields in the order received, names compared without regard to case.
using HeaderList = std::multimap<std::string, std::string, CaseInsensitiveLess>;

struct HttpRequest {
    std::string method;
    std::string target;  // the request line's target, not decoded
    HeaderList headers;  // values as sent, only the surrounding blanks removed

    // The first value of the header; empty when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return headers.count(name) > 0; }
};

// Hands the request body to the sink piece by piece, once; false when the connection failed
// or the sink refused a piece.
using BodyReader = std::function<bool(const ByteSink& sink)>;

struct HttpResponse {
    // How much of the answer leaves before the connection is closed.
    enum class Delivery {
        Whole,     // all of it, and the connection stays open when the client asks so
        Nothing,   // not a byte: the connection closes without an answer
        HalfBody,  // status, headers announcing the whole body, half the body, then the close
    };
    // A body produced on the way out: hands `length` bytes to the sink; false on failure.
    using BodyWriter = std::function<bool(const ByteSink& sink)>;

    int status = 200;
    HeaderList headers;
    std::string body;
    std::optional<uint64_t> streamLength;  // set with `writer` instead of `body`
    BodyWriter writer;
    Delivery delivery = Delivery::Whole;

    std::string header(const std::string& name) const;
    // Replaces every value of the header.
    void setHeader(const std::string& name, const std::string& value);
    void eraseHeader(const std::string& name) { headers.erase(name); }
    void setContent(std::string text, const std::string& contentType);
    void setStream(uint64_t length, const std::string& contentType, BodyWriter bodyWriter);
    uint64_t contentLength() const { return streamLength ? *streamLength : body.size(); }
};

}  // namespace quillon::sim
