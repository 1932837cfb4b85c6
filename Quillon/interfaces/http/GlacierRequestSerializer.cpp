// GlacierRequestSerializer: parameters as query or JSON body, and the signing steps. Threads:
// as in GlacierRequestSerializer.h.
#include "interfaces/http/GlacierRequestSerializer.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/JSON.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/SigV4Signer.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

namespace {

bool parametersGoInQuery(const std::string& method) {
    return method == "GET" || method == "HEAD" || method == "DELETE";
}

std::string scalarText(const JSON::Value& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_boolean()) {
        return value.get<bool>() ? "true" : "false";
    }
    return value.dump();
}

// Nested values follow the usual bracket convention: list[]=a, map[key]=b.
void collectPairs(const std::string& name, const JSON::Value& value,
                  std::vector<std::pair<std::string, std::string>>& pairs) {
    if (value.is_object()) {
        std::map<std::string, const JSON::Value*> sorted;
        for (const auto& [key, member] : value.items()) {
            sorted.emplace(key, &member);
        }
        for (const auto& [key, member] : sorted) {
            collectPairs(name.empty() ? key : name + "[" + key + "]", *member, pairs);
        }
    } else if (value.is_array()) {
        for (const auto& element : value) {
            collectPairs(name + "[]", element, pairs);
        }
    } else if (value.is_null()) {
        pairs.emplace_back(name, std::string());
    } else {
        pairs.emplace_back(name, scalarText(value));
    }
}

}  // namespace

std::string GlacierRequestSerializer::queryString(const JSON& parameters) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (parameters.isObject()) {
        collectPairs("", parameters.value(), pairs);
    }
    std::string query;
    for (const auto& [name, value] : pairs) {
        if (!query.empty()) {
            query += '&';
        }
        query += SigV4Signer::uriEncode(name);
        query += '=';
        query += SigV4Signer::uriEncode(value);
    }
    return query;
}

URLRequest GlacierRequestSerializer::requestWithMethod(
    const std::string& method, const std::string& urlString,
    const std::optional<JSON>& parameters) const {
    URLRequest request(method, urlString);
    request.setValue(kGlacierVersion, "x-amz-glacier-version");
    if (!parameters || parameters->isNull()) {
        return request;
    }
    if (parametersGoInQuery(method)) {
        std::string query = queryString(*parameters);
        if (!query.empty()) {
            std::string url = urlString;
            if (auto hash = url.find('#'); hash != std::string::npos) {
                url.erase(hash);
            }
            char separator = url.find('?') == std::string::npos ? '?' : '&';
            if (!url.empty() && (url.back() == '?' || url.back() == '&')) {
                request.setURL(url + query);
            } else {
                request.setURL(url + separator + query);
            }
        }
    } else {
        request.setValue("application/json", "Content-Type");
        request.setBody(parameters->rawString());
    }
    return request;
}

URLRequest GlacierRequestSerializer::prepareGlacierRequest(
    URLRequest request, const std::optional<std::string>& regionHost, const std::string& accessKey,
    const std::string& secret, std::chrono::system_clock::time_point date,
    const std::string& sessionToken, const std::optional<std::string>& signingRegion) const {
    const std::string amzDate = SigV4Signer::amzDate(date);
    request.removeValue("Authorization");
    request.setValue(amzDate, "x-amz-date");
    if (!sessionToken.empty()) {
        // Temporary credentials: the token is one of the signed headers.
        request.setValue(sessionToken, "x-amz-security-token");
    }
    if (!request.value("Host")) {
        request.setValue(request.host(), "Host");
    }

    std::string payloadHash;
    if (auto declared = request.value("x-amz-content-sha256")) {
        payloadHash = *declared;
    } else if (const auto& window = request.bodyFileWindow()) {
        // On the calling thread: uploads already keep several requests in flight.
        TreeHash::Options options;
        options.offset = static_cast<std::int64_t>(window->offset);
        options.length = static_cast<std::int64_t>(window->length);
        options.threads = 1;
        payloadHash = TreeHash::sha256OfFile(window->path, options)
                          .value_or(TreeHash::sha256Hex(std::string_view{}));
    } else {
        payloadHash = TreeHash::sha256Hex(request.body());
    }

    const std::string region =
        signingRegion ? *signingRegion
                      : SigV4Signer::regionFromHost(regionHost.value_or(request.host()));
    const std::string scope = SigV4Signer::credentialScope(amzDate, region, kService);
    const std::string canonical = SigV4Signer::canonicalRequest(
        request.method(), request.path(), request.query(), request.headers(), payloadHash);
    const std::string signature = SigV4Signer::signature(
        secret, amzDate, region, kService, SigV4Signer::stringToSign(amzDate, scope, canonical));
    request.setValue(
        SigV4Signer::authorization(accessKey, scope, SigV4Signer::signedHeaders(request.headers()),
                                   signature),
        "Authorization");
    return request;
}

}  // namespace quillon
