// SigV4Signer: canonical forms, HMAC key derivation and the Authorization value. Threads:
// stateless; any thread.
#include "interfaces/http/SigV4Signer.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/files/Sha256.h"

namespace quillon {

namespace {

std::string hmacSHA256(std::string_view key, std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &digestLength);
    return std::string(reinterpret_cast<const char*>(digest), digestLength);
}

std::string lowercase(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string trimCollapsed(std::string_view value) {
    std::string result;
    bool pendingBlank = false;
    for (char c : value) {
        if (c == ' ' || c == '\t') {
            pendingBlank = !result.empty();
            continue;
        }
        if (pendingBlank) {
            result += ' ';
            pendingBlank = false;
        }
        result += c;
    }
    return result;
}

// Lower-cased names in sorted order; HeaderMap already orders without regard to case.
std::vector<std::pair<std::string, std::string>> sortedLowerHeaders(const HeaderMap& headers) {
    std::vector<std::pair<std::string, std::string>> lines;
    lines.reserve(headers.size());
    for (const auto& [name, value] : headers) {
        lines.emplace_back(lowercase(name), trimCollapsed(value));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

std::string SigV4Signer::amzDate(std::chrono::system_clock::time_point date) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::string SigV4Signer::regionFromHost(std::string_view host) {
    host = host.substr(0, host.find(':'));
    constexpr std::string_view kPrefix = "glacier.";
    if (host.substr(0, kPrefix.size()) == kPrefix) {
        std::string_view rest = host.substr(kPrefix.size());
        auto dot = rest.find('.');
        if (dot != std::string_view::npos && dot > 0 && dot + 1 < rest.size()) {
            return std::string(rest.substr(0, dot));
        }
    }
    return "us-east-1";
}

std::string SigV4Signer::uriEncode(std::string_view text, bool keepSlash) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
            (keepSlash && c == '/')) {
            result += static_cast<char>(c);
        } else {
            result += '%';
            result += kDigits[c >> 4];
            result += kDigits[c & 0x0f];
        }
    }
    return result;
}

std::string SigV4Signer::percentDecode(std::string_view text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            result += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            result += text[i];
        }
    }
    return result;
}

std::string SigV4Signer::canonicalURI(std::string_view rawPath) {
    if (rawPath.empty()) {
        return "/";
    }
    return uriEncode(rawPath, true);
}

std::string SigV4Signer::canonicalQuery(std::string_view rawQuery) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t start = 0;
    while (start <= rawQuery.size()) {
        auto end = rawQuery.find('&', start);
        if (end == std::string_view::npos) {
            end = rawQuery.size();
        }
        std::string_view pair = rawQuery.substr(start, end - start);
        if (!pair.empty()) {
            auto equals = pair.find('=');
            std::string_view name = pair.substr(0, equals);
            std::string_view value =
                equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1);
            pairs.emplace_back(uriEncode(percentDecode(name)), uriEncode(percentDecode(value)));
        }
        start = end + 1;
    }
    std::sort(pairs.begin(), pairs.end());
    std::string result;
    for (const auto& [name, value] : pairs) {
        if (!result.empty()) {
            result += '&';
        }
        result += name + "=" + value;
    }
    return result;
}

std::string SigV4Signer::canonicalHeaders(const HeaderMap& headers) {
    std::string result;
    for (const auto& [name, value] : sortedLowerHeaders(headers)) {
        result += name + ":" + value + "\n";
    }
    return result;
}

std::string SigV4Signer::signedHeaders(const HeaderMap& headers) {
    std::string result;
    for (const auto& line : sortedLowerHeaders(headers)) {
        if (!result.empty()) {
            result += ';';
        }
        result += line.first;
    }
    return result;
}

std::string SigV4Signer::canonicalRequest(std::string_view method, std::string_view rawPath,
                                          std::string_view rawQuery, const HeaderMap& headers,
                                          std::string_view payloadHash) {
    std::string result(method);
    result += '\n';
    result += canonicalURI(rawPath) + '\n';
    result += canonicalQuery(rawQuery) + '\n';
    result += canonicalHeaders(headers) + '\n';
    result += signedHeaders(headers) + '\n';
    result += payloadHash;
    return result;
}

std::string SigV4Signer::credentialScope(std::string_view amzDate, std::string_view region,
                                         std::string_view service) {
    std::string scope(amzDate.substr(0, 8));
    scope += '/';
    scope += region;
    scope += '/';
    scope += service;
    scope += "/aws4_request";
    return scope;
}

std::string SigV4Signer::stringToSign(std::string_view amzDate, std::string_view scope,
                                      std::string_view canonicalRequest) {
    std::string result(kAlgorithm);
    result += '\n';
    result += amzDate;
    result += '\n';
    result += scope;
    result += '\n';
    result += Sha256::hex(Sha256::digest(canonicalRequest));
    return result;
}

std::string SigV4Signer::signature(std::string_view secret, std::string_view amzDate,
                                   std::string_view region, std::string_view service,
                                   std::string_view stringToSign) {
    std::string key = hmacSHA256("AWS4" + std::string(secret), amzDate.substr(0, 8));
    key = hmacSHA256(key, region);
    key = hmacSHA256(key, service);
    key = hmacSHA256(key, "aws4_request");
    const std::string mac = hmacSHA256(key, stringToSign);
    Sha256Digest digest{};  // an HMAC-SHA256 is as long as a SHA-256 digest
    std::memcpy(digest.data(), mac.data(), digest.size());
    return Sha256::hex(digest);
}

std::string SigV4Signer::authorization(std::string_view accessKey, std::string_view scope,
                                       std::string_view signedHeaders, std::string_view signature) {
    std::string result(kAlgorithm);
    result += " Credential=";
    result += accessKey;
    result += '/';
    result += scope;
    result += ", SignedHeaders=";
    result += signedHeaders;
    result += ", Signature=";
    result += signature;
    return result;
}

}  // namespace quillon
