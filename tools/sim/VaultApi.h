// VaultApi: the handlers of vaults, vault tags and the data retrieval policy.
// Threads: called from many connection threads at once; no state of its own beyond the vault
//   store, which locks itself.
#pragma once

#include <cstddef>
#include <string>

#include "sim/Exchange.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

// Vault list, create, describe and delete; vault tags; the data retrieval policy.
class VaultApi {
  public:
    static constexpr size_t kDefaultPage = 10;

    explicit VaultApi(VaultStore& vaults) : vaults_(vaults) {}

    void list(Exchange& exchange);
    void create(Exchange& exchange, const std::string& name);
    void describe(Exchange& exchange, const std::string& name);
    void remove(Exchange& exchange, const std::string& name);
    void tags(Exchange& exchange, const std::string& name);
    void changeTags(Exchange& exchange, const std::string& name);
    void policy(Exchange& exchange);
    void setPolicy(Exchange& exchange);

    // Shared by every handler that addresses a vault.
    static void vaultNotFound(Exchange& exchange, const std::string& arn);
    // Parses `limit`; false after answering when it is invalid.
    static bool pageLimit(Exchange& exchange, size_t fallback, size_t& limit);

  private:
    nlohmann::ordered_json describeJson(const VaultInfo& info) const;

    VaultStore& vaults_;
};

}  // namespace quillon::sim
