#pragma once

#include <httplib.h>

#include <string>

namespace quillon::sim {

// Checks the AWS Signature Version 4 of a received request against one key pair.
class SigV4Verifier {
  public:
    enum class Verdict { Valid, Missing, Malformed, UnknownKey, BadSignature };
    struct Result {
        Verdict verdict;
        std::string message;
    };

    SigV4Verifier(std::string accessKey, std::string secretKey);

    // `rawTarget` is the request line's target as received; `payloadHash` the hex SHA-256
    // that the client claims (x-amz-content-sha256) or that was computed from the body.
    Result verify(const std::string& method, const std::string& rawTarget,
                  const httplib::Headers& headers, const std::string& payloadHash,
                  const std::string& region) const;

    static const char* verdictName(Verdict verdict);
    static std::string uriEncode(const std::string& text, bool keepSlash);
    static std::string percentDecode(const std::string& text);

  private:
    std::string signature(const std::string& canonicalRequest, const std::string& amzDate,
                          const std::string& scope, const std::string& day,
                          const std::string& region, const std::string& service) const;

    std::string accessKey_;
    std::string secretKey_;
};

}  // namespace quillon::sim
