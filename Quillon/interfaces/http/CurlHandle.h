// CurlHandle: one libcurl easy handle, kept by a worker so its connections are reused.
// Threads: one thread at a time per handle; libcurl's global setup runs once, at process start.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace quillon {

// One libcurl easy handle. A worker keeps its handle for all its requests, so connections to
// the same host stay open between them. libcurl's global setup runs once, on first use.
class CurlHandle {
  public:
    CurlHandle();
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;

    CURL* get() const { return handle_.get(); }
    // Clears the options of the previous request; open connections are kept.
    void reset();

  private:
    struct Cleanup {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };
    std::unique_ptr<CURL, Cleanup> handle_;
};

}  // namespace quillon
