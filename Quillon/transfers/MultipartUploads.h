#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/base/Error.h"
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

    // Pages followed by apiGetAll before it gives up with an error.
    static constexpr int kMaxPages = 10000;

    explicit MultipartUploads(Vault& vault) : vault_(vault) {}

    Vault& vault() const { return vault_; }
    std::string apiBasePath() const;

    // Starts an upload; the part size is passed on unchecked. `description` is sent as given.
    RequestOperation::Ptr apiInitiate(const std::optional<std::string>& description,
                                      std::int64_t partSize, InitiateDone done);
    // One page of unfinished uploads; limit 0 and an empty marker send no query.
    RequestOperation::Ptr apiGet(std::int64_t limit, const std::string& marker, PageDone done);
    // Every page; a failed page drops what was read.
    void apiGetAll(AllDone done);

  private:
    void getAllFrom(std::string marker, std::shared_ptr<std::vector<MultipartUploadPtr>> list,
                    int page, AllDone done);

    Vault& vault_;
};

}  // namespace quillon
