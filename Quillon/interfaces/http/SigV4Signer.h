// SigV4Signer: the steps of AWS Signature Version 4 as pure functions over texts.
// Threads: stateless; any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "foundation/Error.h"

namespace quillon {

// AWS Signature Version 4, as pure functions over texts, so every step can be checked alone.
class SigV4Signer {
  public:
    static constexpr const char* kAlgorithm = "AWS4-HMAC-SHA256";

    // "20120525T002453Z" for the given instant, in UTC.
    static std::string amzDate(std::chrono::system_clock::time_point date);

    // The region named by a host "glacier.<region>.<domain>[:port]"; "us-east-1" for any other.
    static std::string regionFromHost(std::string_view host);

    // Percent-encodes every byte except A-Z a-z 0-9 - _ . ~ (and "/" when keepSlash is set),
    // with upper-case hexadecimal digits.
    static std::string uriEncode(std::string_view text, bool keepSlash = false);
    // Decodes %XX escapes; anything else, "+" included, stays as it is.
    static std::string percentDecode(std::string_view text);

    // The path as the service canonicalises it: the path as sent, encoded once more.
    static std::string canonicalURI(std::string_view rawPath);
    // Query parameters decoded, re-encoded, sorted by name and then value, joined with "&".
    static std::string canonicalQuery(std::string_view rawQuery);
    // Trimmed values with inner runs of blanks collapsed, one "name:value\n" line per header,
    // names lower-cased and sorted.
    static std::string canonicalHeaders(const HeaderMap& headers);
    // The lower-cased header names joined with ";".
    static std::string signedHeaders(const HeaderMap& headers);

    static std::string canonicalRequest(std::string_view method, std::string_view rawPath,
                                        std::string_view rawQuery, const HeaderMap& headers,
                                        std::string_view payloadHash);
    // "<date>/<region>/<service>/aws4_request"
    static std::string credentialScope(std::string_view amzDate, std::string_view region,
                                       std::string_view service);
    static std::string stringToSign(std::string_view amzDate, std::string_view scope,
                                    std::string_view canonicalRequest);
    // Hexadecimal HMAC-SHA256 of the string to sign under the key derived from the secret.
    static std::string signature(std::string_view secret, std::string_view amzDate,
                                 std::string_view region, std::string_view service,
                                 std::string_view stringToSign);
    // The complete Authorization header value.
    static std::string authorization(std::string_view accessKey, std::string_view scope,
                                     std::string_view signedHeaders, std::string_view signature);
};

}  // namespace quillon
