// ArchiveApi: the handlers of archive upload and deletion and of multipart uploads.
// Threads: called from many connection threads at once; no state of its own beyond the shared
//   stores and the deletion limiter, which lock themselves.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "sim/Exchange.h"
#include "sim/IdGenerator.h"
#include "sim/MultipartStore.h"
#include "sim/RateLimiter.h"
#include "sim/SimClock.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

// Archive upload and deletion, and the multipart upload protocol.
class ArchiveApi {
  public:
    static constexpr size_t kDefaultPage = 50;
    static constexpr size_t kMaxDescription = 1024;

    // `deletions`, when given, limits the rate of archive deletions.
    ArchiveApi(VaultStore& vaults, MultipartStore& uploads, IdGenerator& ids, const SimClock& clock,
               std::string dataDir, RateLimiter* deletions)
        : vaults_(vaults),
          uploads_(uploads),
          ids_(ids),
          clock_(clock),
          dataDir_(std::move(dataDir)),
          deletions_(deletions) {}

    void upload(Exchange& exchange, const std::string& vault);
    void remove(Exchange& exchange, const std::string& vault, const std::string& id);

    void initiate(Exchange& exchange, const std::string& vault);
    void uploadPart(Exchange& exchange, const std::string& vault, const std::string& id);
    void listUploads(Exchange& exchange, const std::string& vault);
    void listParts(Exchange& exchange, const std::string& vault, const std::string& id);
    void complete(Exchange& exchange, const std::string& vault, const std::string& id);
    void abort(Exchange& exchange, const std::string& vault, const std::string& id);

  private:
    // False after answering when the description header is not acceptable.
    static bool checkDescription(Exchange& exchange);
    bool checkVault(Exchange& exchange, const std::string& vault);
    void uploadNotFound(Exchange& exchange, const std::string& id);
    void created(Exchange& exchange, const std::string& vault,
                 std::shared_ptr<const ArchiveRecord> archive);

    VaultStore& vaults_;
    MultipartStore& uploads_;
    IdGenerator& ids_;
    const SimClock& clock_;
    std::string dataDir_;
    RateLimiter* deletions_;
};

}  // namespace quillon::sim
