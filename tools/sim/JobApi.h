// JobApi: the handlers that start, list and describe jobs and serve their output.
// Threads: called from many connection threads at once; no state of its own beyond the shared
//   stores, the clock and the retrieval budget, which lock themselves.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "sim/Exchange.h"
#include "sim/IdGenerator.h"
#include "sim/IsoTime.h"
#include "sim/JobStore.h"
#include "sim/RetrievalBudget.h"
#include "sim/SimClock.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

// Starting, listing and describing jobs, and serving their output.
//
// With a fixed delay, every job completes that many real seconds after it starts. Without one,
// a job completes after its tier's time on the service's clock (Expedited 1-5 minutes,
// Standard 3-5 hours, Bulk 5-12 hours; an inventory job takes Standard's), archive retrievals
// must pass the region's data retrieval policy, and either way a job's output stays available
// for 24 hours after completion; then the job is gone.
class JobApi {
  public:
    static constexpr size_t kDefaultPage = 50;
    static constexpr std::chrono::hours kAvailability{24};

    JobApi(VaultStore& vaults, JobStore& jobs, IdGenerator& ids, const SimClock& clock,
           RetrievalBudget* budget, std::optional<double> delaySeconds)
        : vaults_(vaults),
          jobs_(jobs),
          ids_(ids),
          clock_(clock),
          budget_(budget),
          delaySeconds_(delaySeconds) {}

    // How long a job of `tier` takes on the service's clock, drawn from the tier's range by
    // the job's id.
    static std::chrono::seconds tierDuration(const std::string& tier, const std::string& id);

    void initiate(Exchange& exchange, const std::string& vault);
    void list(Exchange& exchange, const std::string& vault);
    void describe(Exchange& exchange, const std::string& vault, const std::string& id);
    void output(Exchange& exchange, const std::string& vault, const std::string& id);

  private:
    nlohmann::ordered_json describeJson(const Job& job, TimePoint now) const;
    void jobNotFound(Exchange& exchange, const std::string& id) const;
    // The job while its output is available; null when it is unknown or expired.
    std::shared_ptr<const Job> liveJob(const Exchange& exchange, const std::string& vault,
                                       const std::string& id, TimePoint now) const;

    VaultStore& vaults_;
    JobStore& jobs_;
    IdGenerator& ids_;
    const SimClock& clock_;
    RetrievalBudget* budget_;  // null: no retrieval policy applies
    std::optional<double> delaySeconds_;
};

}  // namespace quillon::sim
