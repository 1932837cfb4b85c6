// MultipartUploads: starting and listing one vault's multipart uploads.
// Threads: the caller's thread; completions arrive on the client's worker threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "interfaces/http/RequestOperation.h"
#include "transfers/MultipartUpload.h"

namespace quillon {

class Vault;

// The multipart uploads of one vault on the service: starting one and listing the unfinished
// ones. Owned by the vault.
class MultipartUploads {
  public:
    using InitiateDone = std::function<void(MultipartUploadPtr, ErrorPtr)>;
    using PageDone =
        std::function<void(std::vector<MultipartUploadPtr>, const std::string& marker, ErrorPtr)>;
    using AllDone = std::function<void(std::vector<MultipartUploadPtr>, ErrorPtr)>;

    explicit MultipartUploads(Vault& vault) : vault_(vault) {}

    Vault& vault() const { return vault_; }
    ApiPath apiBasePath() const;

    // Starts an upload; the part size is passed on unchecked. `description` is sent as given.
    RequestOperation::Ptr apiInitiate(const std::optional<std::string>& description,
                                      std::int64_t partSize, InitiateDone done);
    // One page of unfinished uploads; limit 0 and an empty marker send no query.
    RequestOperation::Ptr apiGet(std::int64_t limit, const std::string& marker, PageDone done);
    // Every page; a failed page drops what was read.
    void apiGetAll(AllDone done);

  private:
    Vault& vault_;
};

}  // namespace quillon
