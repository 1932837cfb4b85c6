// Exchange: one service request and its response as the handlers see them.
// Threads: not thread-safe; belongs to the one connection thread that serves the request.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/BlobPart.h"
#include "sim/HttpMessage.h"

namespace quillon::sim {

// One service request and its response, with the request's path segments and query
// taken from the raw target (the server's own parameters mix in form bodies).
class Exchange {
  public:
    Exchange(const HttpRequest& request, HttpResponse& response, BodyReader reader,
             std::string region);

    const std::string& method() const { return request_.method; }
    const std::string& target() const { return request_.target; }
    const std::string& region() const { return region_; }
    const std::vector<std::string>& segments() const { return segments_; }
    bool hasQuery(const std::string& name) const { return query_.count(name) > 0; }
    std::string query(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return request_.hasHeader(name); }
    std::string header(const std::string& name) const;
    const HeaderList& headers() const { return request_.headers; }

    // Streams the body to `sink` once; later calls see nothing more.
    bool readBody(const ByteSink& sink);
    // The whole body, read on first use.
    const std::string& body();
    bool bodyRead() const { return bodyRead_; }
    // Hex SHA-256 of the whole body, which it reads on first use; empty once the body went to
    // readBody() (a streamed body is hashed where it goes).
    std::string bodyHash();
    void drainBody();

    void error(int status, const std::string& code, const std::string& message,
               const std::string& type = "Client");
    void json(int status, const nlohmann::ordered_json& document);
    void empty(int status);
    void setHeader(const std::string& name, const std::string& value);
    HttpResponse& response() { return response_; }

  private:
    const HttpRequest& request_;
    HttpResponse& response_;
    BodyReader reader_;
    std::string region_;
    std::vector<std::string> segments_;
    std::multimap<std::string, std::string> query_;
    bool bodyRead_ = false;
    bool bodyBuffered_ = false;
    std::string body_;
    std::string bodyHash_;
};

}  // namespace quillon::sim
