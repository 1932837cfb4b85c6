// CurlTransfer: the libcurl options and the header, write, read, seek and progress callbacks.
// Threads: as in CurlTransfer.h.
#include "interfaces/http/CurlTransfer.h"

#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "interfaces/http/CurlHandle.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

namespace {

constexpr long kTransferBufferBytes = 512L * 1024;  // CURL_MAX_READ_SIZE

bool methodSendsBody(const URLRequest& request) {
    return request.hasBody() || request.method() == "POST" || request.method() == "PUT";
}

std::string trimmed(std::string_view text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) {
        return {};
    }
    auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

}  // namespace

CurlTransfer::CurlTransfer(CurlHandle& handle, const URLRequest& request,
                           const TransferHooks& hooks)
    : handle_(handle), request_(request), hooks_(hooks) {}

bool CurlTransfer::isCancelled() const {
    return hooks_.cancelled != nullptr && hooks_.cancelled->load();
}

bool CurlTransfer::openBody() {
    bodyLength_ = request_.bodyLength();
    const auto& window = request_.bodyFileWindow();
    if (!window) {
        return true;
    }
    struct stat info {};
    if (::stat(window->path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        result_.bodyProblem = "Cannot read the file " + window->path;
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) < window->offset + window->length) {
        result_.bodyProblem = "The file " + window->path + " is shorter than the part to send";
        return false;
    }
    file_.reset(std::fopen(window->path.c_str(), "rb"));
    if (!file_ || fseeko(file_.get(), static_cast<off_t>(window->offset), SEEK_SET) != 0) {
        result_.bodyProblem = "Cannot read the file " + window->path;
        return false;
    }
    return true;
}

TransferResult CurlTransfer::perform() {
    if (isCancelled()) {
        result_.cancelled = true;
        result_.curlCode = CURLE_ABORTED_BY_CALLBACK;
        return std::move(result_);
    }
    if (!openBody()) {
        result_.curlCode = CURLE_READ_ERROR;
        return std::move(result_);
    }

    handle_.reset();
    CURL* curl = handle_.get();
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, request_.url().c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, hooks_.connectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, hooks_.lowSpeedTimeSeconds);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Quillon/" QUILLON_BUNDLE_VERSION);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlTransfer::onWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    // libcurl's own buffers are 16 KiB for answers and 64 KiB for bodies: a GiB then costs
    // tens of thousands of polls, reads and callbacks. Its largest buffers cut that to a few
    // thousand.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kTransferBufferBytes);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kTransferBufferBytes);

    if (request_.method() == "POST") {
        // A reused connection that closes before any byte of the answer makes libcurl send the
        // request again by itself, on a new one. A POST may have been carried out by then (an
        // archive stored twice), so it always goes on a connection of its own.
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    }

    const bool sendsBody = methodSendsBody(request_);
    if (request_.method() == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (sendsBody) {
        // The upload mode reads the body through the callback and announces its exact length.
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &CurlTransfer::onRead);
        curl_easy_setopt(curl, CURLOPT_READDATA, this);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &CurlTransfer::onSeek);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, this);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bodyLength_));
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request_.method().c_str());
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        if (request_.method() != "GET") {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request_.method().c_str());
        }
    }

    curl_slist* list = nullptr;
    auto append = [&list](const std::string& line) {
        if (curl_slist* grown = curl_slist_append(list, line.c_str())) {
            list = grown;
        }
    };
    for (const auto& [name, value] : request_.headers()) {
        // libcurl writes the length itself, from the body it is given.
        if (strcasecmp(name.c_str(), "Content-Length") == 0 ||
            strcasecmp(name.c_str(), "Transfer-Encoding") == 0 ||
            strcasecmp(name.c_str(), "Expect") == 0) {
            continue;
        }
        append(value.empty() ? name + ";" : name + ": " + value);
    }
    append("Expect:");
    if (sendsBody && !request_.value("Content-Type")) {
        append("Content-Type: application/octet-stream");
    }
    headerList_.reset(list);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList_.get());

    result_.curlCode = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 0) {
        result_.statusCode = status;
    }
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &result_.connectionsOpened);
    if (result_.curlCode != CURLE_OK) {
        result_.curlMessage = errorBuffer[0] != '\0' ? std::string(errorBuffer)
                                                     : curl_easy_strerror(result_.curlCode);
        result_.cancelled = isCancelled();
    }
    // The handle outlives this transfer; leave it pointing at nothing of ours.
    handle_.reset();
    file_.reset();
    return std::move(result_);
}

