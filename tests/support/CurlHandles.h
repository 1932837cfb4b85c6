// Owning handles for libcurl's easy handle and header list, for the test helpers that speak
// HTTP themselves. A handle belongs to one thread at a time.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace quillon::testing {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, SlistDeleter>;

}  // namespace quillon::testing
