// GlacierRequestSerializer: builds the service's requests and signs them (version 4).
// Threads: no state of its own; any thread. Hashing a file-window body runs on the caller.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "foundation/JSON.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

// Builds Glacier requests and signs them.
class GlacierRequestSerializer {
  public:
    static constexpr const char* kGlacierVersion = "2012-06-01";
    static constexpr const char* kService = "glacier";

    // A request carrying "x-amz-glacier-version". The parameters of GET, HEAD and DELETE are
    // appended to the URL's query (names sorted, values percent-encoded); those of any other
    // method become a JSON body with "Content-Type: application/json".
    URLRequest requestWithMethod(const std::string& method, const std::string& urlString,
                                 const std::optional<JSON>& parameters = std::nullopt) const;

    // Signature Version 4 for the service "glacier". Adds "x-amz-date", a Host header (with the
    // port when the URL has one) unless the request has one, and "Authorization"; every header
    // the request carries is signed. The payload hash is "x-amz-content-sha256" when present,
    // otherwise the SHA-256 of the body. The region comes from regionHost (see
    // SigV4Signer::regionFromHost), or from the URL's host when none is given; a
    // `signingRegion` given replaces both (an endpoint named on the command line, whose host
    // says nothing of its region).
    URLRequest prepareGlacierRequest(URLRequest request,
                                     const std::optional<std::string>& regionHost,
                                     const std::string& accessKey, const std::string& secret,
                                     std::chrono::system_clock::time_point date,
                                     const std::string& sessionToken = "",
                                     const std::optional<std::string>& signingRegion = {}) const;

    // "name=value&..." for a parameters object; names sorted, both sides percent-encoded.
    static std::string queryString(const JSON& parameters);
};

}  // namespace quillon
