// SignedClient: requests to the simulator signed by libcurl's own version 4 signer.
// Threads: a plain value; send() may run on any thread (a curl handle of its own each time).
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quillon::testing {

struct HttpAnswer {
    long status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // names as received
    std::string transportError;                                // set when curl failed

    // Case-insensitive lookup; empty when absent.
    std::string header(const std::string& name) const;
    bool hasExactHeader(const std::string& name) const;
    nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

// Requests signed by libcurl's own Signature Version 4 implementation, so the simulator
// is checked against a signer that owes nothing to our code.
class SignedClient {
  public:
    SignedClient(std::string baseURL, std::string region, std::string accessKey,
                 std::string secretKey);
    // A client that signs nothing and adds no header of its own: the request goes out with
    // the given headers only.
    static SignedClient plain(std::string baseURL) {
        return SignedClient(std::move(baseURL), "", "", "");
    }

    HttpAnswer send(const std::string& method, const std::string& path,
                    const std::string& body = "",
                    const std::vector<std::string>& headers = {}) const;
    HttpAnswer get(const std::string& path) const { return send("GET", path); }

  private:
    std::string baseURL_;
    std::string region_;
    std::string accessKey_;
    std::string secretKey_;
};

}  // namespace quillon::testing
