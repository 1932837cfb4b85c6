// Vaults: one account region's vault list, mirrored into the account's database.
// Threads: not thread-safe; one user at a time (the owner, or the sync's page completions on
//   the client's worker threads, one after another). The database queue serialises the mirror;
//   the names a sync rejected are kept under a lock of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

class AccountRegion;
class UserDefaults;
class Vault;
using VaultPtr = std::shared_ptr<Vault>;
using AccountRegionPtr = std::shared_ptr<AccountRegion>;

// The vault list of one account in one region, mirrored into the account's database.
// Owned by its AccountRegion.
class Vaults {
  public:
    enum class SortByOption : int { manually = 0, name = 1, size = 2, createdAt = 3 };
    enum class SortDirection : int { ascending = 0, descending = 1 };

    static constexpr const char* kSortByKey = "VaultsSortBy";
    static constexpr const char* kSortDirectionKey = "VaultsSortDirection";
    static constexpr std::int64_t kFreshSeconds = 3600;

    // The column a sort option sorts on, and the SQL word of a direction.
    static std::string description(SortByOption option);
    static std::string description(SortDirection direction);

    explicit Vaults(AccountRegion& accountRegion);
    ~Vaults();

    // Vaults built from a list response's "VaultList"; elements without a name are skipped, and
    // so are names that break the service's naming rule (added to `rejected` when given).
    static std::vector<VaultPtr> multiple(const JSON& json, const AccountRegionPtr& accountRegion,
                                          std::vector<std::string>* rejected = nullptr);

    AccountRegion& accountRegion() const { return accountRegion_; }
    DatabaseQueue& db();

    int count();
    int numberOfArchives();
    std::int64_t size();

    // Read and written through the standard user defaults on every access.
    SortByOption sortBy() const;
    void setSortBy(SortByOption option);
    SortDirection sortDirection() const;
    void setSortDirection(SortDirection direction);
    std::string orderBy() const;

    std::vector<VaultPtr> allFromDB(Database& db);
    std::vector<VaultPtr> all();
    // Terms separated by "|", joined with OR: a term matches names containing it; a term
    // "tag:KEY" or "tag:KEY=VALUE" matches vaults with such a tag. LIKE wildcards in a term stay
    // wildcards; matching is case-sensitive. An empty query lists every vault.
    std::vector<VaultPtr> filter(const std::string& query);
    // Through the process-wide vault cache.
    VaultPtr getFromDB(Database& db, const std::string& name);
    VaultPtr get(const std::string& name);

    std::optional<std::int64_t> lastSync();
    bool didSync();
    bool needSync();

    // One page of the service's vault list: the vaults, the next page's marker ("" when this
    // was the last page) and the error.
    using PageCompletion =
        std::function<void(const std::vector<VaultPtr>&, const std::string& marker, ErrorPtr)>;
    ApiPath apiBasePath() const;
    RequestOperation::Ptr apiGet(int limit, const std::string& marker, PageCompletion done);
    // Fetches every page, then in one transaction hides vanished vaults (Vault::hideInDB),
    // stores the list and stamps the fetch time; a failed page changes nothing. Empties the
    // vault cache after a complete sync. For a region without a usable endpoint nothing is
    // asked and `done` is not called: check the region's baseURL first.
    void sync(std::function<void(ErrorPtr)> done);
    // The names of the last sync's list that broke the naming rule and were left out.
    std::vector<std::string> rejectedNames() const;
    // The vaults hidden because the service stopped listing them; their local data is kept.
    std::vector<std::string> hiddenNames();
    // Removes a hidden vault's local data for good; false when no such vault is hidden.
    bool forgetHidden(const std::string& name);

    // Removes every vault of the region, hidden ones too, with its local data, the region's vault
    // directory and the account's transfers directory (account removal).
    void deleteAllLocalData();

    // "Vaults." + region id inside the account directory; created when missing.
    const std::string& directory();

  private:
    // Stores a complete list of the service's vaults in one transaction.
    void storeSyncedList(const std::vector<VaultPtr>& fetched);

    AccountRegion& accountRegion_;
    std::shared_ptr<UserDefaults> prefs_;
    mutable std::mutex rejectedMutex_;  // guards rejected_, written by page completions
    std::vector<std::string> rejected_;
    std::optional<std::string> directory_;
};

}  // namespace quillon
