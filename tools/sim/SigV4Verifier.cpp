#include "sim/SigV4Verifier.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "sim/Sha256.h"

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

std::string collapseSpaces(const std::string& text) {
    std::string out;
    bool inSpace = false;
    for (char c : trim(text)) {
        if (c == ' ' || c == '\t') {
            if (!inSpace) {
                out.push_back(' ');
            }
            inSpace = true;
        } else {
            out.push_back(c);
            inSpace = false;
        }
    }
    return out;
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

std::string canonicalQuery(const std::string& query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& item : split(query, '&')) {
        if (item.empty()) {
            continue;
        }
        size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        pairs.emplace_back(SigV4Verifier::uriEncode(SigV4Verifier::percentDecode(key), false),
                           SigV4Verifier::uriEncode(SigV4Verifier::percentDecode(value), false));
    }
    std::sort(pairs.begin(), pairs.end());
    std::string out;
    for (const auto& [key, value] : pairs) {
        if (!out.empty()) {
            out += '&';
        }
        out += key + "=" + value;
    }
    return out;
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
        case Verdict::BadSignature:
            return "invalid";
    }
    return "invalid";
}

std::string SigV4Verifier::uriEncode(const std::string& text, bool keepSlash) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
            (keepSlash && c == '/')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kDigits[c >> 4]);
            out.push_back(kDigits[c & 0x0f]);
        }
    }
    return out;
}

std::string SigV4Verifier::percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string SigV4Verifier::signature(const std::string& canonicalRequest,
                                     const std::string& amzDate, const std::string& scope,
                                     const std::string& day, const std::string& region,
                                     const std::string& service) const {
    std::string toSign = "AWS4-HMAC-SHA256\n" + amzDate + "\n" + scope + "\n" +
                         Sha256::hex(Sha256::of(canonicalRequest));
    auto asText = [](const Digest& d) {
        return std::string(reinterpret_cast<const char*>(d.data()), d.size());
    };
    std::string key = asText(Sha256::hmac("AWS4" + secretKey_, day));
    key = asText(Sha256::hmac(key, region));
    key = asText(Sha256::hmac(key, service));
    key = asText(Sha256::hmac(key, "aws4_request"));
    return Sha256::hex(Sha256::hmac(key, toSign));
}

SigV4Verifier::Result SigV4Verifier::verify(const std::string& method, const std::string& rawTarget,
                                            const httplib::Headers& headers,
                                            const std::string& payloadHash,
                                            const std::string& region) const {
    auto authorization = headers.find("Authorization");
    if (authorization == headers.end()) {
        return {Verdict::Missing, "Missing Authentication Token"};
    }
    const std::string& auth = authorization->second;
    const std::string kAlgorithm = "AWS4-HMAC-SHA256";
    if (auth.compare(0, kAlgorithm.size(), kAlgorithm) != 0) {
        return {Verdict::Malformed, "Unsupported authorization type"};
    }
    std::map<std::string, std::string> fields;
    for (const auto& item : split(auth.substr(kAlgorithm.size()), ',')) {
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
    auto amzDate = headers.find("x-amz-date");
    if (amzDate == headers.end()) {
        return {Verdict::BadSignature,
                "Authorization header requires existence of a 'X-Amz-Date' "
                "or a 'Date' header."};
    }
    std::string signedHeaders = fields["SignedHeaders"];
    std::vector<std::string> names = split(signedHeaders, ';');
    if (std::find(names.begin(), names.end(), "host") == names.end()) {
        return {Verdict::BadSignature, "'Host' must be a 'SignedHeader' in the AWS Authorization."};
    }
    std::string canonicalHeaders;
    for (const auto& name : names) {
        std::string value;
        auto range = headers.equal_range(name);
        for (auto it = range.first; it != range.second; ++it) {
            if (!value.empty()) {
                value += ',';
            }
            value += collapseSpaces(it->second);
        }
        canonicalHeaders += name + ":" + value + "\n";
    }

    size_t question = rawTarget.find('?');
    std::string path = rawTarget.substr(0, question);
    if (path.empty()) {
        path = "/";
    }
    std::string query = question == std::string::npos ? "" : rawTarget.substr(question + 1);
    std::string tail = "\n" + canonicalQuery(query) + "\n" + canonicalHeaders + "\n" +
                       signedHeaders + "\n" + payloadHash;

    // Signers differ in how they encode the path: as sent, or each segment encoded once more.
    std::set<std::string> paths = {path, uriEncode(path, true),
                                   uriEncode(percentDecode(path), true)};
    std::string scope = credential[1] + "/" + credential[2] + "/" + credential[3] + "/aws4_request";
    for (const auto& candidate : paths) {
        std::string expected = signature(method + "\n" + candidate + tail, amzDate->second, scope,
                                         credential[1], credential[2], credential[3]);
        if (expected == fields["Signature"]) {
            return {Verdict::Valid, ""};
        }
    }
    return {Verdict::BadSignature,
            "The request signature we calculated does not match the signature you provided. "
            "Check your AWS Secret Access Key and signing method. Consult the service "
            "documentation for details."};
}

}  // namespace quillon::sim
