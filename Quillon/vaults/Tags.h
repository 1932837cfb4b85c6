// Tags: one vault's tags, from the service and cached in the account's database.
// Threads: not thread-safe; one user at a time (the owner, or a request completion on the
//   client's worker thread while the owner waits). The database queue serialises the cache.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"
#include "vaults/Tag.h"

namespace quillon {

class Vault;

// The tags of one vault, read from the service and cached in the account's database. Owned by
// its vault.
class Tags {
  public:
    static constexpr int kQuota = 10;
    static constexpr std::int64_t kFreshSeconds = 86400;

    explicit Tags(Vault& vault);

    Vault& vault() const { return vault_; }
    DatabaseQueue& db();

    int count();
    // Ten stored tags reach the service's limit.
    bool quotaReached();
    // Cached tags in key order.
    std::vector<Tag> all();
    std::optional<Tag> getFromDB(Database& db, const std::string& key);
    std::optional<Tag> get(const std::string& key);

    std::optional<std::int64_t> lastSync();
    bool didSync();
    bool needSync();

    ApiPath apiBasePath() const;
    // Replaces the vault's cached tags and stamps the fetch time, before `done`.
    RequestOperation::Ptr apiGet(std::function<void(const std::vector<Tag>&, ErrorPtr)> done);
    // Each mirrors its change into the cache before `done`; the fetch time stays.
    RequestOperation::Ptr apiAdd(const std::vector<Tag>& tags, std::function<void(ErrorPtr)> done);
    RequestOperation::Ptr apiRemove(const std::vector<std::string>& keys,
                                    std::function<void(ErrorPtr)> done);

  private:
    std::string region() const;
    // POSTs one change ("operation=add" or "remove") of the vault's tags; on success `mirror`
    // applies it to the cached rows (region, vault) in one transaction, then `done` runs.
    RequestOperation::Ptr apiChange(
        const std::string& operation, JSON::Value body,
        std::function<void(Database&, const std::string&, const std::string&)> mirror,
        std::function<void(ErrorPtr)> done);

    Vault& vault_;
};

}  // namespace quillon
