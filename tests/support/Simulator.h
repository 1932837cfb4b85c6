// A quillon-sim process on a free port of 127.0.0.1 for the lifetime of a Simulator, and the
// helpers that store archives on it and wait for its jobs. Thread rules: create and destroy a
// Simulator on one thread; its const members, each a request of its own, may run on any thread.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "foundation/ChildProcess.h"
#include "interfaces/files/TreeHash.h"
#include "support/SignedClient.h"

namespace quillon {
class Job;
}

namespace quillon::testing {

class Simulator {
  public:
    struct Options {
        std::string accessKey = "AKIDEXAMPLE";
        std::string secretKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
        std::string accountId = "123456789012";
        std::string dataDir{};  // empty: archive bodies in memory
        double jobDelay = 0;    // seconds until a job completes
        // True: no job delay; the service runs on its own clock (advanceClock): jobs by tier,
        // 24 h job output, daily vault inventories, the retrieval policy enforced.
        bool simulatedClock = false;
        std::string region{};  // set: the one region served and signed for, whatever the host
        std::optional<long> deleteRate{};  // archive deletions per second before throttling
        std::optional<uint64_t> freeTierBytesPerDay{};
    };

    Simulator();
    explicit Simulator(Options options);

    int port() const { return port_; }
    pid_t pid() const { return process_->pid(); }
    // "http://127.0.0.1:PORT/"
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    // "http://glacier.<id>.localhost:PORT/": a separate region of the same simulator.
    std::string regionURL(const std::string& regionId) const {
        return "http://glacier." + regionId + ".localhost:" + std::to_string(port_) + "/";
    }
    const std::string& accessKey() const { return options_.accessKey; }
    const std::string& secretKey() const { return options_.secretKey; }
    // A client signing with the simulator's keys: for us-east-1 at the base URL, or for
    // `region` at its region URL.
    SignedClient client(const std::string& region = "") const;
    // A request by client(); storeArchive adds the upload's tree hash and SHA-256 of `bytes`.
    HttpAnswer send(const std::string& method, const std::string& path,
                    const std::string& body = "",
                    const std::vector<std::string>& headers = {}) const {
        return client().send(method, path, body, headers);
    }
    HttpAnswer get(const std::string& path) const { return client().get(path); }
    HttpAnswer storeArchive(const std::string& vault, const std::string& bytes,
                            std::vector<std::string> headers = {}) const;

    // Each service request since the last clear: {"method", "target", "host", "region",
    // "signature" ("valid", "invalid", "unknown-key", "missing", "malformed", "expired"),
    // "status", and "fault" when one was applied}.
    nlohmann::json requestLog() const { return nlohmann::json::parse(control("GET", "log")); }
    void clearRequestLog() const { control("DELETE", "log"); }
    // Logged requests of `method` whose target holds `targetPart`; with `okOnly`, only those
    // answered with a status below 300.
    int countRequests(const std::string& method, const std::string& targetPart,
                      bool okOnly = false) const;
    // Arms a fault (or an array of them) for the next matching requests, e.g.
    // {"status": 500, "code": "InternalFailure"}, {"status": 400, "code": "ThrottlingException"},
    // {"status": 403, "body": ""}, {"status": 500, "body": "<html>"}, {"code": 17},
    // {"status": 200, "body": ""}, {"kind": "drop"}, {"kind": "wrong-tree-hash"},
    // {"kind": "delay", "delayMs": 200}; narrowed by "method", "path" (substring of the
    // target) and "count" (default 1, -1 for always).
    void injectFault(const nlohmann::json& fault) const { control("POST", "faults", fault.dump()); }
    void clearFaults() const { control("DELETE", "faults"); }
    // The faults not yet taken by a request (a fault is taken as its request arrives).
    nlohmann::json pendingFaults() const { return nlohmann::json::parse(control("GET", "faults")); }
    // Creates `vault` in `region` (default us-east-1) if needed and adds `count` archives of
    // `size` bytes (default 1) described prefix + index; answers {"treeHash", "archiveIds"
    // (only up to 1000), ...}.
    nlohmann::json seed(const nlohmann::json& request) const {
        return nlohmann::json::parse(control("POST", "seed", request.dump()));
    }
    // Moves the service's clock `seconds` ahead (whole days: 86400 * N); answers its new now,
    // "2026-01-31T12:00:00.000Z".
    std::string advanceClock(double seconds) const {
        return nlohmann::json::parse(
            control("POST", "clock", nlohmann::json{{"advanceSeconds", seconds}}.dump()))["now"];
    }
    // The service's clock now, as advanceClock answers it.
    std::string clockNow() const { return nlohmann::json::parse(control("GET", "clock"))["now"]; }
    // Starts a job in `vault` with `body` (for example {"Type": "inventory-retrieval"}) and
    // answers its id; fails the test unless the service accepts it (202).
    std::string startJob(const std::string& vault, const nlohmann::json& body) const {
        HttpAnswer job = send("POST", "/-/vaults/" + vault + "/jobs", body.dump());
        EXPECT_EQ(job.status, 202) << job.body;
        return job.header("x-amz-job-id");
    }

  private:
    // A request to the control interface under /_sim/; answers the body, throws on failure.
    std::string control(const std::string& method, const std::string& path,
                        const std::string& body = "") const;

    Options options_;
    std::unique_ptr<BackgroundProcess> process_;
    int port_ = 0;
};

inline Simulator::Options simulatorWithJobDelay(double seconds) {
    Simulator::Options options;
    options.jobDelay = seconds;
    return options;
}

// A simulator on its own clock (see Options::simulatedClock).
inline Simulator::Options simulatorOnItsClock() {
    Simulator::Options options;
    options.simulatedClock = true;
    return options;
}

// Bytes that differ from chunk to chunk, so that a misplaced range shows.
std::string patternBytes(std::size_t size);

// Stores an archive on the simulator at `baseURL` by a request our own client signs; the archive
// id, or "" when the upload failed.
std::string uploadArchive(const std::string& baseURL, const std::string& accessKey,
                          const std::string& secret, const std::string& vault,
                          const std::string& bytes);

// Describes the job until the service says it has succeeded; a bounded number of looks.
bool waitUntilDone(const std::shared_ptr<Job>& job);

}  // namespace quillon::testing
