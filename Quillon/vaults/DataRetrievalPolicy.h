// DataRetrievalPolicy: one account region's retrieval policy, from the service and cached.
// Threads: not thread-safe; one user at a time (the owner, or a request completion on the
//   client's worker thread while the owner waits). The database queue serialises the cache.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

class AccountRegion;

// The data retrieval policy of one account region: read from and written to the service, cached
// one row per region in the account's database. Owned by its AccountRegion.
class DataRetrievalPolicy {
  public:
    // Raw values are the service's words; Unknown is the empty text.
    enum class Strategy { Unknown, FreeTier, BytesPerHour, None };

    static constexpr std::int64_t kFreshSeconds = 86400;

    static std::string rawValue(Strategy strategy);
    // Exact, case-sensitive match of a raw value; none for any other text.
    static std::optional<Strategy> strategyFromRawValue(const std::string& text);
    static std::string description(Strategy strategy);

    // Loads the cached policy of the region before returning.
    explicit DataRetrievalPolicy(AccountRegion& accountRegion);

    Strategy strategy = Strategy::Unknown;
    std::int64_t bytesPerHour = 0;

    AccountRegion& accountRegion() const { return accountRegion_; }
    DatabaseQueue& db();
    std::string description() const;

    // Takes the first rule of a service response.
    void read(const JSON& json);
    // Takes the cached row; keeps the values when there is none.
    void read();
    // Writes the current values to the cache, stamped now.
    void save();

    std::optional<std::int64_t> lastSync();
    bool didSync();
    bool needSync();

    static ApiPath apiBasePath() { return ApiPath::account().word("policies/data-retrieval"); }
    // Refreshes the object and the cache before `done`.
    RequestOperation::Ptr apiGet(std::function<void(ErrorPtr)> done);
    // Refreshes the object only; the cache changes with the next apiGet.
    RequestOperation::Ptr apiPut(Strategy strategy, std::int64_t bytesPerHour,
                                 std::function<void(ErrorPtr)> done);

  private:
    AccountRegion& accountRegion_;
};

}  // namespace quillon
