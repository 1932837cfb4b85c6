// Region: description and base URL. Threads: as in Region.h.
#include "accounts/Region.h"

#include <curl/curl.h>

#include <memory>

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

Region::Region(std::string id, std::string name, std::string host, bool isStandardRegion)
    : id_(std::move(id)),
      name_(std::move(name)),
      host_(std::move(host)),
      isStandardRegion_(isStandardRegion) {}

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
