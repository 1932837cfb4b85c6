// Job: one job of a vault, its description and its output download.
// Threads: the caller's thread; completions arrive on the client's worker threads, and
//   apiDescribe's writes `data` there, so read it only after `done`.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

class Vault;
using VaultPtr = std::shared_ptr<Vault>;

// One Glacier job of a vault (an inventory or an archive retrieval): its id and the service's
// description of it as last received. Always held by shared pointer.
class Job : public std::enable_shared_from_this<Job> {
  public:
    using Ptr = std::shared_ptr<Job>;

    enum class StatusCode { Unknown, InProgress, Succeeded, Failed };
    // "" for Unknown, else the case's name.
    static std::string rawValue(StatusCode code);
    // None for any text other than the four raw values.
    static std::optional<StatusCode> statusCodeFromRawValue(std::string_view text);

    // Both ends inclusive.
    struct ByteRange {
        std::int64_t from = 0;
        std::int64_t to = 0;
    };
    // The response's "x-amz-sha256-tree-hash" ("" when absent), the error and the operation.
    using DownloadCompletion =
        std::function<void(const std::string& treeHash, ErrorPtr, RequestOperation::Ptr)>;

    // No id and null data.
    static Ptr create(VaultPtr vault);
    // A job with json["JobId"] as id and the whole document as data; none without a text id.
    static Ptr create(const JSON& json, VaultPtr vault);

    std::string id;
    JSON data;

    const VaultPtr& vault() const { return vault_; }

    // Values of `data`, read on every access.
    bool hasData() const { return !data.isNull(); }
    StatusCode statusCode() const;
    std::optional<double> creationDate() const;
    std::string description() const;
    ApiPath apiBasePath() const;

    // Replaces `data` with the service's description when it names a job; `data` stays on
    // failure. Returns none (without calling `done`) for a region without a base URL.
    RequestOperation::Ptr apiDescribe(std::function<void(ErrorPtr)> done);
    // Streams the job's output, or the given window of it, into `output`. The tree hash is handed
    // on, not checked. Returns none (without calling `done`) for a region without a base URL,
    // and none after calling `done` when the request cannot be signed.
    // `restart`, when given, lets the request frame send the request again after bytes reached
    // the output: it makes the output start over (see RequestOperation::setOutputRestart).
    RequestOperation::Ptr apiDownload(RequestOperation::OutputStream output,
                                      std::optional<ByteRange> range,
                                      RequestOperation::ProgressBlock progress,
                                      DownloadCompletion done, std::function<bool()> restart = {});
    // The stream must outlive the download.
    RequestOperation::Ptr apiDownload(std::ostream& stream, std::optional<ByteRange> range,
                                      RequestOperation::ProgressBlock progress,
                                      DownloadCompletion done);

  private:
    struct Token {};

  public:
    Job(Token, VaultPtr vault);

  private:
    VaultPtr vault_;
};

}  // namespace quillon
