// SimConfig: the simulator's options (port, key pair, account id, data directory, the job
// delay or the simulated clock, the region it serves, its limits).
// Threads: a plain value, set before serving and only read after.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillon::sim {

struct SimConfig {
    static constexpr const char* kDefaultAccessKey = "AKIDEXAMPLE";
    static constexpr const char* kDefaultSecretKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
    static constexpr const char* kDefaultAccountId = "123456789012";
    // The service's free tier: 10 GiB a month, as a daily allowance of a 30-day month.
    static constexpr uint64_t kDefaultFreeTierBytesPerDay = 10ULL * 1073741824ULL / 30;

    int port = 0;
    std::string accessKey = kDefaultAccessKey;
    std::string secretKey = kDefaultSecretKey;
    std::string accountId = kDefaultAccountId;
    std::string dataDir;  // empty: archive bodies stay in memory
    // Set: every job completes this many real seconds after it starts, inventories and vault
    // counts are live, and no retrieval policy applies. Unset: the service's time runs on the
    // simulated clock (tiers, job expiry, the daily inventory, the retrieval policy).
    std::optional<double> jobDelaySeconds;
    std::string region;  // set: the one region served, whatever the host; empty: by host
    std::optional<long> deleteRate;  // archive deletions per real second before throttling
    uint64_t freeTierBytesPerDay = kDefaultFreeTierBytesPerDay;

    bool simulatedTime() const { return !jobDelaySeconds.has_value(); }
};

}  // namespace quillon::sim
