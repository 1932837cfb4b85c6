// RequestLog: the bounded log of service requests read through the control endpoint.
// Threads: any thread; a mutex guards the entries.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace quillon::sim {

struct LoggedRequest {
    std::string method;
    std::string target;
    std::string host;
    std::string region;
    std::string signature;  // "valid", "missing", "malformed", "unknown-key", "invalid", "expired"
    int status = 0;
    std::string fault;  // the kind of an injected fault, empty for none
};

// The service requests seen since the last clear, oldest first; bounded.
class RequestLog {
  public:
    static constexpr size_t kCapacity = 200000;

    void add(LoggedRequest entry);
    void clear();
    nlohmann::json toJson() const;

  private:
    mutable std::mutex mutex_;
    std::deque<LoggedRequest> entries_;
};

}  // namespace quillon::sim
