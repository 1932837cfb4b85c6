// JobApi: the handlers that start, list and describe jobs and serve their output.
// Threads: called from many connection threads at once; no state of its own beyond the shared
//   stores, which lock themselves.
#pragma once

#include "sim/Exchange.h"
#include "sim/IdGenerator.h"
#include "sim/JobStore.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

// Starting, listing and describing jobs, and serving their output.
class JobApi {
  public:
    static constexpr size_t kDefaultPage = 50;

    JobApi(VaultStore& vaults, JobStore& jobs, IdGenerator& ids, double delaySeconds)
        : vaults_(vaults), jobs_(jobs), ids_(ids), delaySeconds_(delaySeconds) {}

    void initiate(Exchange& exchange, const std::string& vault);
    void list(Exchange& exchange, const std::string& vault);
    void describe(Exchange& exchange, const std::string& vault, const std::string& id);
    void output(Exchange& exchange, const std::string& vault, const std::string& id);

  private:
    nlohmann::ordered_json describeJson(const Job& job) const;
    void jobNotFound(Exchange& exchange, const std::string& id) const;

    VaultStore& vaults_;
    JobStore& jobs_;
    IdGenerator& ids_;
    double delaySeconds_;
};

}  // namespace quillon::sim
