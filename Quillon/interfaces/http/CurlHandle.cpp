// CurlHandle: libcurl's one-time global setup and the easy handle. Threads: as in CurlHandle.h.
#include "interfaces/http/CurlHandle.h"

#include <mutex>
#include <stdexcept>

namespace quillon {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// libcurl initialises OpenSSL, whose state stays with the initialising thread; do it while the
// process starts rather than in the first request worker.
const bool kCurlInitialised = (initialiseCurlOnce(), true);

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