std::size_t CurlTransfer::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    std::string_view line(data, size * count);
    if (line.substr(0, 5) == "HTTP/") {
        // Each status line (an interim 100 included) starts a fresh set of headers.
        transfer->result_.headers.clear();
        auto space = line.find(' ');
        if (space != std::string_view::npos) {
            transfer->result_.statusCode =
                std::strtol(std::string(line.substr(space + 1, 3)).c_str(), nullptr, 10);
        }
        return line.size();
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos && colon > 0) {
        std::string name = trimmed(line.substr(0, colon));
        std::string value = trimmed(line.substr(colon + 1));
        auto& headers = transfer->result_.headers;
        auto it = headers.find(name);
        if (it == headers.end()) {
            headers.emplace(std::move(name), std::move(value));
        } else {
            it->second += ", " + value;
        }
    }
    return line.size();
}

std::size_t CurlTransfer::onWrite(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<CurlTransfer*>(self)->write(data, size * count);
}

std::size_t CurlTransfer::write(const char* data, std::size_t length) {
    if (isCancelled()) {
        return 0;
    }
    if (downloaded_ == 0 && expectedDownload_ < 0) {
        auto it = result_.headers.find("Content-Length");
        if (it != result_.headers.end()) {
            char* end = nullptr;
            long long value = std::strtoll(it->second.c_str(), &end, 10);
            if (end != it->second.c_str() && *end == '\0' && value >= 0) {
                expectedDownload_ = value;
            }
        }
    }
    const bool success = result_.statusCode >= 200 && result_.statusCode < 300;
    if (hooks_.receiveLimiter != nullptr &&
        !hooks_.receiveLimiter->acquire(length, hooks_.cancelled)) {
        return 0;
    }
    if (success && hooks_.output) {
        if (!hooks_.output(data, length)) {
            result_.outputRejected = true;
            return 0;
        }
    } else {
        result_.body.insert(result_.body.end(), data, data + length);
    }
    downloaded_ += static_cast<std::int64_t>(length);
    if (hooks_.downloadProgress) {
        hooks_.downloadProgress(length, downloaded_, expectedDownload_);
    }
    return length;
}

std::size_t CurlTransfer::onRead(char* data, std::size_t size, std::size_t count, void* self) {
    return static_cast<CurlTransfer*>(self)->read(data, size * count);
}

std::size_t CurlTransfer::read(char* data, std::size_t length) {
    if (isCancelled()) {
        return CURL_READFUNC_ABORT;
    }
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, bodyLength_ - bodyPosition_));
    if (want == 0) {
        return 0;
    }
    std::size_t got = 0;
    if (file_) {
        got = std::fread(data, 1, want, file_.get());
        if (got == 0) {
            result_.bodyProblem =
                "The file " + request_.bodyFileWindow()->path + " ended before the part was sent";
            return CURL_READFUNC_ABORT;
        }
    } else {
        const auto& shared = request_.sharedBody();
        std::memcpy(data, (shared ? shared->data : request_.body().data()) + bodyPosition_, want);
        got = want;
    }
    if (hooks_.sendLimiter != nullptr && !hooks_.sendLimiter->acquire(got, hooks_.cancelled)) {
        return CURL_READFUNC_ABORT;
    }
    bodyPosition_ += got;
    if (hooks_.uploadProgress) {
        hooks_.uploadProgress(got, static_cast<std::int64_t>(bodyPosition_),
                              static_cast<std::int64_t>(bodyLength_));
    }
    return got;
}

int CurlTransfer::onSeek(void* self, curl_off_t offset, int origin) {
    if (origin != SEEK_SET || offset < 0) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    return static_cast<CurlTransfer*>(self)->seek(static_cast<std::uint64_t>(offset))
               ? CURL_SEEKFUNC_OK
               : CURL_SEEKFUNC_FAIL;
}

bool CurlTransfer::seek(std::uint64_t position) {
    if (position > bodyLength_) {
        return false;
    }
    if (file_) {
        const auto& window = *request_.bodyFileWindow();
        if (fseeko(file_.get(), static_cast<off_t>(window.offset + position), SEEK_SET) != 0) {
            return false;
        }
    }
    bodyPosition_ = position;
    return true;
}

int CurlTransfer::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CurlTransfer*>(self)->isCancelled() ? 1 : 0;
}

}  // namespace quillon
