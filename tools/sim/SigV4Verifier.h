// SigV4Verifier: the simulator's check of version 4 request signatures against one key pair.
// Threads: immutable after construction; verify() from any number of threads at once.
#pragma once

#include <chrono>
#include <string>

#include "sim/HttpMessage.h"

namespace quillon::sim {

// Checks the AWS Signature Version 4 of a received request against one key pair, as strictly
// as the service: over the raw path and header values as sent, the path canonicalised the one
// way the service does it, and a date no more than kMaxSkew away from the server's clock.
// The canonical forms come from the client library's signer, their one home.
// Stateless after construction: verify() may run on any number of threads at once.
class SigV4Verifier {
  public:
    enum class Verdict { Valid, Missing, Malformed, UnknownKey, BadSignature, Expired };
    struct Result {
        Verdict verdict;
        std::string message;
    };
    static constexpr std::chrono::minutes kMaxSkew{15};

    SigV4Verifier(std::string accessKey, std::string secretKey);

    // `payloadHash` is the hex SHA-256 that the client claims (x-amz-content-sha256) or that
    // was computed from the body; `now` the server's clock.
    Result verify(const HttpRequest& request, const std::string& payloadHash,
                  const std::string& region, std::chrono::system_clock::time_point now) const;
    // Every check that needs no body: Valid when only the signature itself is left to check,
    // so that a request that cannot pass is refused before its body is read.
    Result checkHeaders(const HttpRequest& request, const std::string& region,
                        std::chrono::system_clock::time_point now) const;

    static const char* verdictName(Verdict verdict);

  private:
    // checkHeaders, then with `payloadHash` the signature.
    Result examine(const HttpRequest& request, const std::string* payloadHash,
                   const std::string& region, std::chrono::system_clock::time_point now) const;

    std::string accessKey_;
    std::string secretKey_;
};

}  // namespace quillon::sim
