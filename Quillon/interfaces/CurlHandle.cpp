#include "interfaces/CurlHandle.h"

#include <mutex>
#include <stdexcept>

namespace quillon {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlHandle::CurlHandle() {
    initialiseCurlOnce();
    handle_.reset(curl_easy_init());
    if (!handle_) {
        throw std::runtime_error("curl_easy_init failed");
    }
}

void CurlHandle::reset() {
    curl_easy_reset(handle_.get());
}

}  // namespace quillon
