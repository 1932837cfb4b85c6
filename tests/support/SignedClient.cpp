// SignedClient: one curl request per send and its answer. Threads: as in SignedClient.h.
#include "support/SignedClient.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <memory>

namespace quillon::testing {

namespace {

size_t onBody(char* data, size_t size, size_t count, void* answer) {
    static_cast<HttpAnswer*>(answer)->body.append(data, size * count);
    return size * count;
}

size_t onHeader(char* data, size_t size, size_t count, void* answer) {
    std::string line(data, size * count);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        static_cast<HttpAnswer*>(answer)->headers.emplace_back(line.substr(0, colon), value);
    }
    return size * count;
}

}  // namespace

std::string HttpAnswer::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) {
            return value;
        }
    }
    return "";
}

bool HttpAnswer::hasExactHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& header) { return header.first == name; });
}

SignedClient::SignedClient(std::string baseURL, std::string region, std::string accessKey,
                           std::string secretKey)
    : baseURL_(std::move(baseURL)),
      region_(std::move(region)),
      accessKey_(std::move(accessKey)),
      secretKey_(std::move(secretKey)) {}

HttpAnswer SignedClient::send(const std::string& method, const std::string& path,
                              const std::string& body,
                              const std::vector<std::string>& headers) const {
    HttpAnswer answer;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    std::string url = baseURL_ + (path.empty() || path[0] != '/' ? path : path.substr(1));
    std::string sigv4 = "aws:amz:" + region_ + ":glacier";
    std::string user = accessKey_ + ":" + secretKey_;
    const bool signing = !accessKey_.empty();
    curl_slist* list = nullptr;
    if (signing) {
        list = curl_slist_append(list, "x-amz-glacier-version: 2012-06-01");
        list = curl_slist_append(list, "Content-Type: application/octet-stream");
    }
    for (const auto& header : headers) {
        list = curl_slist_append(list, header.c_str());
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(list,
                                                                           curl_slist_free_all);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    if (signing) {
        curl_easy_setopt(curl.get(), CURLOPT_AWS_SIGV4, sigv4.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_USERPWD, user.c_str());
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    if (!body.empty() || method == "POST" || method == "PUT") {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size()));
    }
    CURLcode result = curl_easy_perform(curl.get());
    if (result != CURLE_OK) {
        answer.transportError = curl_easy_strerror(result);
    }
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
}

}  // namespace quillon::testing
