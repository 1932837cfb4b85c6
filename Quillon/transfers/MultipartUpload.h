// MultipartUpload: one unfinished multipart upload of a vault and its parts.
// Threads: the caller's thread; completions arrive on the client's worker threads (parts may
//   be in flight at once); the object's fields are not guarded, so set them before sending.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

class Vault;
class MultipartUpload;
using MultipartUploadPtr = std::shared_ptr<MultipartUpload>;

// One unfinished multipart upload of a vault: sending parts, listing the parts the service
// has, completing and aborting it.
class MultipartUpload : public std::enable_shared_from_this<MultipartUpload> {
  public:
    using Completion = std::function<void(ErrorPtr)>;
    // Range text ("0-8388607") to the part's tree hash.
    using Parts = std::map<std::string, std::string>;
    using PartsPageDone =
        std::function<void(Parts, std::int64_t partSize, const std::string& marker, ErrorPtr)>;
    using PartsDone = std::function<void(Parts, std::int64_t partSize, ErrorPtr)>;
    using CompleteDone = std::function<void(std::optional<std::string> archiveID, ErrorPtr)>;

    MultipartUpload(std::shared_ptr<Vault> vault, std::string id, JSON data = JSON());

    // From one element of "UploadsList"; none without a text "MultipartUploadId".
    static MultipartUploadPtr create(const JSON& json, const std::shared_ptr<Vault>& vault);
    static std::vector<MultipartUploadPtr> multiple(const JSON& json,
                                                    const std::shared_ptr<Vault>& vault);

    std::string id;
    // The service's listing of the upload; null for one just started.
    JSON data;
    const std::shared_ptr<Vault> vault;

    ApiPath apiBasePath() const;
    std::string description() const { return "MultipartUpload " + id; }

    // Sends bytes `from` to `to` (inclusive) of the file as one part, streamed from the file.
    // Throws ModelError::fileNotReadable when the range does not lie within the file (no
    // request, no `done`); none without `done` when the region has no endpoint. A tree hash
    // answered differently is an error (Frostvale, 1).
    RequestOperation::Ptr apiUpload(const std::string& path, std::int64_t from, std::int64_t to,
                                    const std::string& partTreeHash,
                                    const std::string& partContentHash,
                                    RequestOperation::ProgressBlock progress, Completion done);
    // The same for a part already in memory (`body`, starting at byte `from` of the archive),
    // whose hashes the caller computed as it read it.
    RequestOperation::Ptr apiUploadBody(const SharedBody& body, std::int64_t from,
                                        const std::string& partTreeHash,
                                        const std::string& partContentHash,
                                        RequestOperation::ProgressBlock progress, Completion done);
    RequestOperation::Ptr apiGetParts(std::int64_t limit, const std::string& marker,
                                      PartsPageDone done);
    void apiGetAllParts(PartsDone done);
    // Completes the upload and journals the archive (NVArchiveUploadDoneNotification). An answer
    // whose head names the archive counts even when the connection broke after it; a journal
    // entry that cannot be written hands over the archive id with the error of
    // Archive::appendAdded.
    RequestOperation::Ptr apiComplete(const std::string& treeHash, std::int64_t size,
                                      const std::string& archiveDescription, CompleteDone done);
    // Aborts the upload.
    RequestOperation::Ptr apiDelete(Completion done);

  private:
    RequestOperation::Ptr sendPart(const std::function<void(URLRequest&)>& setBody,
                                   std::int64_t from, std::int64_t to,
                                   const std::string& partTreeHash,
                                   const std::string& partContentHash,
                                   RequestOperation::ProgressBlock progress, Completion done);
};

}  // namespace quillon
