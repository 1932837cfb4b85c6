// CurlTransfer: one request run on a CurlHandle, body sent from memory or a file window.
// Threads: runs wholly on the calling thread (the hooks are called there); one transfer per
//   handle at a time. Only the cancellation flag and the rate limiters are shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "foundation/Error.h"
#include "interfaces/http/CurlHandle.h"
#include "interfaces/http/RateLimiter.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

// Callbacks and limits of one transfer.
struct TransferHooks {
    // Bytes in this step, total so far, total expected (-1 when unknown).
    using Progress = std::function<void(std::uint64_t, std::int64_t, std::int64_t)>;
    Progress uploadProgress;
    Progress downloadProgress;
    // Receives the body of a 2xx answer as it arrives instead of the in-memory buffer; false
    // stops the transfer.
    std::function<bool(const char*, std::size_t)> output;
    const std::atomic<bool>* cancelled = nullptr;
    long connectTimeoutSeconds = 30;
    // The transfer fails when less than one byte per second moves for this long.
    long lowSpeedTimeSeconds = 120;
    // Shared caps on the bytes sent and received; none: no limit.
    RateLimiter* sendLimiter = nullptr;
    RateLimiter* receiveLimiter = nullptr;
};

struct TransferResult {
    CURLcode curlCode = CURLE_OK;
    std::string curlMessage;  // libcurl's detailed text for a failure
    long statusCode = 0;      // 0 when no answer arrived
    HeaderMap headers;
    Bytes body;  // the answer's body, unless it went to the output
    bool cancelled = false;
    bool outputRejected = false;
    std::string bodyProblem;     // why the request body could not be read, if it could not
    long connectionsOpened = 0;  // new connections this transfer had to make
};

// Runs one request on a handle: sends the body from memory or from a file window through a read
// callback with an exact Content-Length (never chunked), collects the answer's status and
// headers, and routes the answer's body to the output or to memory.
class CurlTransfer {
  public:
    CurlTransfer(CurlHandle& handle, const URLRequest& request, const TransferHooks& hooks);
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    TransferResult perform();

  private:
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onRead(char* data, std::size_t size, std::size_t count, void* self);
    static int onSeek(void* self, curl_off_t offset, int origin);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    bool isCancelled() const;
    bool openBody();
    std::size_t write(const char* data, std::size_t length);
    std::size_t read(char* data, std::size_t length);
    bool seek(std::uint64_t position);

    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    struct HeaderListFree {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    CurlHandle& handle_;
    const URLRequest& request_;
    const TransferHooks& hooks_;
    TransferResult result_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::unique_ptr<curl_slist, HeaderListFree> headerList_;
    std::uint64_t bodyLength_ = 0;
    std::uint64_t bodyPosition_ = 0;
    std::int64_t downloaded_ = 0;
    std::int64_t expectedDownload_ = -1;
};

}  // namespace quillon
