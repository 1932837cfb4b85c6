// SimConfig: the simulator's options (port, key pair, account id, data directory, job delay).
// Threads: a plain value, set before serving and only read after.
#pragma once

#include <string>

namespace quillon::sim {

struct SimConfig {
    static constexpr const char* kDefaultAccessKey = "AKIDEXAMPLE";
    static constexpr const char* kDefaultSecretKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
    static constexpr const char* kDefaultAccountId = "123456789012";

    int port = 0;
    std::string accessKey = kDefaultAccessKey;
    std::string secretKey = kDefaultSecretKey;
    std::string accountId = kDefaultAccountId;
    std::string dataDir;  // empty: archive bodies stay in memory
    double jobDelaySeconds = 0;
};

}  // namespace quillon::sim
