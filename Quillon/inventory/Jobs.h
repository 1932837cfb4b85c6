// Jobs: one vault's jobs, listed and started on the service.
// Threads: the caller's thread; completions arrive on the client's worker threads.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/http/RequestOperation.h"
#include "inventory/GlacierRetrievalTier.h"
#include "inventory/Job.h"

namespace quillon {

class Vault;

// The jobs of one vault, listed from the service each time and started there. Owned by its
// vault.
class Jobs {
  public:
    static constexpr const char* kLastInventoryRequestSuffix = ".lastInventoryRequest";

    using PageCompletion =
        std::function<void(const std::vector<Job::Ptr>&, const std::string& marker, ErrorPtr)>;
    using ListCompletion = std::function<void(const std::vector<Job::Ptr>&, ErrorPtr)>;
    using JobCompletion = std::function<void(Job::Ptr, ErrorPtr)>;

    explicit Jobs(Vault& vault);

    Vault& vault() const { return vault_; }

    // The jobs of json["JobList"] in order; elements without a text "JobId" are skipped.
    static std::vector<Job::Ptr> multiple(const JSON& json, const VaultPtr& vault);

    ApiPath apiBasePath() const;
    // The user-defaults key under which the time of the last inventory request is kept.
    std::string lastInventoryRequestKey() const;

    // One page: the jobs and the next page's marker ("" after the last page). A failing page
    // gives no jobs and an empty marker. `limit` 0 and an empty marker are not sent.
    RequestOperation::Ptr apiGet(int limit, const std::string& marker, PageCompletion done);
    // Every page, one after another. The first failing page ends the walk with no jobs and its
    // error; so does a marker that comes back, and a region without a usable endpoint.
    void apiGetAll(ListCompletion done);

    // Both report the new job (its data still null), read from "x-amz-job-id".
    // The inventory request also records the time of the request in the user defaults.
    RequestOperation::Ptr apiInitiateInventoryRetrieval(
        const std::optional<std::string>& description, JobCompletion done);
    // `byteRange` is the service's "FIRST-LAST" text, sent as it is.
    RequestOperation::Ptr apiInitiateArchiveRetrieval(const std::string& archiveId,
                                                      const std::optional<std::string>& description,
                                                      const std::optional<std::string>& byteRange,
                                                      GlacierRetrievalTier tier,
                                                      JobCompletion done);

  private:
    RequestOperation::Ptr initiate(JSON::Value body, bool inventory, JobCompletion done);

    Vault& vault_;
};

}  // namespace quillon
