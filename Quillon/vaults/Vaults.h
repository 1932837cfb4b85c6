#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/Database.h"
#include "interfaces/Error.h"
#include "interfaces/JSON.h"
#include "interfaces/RequestOperation.h"

namespace quillon {

class AccountRegion;
class Vault;
using VaultPtr = std::shared_ptr<Vault>;

// The vault list of one account in one region, mirrored into the account's database.
// Owned by its AccountRegion.
class Vaults {
  public:
    explicit Vaults(AccountRegion& accountRegion);

    AccountRegion& accountRegion() const { return accountRegion_; }
    DatabaseQueue& db();

    int count();
    int numberOfArchives();
    std::int64_t size();

    std::optional<std::int64_t> lastSync();
    bool didSync();
    bool needSync();

    // One page of the service's vault list: the vaults, the next page's marker ("" when this
    // was the last page) and the error.
    using PageCompletion =
        std::function<void(const std::vector<VaultPtr>&, const std::string& marker, ErrorPtr)>;
    RequestOperation::Ptr apiGet(int limit, const std::string& marker, PageCompletion done);
    // Fetches every page, then stores the list in one transaction.
    void sync(std::function<void(ErrorPtr)> done);

    // Removes every vault's local data and the region's vault directory (account removal).
    void deleteAllLocalData();

    // "Vaults." + region id inside the account directory; created when missing.
    const std::string& directory();

  private:
    AccountRegion& accountRegion_;
    std::optional<std::string> directory_;
};

}  // namespace quillon
