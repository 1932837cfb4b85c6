// AccountRegion: an account in one region; builds, signs and sends its requests.
// Threads: the owner's thread (vaults and policy are made on first use, unguarded); request
//   completions arrive on the client's worker threads, or on the caller's when a request fails
//   before it is sent.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/Account.h"
#include "accounts/ApiRequest.h"
#include "accounts/Region.h"
#include "accounts/ServiceClock.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/URLRequest.h"

namespace quillon {

class DataRetrievalPolicy;
class Vault;
class Vaults;
struct Tag;

// An account working in one region: the entry point of every Glacier request of that pair,
// the owner of the region's vault list and retrieval policy, and the holder of the user's
// selected region.
class AccountRegion : public std::enable_shared_from_this<AccountRegion> {
  public:
    using Ptr = std::shared_ptr<AccountRegion>;
    using RequestCompletion = std::function<void(ErrorPtr, RequestOperation::Ptr)>;
    using JSONCompletion = std::function<void(const JSON&, ErrorPtr, RequestOperation::Ptr)>;
    using Headers = ApiRequest::Headers;

    static Ptr create(AccountPtr account, RegionPtr region);
    ~AccountRegion();

    const AccountPtr& account() const { return account_; }
    const RegionPtr& region() const { return region_; }
    Vaults& vaults();
    DataRetrievalPolicy& dataRetrievalPolicy();
    DatabaseQueue& db() { return account_->db(); }
    // The service's time, learnt from the answers of every request of the frame.
    ServiceClock& serviceClock() { return serviceClock_; }

    std::string description();
    std::string storageKeySelectedAccountRegion() const;
    std::string storageKeyPrefix() const;
    bool selected() const;
    void select();
    void unselect();

    std::vector<std::string> autocompleteTagKey(const std::string& prefix);
    // The key-value pairs that at least two of the given vaults share.
    std::vector<Tag> findCommonTags(const std::vector<std::shared_ptr<Vault>>& vaults);

    // Signs a prepared request with the account's keys; throws ModelError::secretKeyNotSet for
    // an empty secret. A region without a base URL gives the request back unsigned.
    URLRequest apiSignRequest(const URLRequest& request,
                              std::optional<std::chrono::system_clock::time_point> date = {});

    // Lets the operation sign its request anew when the service refuses it for a clock that is
    // off (RequestOperation::setResigner). apiPerformRequest does it for its own operations.
    void allowResigning(const RequestOperation::Ptr& operation);

    // A request built and signed, or why not: `request` is none with no error when the region
    // has no base URL, none with the error when the path refused a name or signing failed.
    struct PreparedRequest {
        std::optional<URLRequest> request;
        ErrorPtr error;
    };
    // Builds and signs a request; for operations that create their operation themselves (a body
    // streamed from a file, a download into a stream).
    PreparedRequest apiPrepareRequest(const ApiRequest& apiRequest);

    // Builds, signs and (when addToQueue) queues a request. Returns none without calling `done`
    // when the region has no base URL; calls `done` on the caller's thread and returns none when
    // the path refused a name or signing failed.
    RequestOperation::Ptr apiPerformRequest(const ApiRequest& apiRequest, RequestCompletion done);
    // The same for an answer in JSON: an answer that is not JSON of the expected shape ends in
    // the invalid-response error with the null JSON value.
    RequestOperation::Ptr apiPerformJSONRequest(const ApiRequest& apiRequest,
                                                const AnswerShape& shape, JSONCompletion done);

    // What a walk over the service's pages reports when the region has no usable endpoint.
    ErrorPtr noEndpointError() const;

    void checkCredentials(std::function<void(ErrorPtr)> done);

    bool operator==(const AccountRegion& other) const;

  private:
    struct Token {};

  public:
    AccountRegion(Token, AccountPtr account, RegionPtr region);

  private:
    std::optional<URLRequest> buildRequest(const ApiRequest& apiRequest);

    AccountPtr account_;
    RegionPtr region_;
    std::unique_ptr<Vaults> vaults_;
    std::unique_ptr<DataRetrievalPolicy> dataRetrievalPolicy_;
    ServiceClock serviceClock_;
};

using AccountRegionPtr = std::shared_ptr<AccountRegion>;

}  // namespace quillon
