// RestoreEstimate: the counts and the prices. Threads: as in RestoreEstimate.h.
#include "transfers/RestoreEstimate.h"

#include <algorithm>
#include <cstdint>
#include <map>

#include "foundation/JSON.h"
#include "interfaces/platform/UserDefaults.h"
#include "inventory/GlacierRetrievalTier.h"

namespace quillon {

namespace {

constexpr double kGiB = 1073741824.0;

}  // namespace

std::map<GlacierRetrievalTier, RestoreEstimate::Price> RestoreEstimate::prices() {
    std::map<GlacierRetrievalTier, Price> prices = {
        {GlacierRetrievalTier::expedited, {0.03, 10.00}},
        {GlacierRetrievalTier::standard, {0.01, 0.05}},
        {GlacierRetrievalTier::bulk, {0.0025, 0.025}},
    };
    const JSON overrides = UserDefaults::standard()->object(kPricesKey);
    for (auto& [tier, price] : prices) {
        const JSON& tierPrices = overrides[description(tier)];
        if (auto perGiB = tierPrices["perGiB"].double_()) {
            price.perGiB = *perGiB;
        }
        if (auto per1000 = tierPrices["per1000Requests"].double_()) {
            price.per1000Requests = *per1000;
        }
    }
    return prices;
}

RestoreEstimate RestoreEstimate::make(std::int64_t archives, std::int64_t bytes,
                                      std::int64_t downloadRequests, std::int64_t bytesPerDay) {
    RestoreEstimate estimate;
    estimate.archives = archives;
    estimate.bytes = bytes;
    estimate.jobs = archives;
    estimate.requests = archives + downloadRequests;
    estimate.days =
        bytesPerDay > 0 ? std::max<std::int64_t>(1, (bytes + bytesPerDay - 1) / bytesPerDay) : 1;
    for (const auto& [tier, price] : prices()) {
        estimate.costs[tier] = static_cast<double>(bytes) / kGiB * price.perGiB +
                               static_cast<double>(estimate.jobs) / 1000.0 * price.per1000Requests;
    }
    return estimate;
}

}  // namespace quillon
