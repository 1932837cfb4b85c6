// SigV4Verifier: checks version 4 signatures of received requests. Threads: as in the header.
#include "sim/SigV4Verifier.h"

#include <time.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/http/SigV4Signer.h"
#include "sim/HttpMessage.h"

namespace quillon::sim {

namespace {

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    std::istringstream stream(text);
    while (std::getline(stream, current, separator)) {
        parts.push_back(current);
    }
    return parts;
}

// "20120525T002453Z" as an instant; none for any other form.
std::optional<std::chrono::system_clock::time_point> parseAmzDate(const std::string& text) {
    std::tm parts{};
    std::istringstream stream(text);
    stream >> std::get_time(&parts, "%Y%m%dT%H%M%SZ");
    if (text.size() != 16 || stream.fail() || stream.peek() != EOF) {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(timegm(&parts));
}

}  // namespace

SigV4Verifier::SigV4Verifier(std::string accessKey, std::string secretKey)
    : accessKey_(std::move(accessKey)), secretKey_(std::move(secretKey)) {}

const char* SigV4Verifier::verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Valid:
            return "valid";
        case Verdict::Missing:
            return "missing";
        case Verdict::Malformed:
            return "malformed";
        case Verdict::UnknownKey:
            return "unknown-key";
        case Verdict::Expired:
            return "expired";
        case Verdict::BadSignature:
            return "invalid";
    }
    return "invalid";
}

SigV4Verifier::Result SigV4Verifier::verify(const HttpRequest& request,
                                            const std::string& payloadHash,
                                            const std::string& region,
                                            std::chrono::system_clock::time_point now) const {
    return examine(request, &payloadHash, region, now);
}

SigV4Verifier::Result SigV4Verifier::checkHeaders(const HttpRequest& request,
                                                  const std::string& region,
                                                  std::chrono::system_clock::time_point now) const {
    return examine(request, nullptr, region, now);
}

SigV4Verifier::Result SigV4Verifier::examine(const HttpRequest& request,
                                             const std::string* payloadHash,
                                             const std::string& region,
                                             std::chrono::system_clock::time_point now) const {
    if (!request.hasHeader("Authorization")) {
        return {Verdict::Missing, "Missing Authentication Token"};
    }
    const std::string auth = request.header("Authorization");
    const std::string algorithm = SigV4Signer::kAlgorithm;
    if (auth.compare(0, algorithm.size(), algorithm) != 0) {
        return {Verdict::Malformed, "Unsupported authorization type"};
    }
    std::map<std::string, std::string> fields;
    for (const auto& item : split(auth.substr(algorithm.size()), ',')) {
        std::string field = trim(item);
        size_t equals = field.find('=');
        if (equals != std::string::npos) {
            fields[field.substr(0, equals)] = field.substr(equals + 1);
        }
    }
    if (!fields.count("Credential") || !fields.count("SignedHeaders") ||
        !fields.count("Signature")) {
        return {Verdict::Malformed,
                "Authorization header requires 'Credential', 'SignedHeaders' and 'Signature'."};
    }
    std::vector<std::string> credential = split(fields["Credential"], '/');
    if (credential.size() != 5 || credential[4] != "aws4_request") {
        return {Verdict::Malformed, "Credential is malformed: " + fields["Credential"]};
    }
    if (credential[0] != accessKey_) {
        return {Verdict::UnknownKey, "The security token included in the request is invalid."};
    }
    if (credential[2] != region) {
        return {Verdict::BadSignature,
                "Credential should be scoped to a valid region, not '" + credential[2] + "'."};
    }
    if (credential[3] != "glacier") {
        return {Verdict::BadSignature,
                "Credential should be scoped to correct service: 'glacier'."};
    }
    const std::string amzDate = request.header("x-amz-date");
    if (amzDate.empty()) {
        return {Verdict::BadSignature,
                "Authorization header requires existence of a 'X-Amz-Date' or a 'Date' header."};
    }
    auto signedAt = parseAmzDate(amzDate);
    if (!signedAt) {
        return {Verdict::Malformed,
                "X-Amz-Date must be in the ISO8601 basic format, got '" + amzDate + "'."};
    }
    if (credential[1] != amzDate.substr(0, 8)) {
        return {Verdict::BadSignature,
                "Date in Credential scope does not match YYYYMMDD from "
                "ISO-8601 version of date from HTTP: '" +
                    credential[1] + "' != '" + amzDate.substr(0, 8) + "'."};
    }
    if (*signedAt < now - kMaxSkew || *signedAt > now + kMaxSkew) {
        bool early = *signedAt < now;
        return {Verdict::Expired,
                "Signature expired: " + amzDate + " is now " + (early ? "earlier" : "later") +
                    " than " + SigV4Signer::amzDate(early ? now - kMaxSkew : now + kMaxSkew) +
                    " (" + SigV4Signer::amzDate(now) + (early ? " - " : " + ") + "15 min.)"};
    }

    // The signed headers with their values as sent; repeated fields join with commas.
    HeaderMap signedHeaders;
    bool hasHost = false;
    for (const auto& name : split(fields["SignedHeaders"], ';')) {
        hasHost = hasHost || name == "host";
        std::string value;
        auto range = request.headers.equal_range(name);
        for (auto it = range.first; it != range.second; ++it) {
            value += (it == range.first ? "" : ",") + it->second;
        }
        signedHeaders[name] = value;
    }
    if (!hasHost) {
        return {Verdict::BadSignature, "'Host' must be a 'SignedHeader' in the AWS Authorization."};
    }
    if (!payloadHash) {
        return {Verdict::Valid, ""};
    }
    size_t question = request.target.find('?');
    std::string path = request.target.substr(0, question);
    std::string query =
        question == std::string::npos ? std::string() : request.target.substr(question + 1);
    std::string canonical =
        SigV4Signer::canonicalRequest(request.method, path, query, signedHeaders, *payloadHash);
    std::string scope = SigV4Signer::credentialScope(amzDate, credential[2], credential[3]);
    std::string expected =
        SigV4Signer::signature(secretKey_, amzDate, credential[2], credential[3],
                               SigV4Signer::stringToSign(amzDate, scope, canonical));
    if (expected != fields["Signature"]) {
        return {Verdict::BadSignature,
                "The request signature we calculated does not match the signature you provided. "
                "Check your AWS Secret Access Key and signing method. Consult the service "
                "documentation for details."};
    }
    return {Verdict::Valid, ""};
}

}  // namespace quillon::sim
