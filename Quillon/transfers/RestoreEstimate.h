// RestoreEstimate: what a restore will ask of the service, how long its budget needs and what
// it costs in each retrieval tier.
// Threads: a plain value; the prices are read from the user defaults, which lock themselves.
#pragma once

#include <cstdint>
#include <map>

#include "inventory/GlacierRetrievalTier.h"

namespace quillon {

// The cost of retrieving `bytes` in `jobs` retrieval jobs, per tier, at prices per GiB and per
// 1,000 requests. The defaults are the service's published us-east-1 prices; the user default
// "restore.prices" ({"Bulk": {"perGiB": 0.0025, "per1000Requests": 0.025}, ...}, any part of
// it) overrides them.
struct RestoreEstimate {
    struct Price {
        double perGiB = 0;
        double per1000Requests = 0;
    };
    static constexpr const char* kPricesKey = "restore.prices";

    std::int64_t archives = 0;
    std::int64_t bytes = 0;
    std::int64_t jobs = 0;      // retrieval jobs still to start
    std::int64_t requests = 0;  // requests of the service: retrievals and ranged downloads
    std::int64_t days = 0;      // days of service time the daily budget needs; 1 without one
    std::map<GlacierRetrievalTier, double> costs;  // dollars per tier

    // The prices in effect: the defaults, overridden by the user default.
    static std::map<GlacierRetrievalTier, Price> prices();
    // `downloadRequests` is the count of ranged downloads; `bytesPerDay` 0 means no budget.
    static RestoreEstimate make(std::int64_t archives, std::int64_t bytes,
                                std::int64_t downloadRequests, std::int64_t bytesPerDay);
};

}  // namespace quillon
