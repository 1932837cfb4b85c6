// Region: description and base URL. Threads: as in Region.h.
#include "accounts/Region.h"

#include <curl/curl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace quillon {

namespace {

struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// Whether text is an absolute URL with a scheme and a well-formed host. Spaces, control
// characters and non-ASCII bytes are not allowed anywhere.
bool isUsableURL(const std::string& text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f) {
            return false;
        }
    }
    std::unique_ptr<CURLU, CurlUrlDeleter> url(curl_url());
    if (!url) {
        return false;
    }
    return curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) ==
           CURLUE_OK;
}

}  // namespace

bool Region::isValidId(const std::string& id) {
    auto isWordCharacter = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (id.empty() || id.size() > 64 || !isWordCharacter(static_cast<unsigned char>(id[0]))) {
        return false;
    }
    for (char c : id) {
        if (!isWordCharacter(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

Region::Region(std::string id, std::string name, std::string host, bool isStandardRegion)
    : id_(std::move(id)),
      name_(std::move(name)),
      host_(std::move(host)),
      isStandardRegion_(isStandardRegion) {}

Region::Region(std::string id, std::string name, std::string host, bool isStandardRegion,
               std::string signingRegion)
    : Region(std::move(id), std::move(name), std::move(host), isStandardRegion) {
    signingRegion_ = std::move(signingRegion);
}

std::string Region::description() const {
    return id_ + " (" + name_ + ")";
}

std::optional<std::string> Region::baseURL() const {
    std::string text = host_.starts_with("http") ? host_ : "https://" + host_ + "/";
    if (!isUsableURL(text)) {
        return std::nullopt;
    }
    return text;
}

std::string Region::endpoint() const {
    return baseURL().value_or("");
}

}  // namespace quillon
