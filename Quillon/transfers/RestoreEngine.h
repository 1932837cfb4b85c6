// RestoreEngine: advances a vault's restore plan: jobs matched and requested under the budget
// and the retrieval policy, outputs downloaded and checked, files put in place.
// Threads: advance() and run() block the calling thread (the front end's main thread, whose
//   main queue they pump while they wait for an answer); downloads run on worker threads of
//   their own, each archive on one, and their parts on the client's threads. The plan's queue
//   and the report's lock serialise what they share.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "inventory/GlacierRetrievalTier.h"
#include "transfers/RestorePlan.h"

namespace quillon {

class Vault;
using VaultPtr = std::shared_ptr<Vault>;

// Advances a restore plan as far as the service allows now. Each pass lists the vault's jobs
// and matches them to the plan (adopting a job the service already has for an archive, and
// settling requests whose answer was lost), downloads the outputs that are ready, then starts
// retrieval jobs for planned archives while fewer than `maxJobs` are outstanding, the bytes
// requested in the last 24 hours of the service's time stay under the daily budget and the
// region's data retrieval policy would allow the request. Every change is written to the plan
// as it happens: the job id in the same step as it is learnt, so a killed run repeats no paid
// request.
class RestoreEngine {
  public:
    struct Settings {
        GlacierRetrievalTier tier = GlacierRetrievalTier::standard;
        std::int64_t maxBytesPerDay = 0;  // 0: no budget
        std::int64_t maxJobs = 100;
        bool overwrite = false;
        int downloads = 4;        // archives downloaded at once
        int partConcurrency = 4;  // parts of one archive at once
        std::int64_t partSize = std::int64_t{16} * 1048576;
        // The daily allowance of a free-tier policy (the service's free tier: 10 GiB a month).
        std::int64_t freeTierBytesPerDay = std::int64_t{10} * 1073741824 / 30;
        // Service seconds without new requests after the policy refused one.
        double policyBackoff = 3600;
        // Chatter for the user: what a pass did.
        std::function<void(const std::string&)> note;
        // Told from the download threads as outputs arrive: the bytes received in this pass and
        // the bytes of the archives that were ready when its downloads began.
        std::function<void(std::int64_t received, std::int64_t ready)> progress;
    };
    struct Failure {
        std::string path;
        std::string archiveId;
        std::string error;
    };
    struct Report {
        std::map<RestorePlan::State, RestorePlan::Totals> states;
        RestorePlan::Totals all;
        std::int64_t expired = 0;     // expired jobs requested again, over the plan's life
        std::int64_t requested = 0;   // retrieval jobs started by this pass
        std::int64_t reused = 0;      // jobs of the service taken over by this pass
        std::int64_t downloaded = 0;  // archives put in place by this pass
        std::int64_t downloadedBytes = 0;
        std::int64_t policyRefusals = 0;
        std::vector<Failure> failures;  // failed archives, and what went wrong in this pass
        std::vector<RestorePlan::Collision> collisions;
        // When, in the service's time, waiting could change something; none when nothing waits.
        std::optional<double> nextEvent;

        // Nothing is planned, requested or ready any more.
        bool finished() const;
    };

    RestoreEngine(VaultPtr vault, RestorePlanPtr plan, Settings settings);

    // One pass.
    Report advance();
    // The plan's counts without asking the service.
    Report summary();
    // Passes until the plan is finished or `timeoutSeconds` (real time) have passed, waiting
    // between passes until the service's next event, at most `interval` real seconds. Without
    // `wait`, one pass.
    Report run(bool wait, double interval, double timeoutSeconds);

  private:
    struct JobInfo {
        std::string id;
        std::string archiveId;
        bool succeeded = false;
        bool failed = false;
        std::string message;
        double created = 0;
    };
    struct Pass;

    void note(const std::string& text) const;
    bool listJobs(Pass& pass);
    void settleJobs(Pass& pass);
    void downloadReady(Pass& pass);
    void downloadOne(Pass& pass, const RestorePlan::Row& row);
    // The local file decides the archive's state: restored when it is there with the archive's
    // tree hash, failed when it differs and may not be overwritten. False when neither holds.
    bool settledLocally(const RestorePlan::Row& row);
    void requestPlanned(Pass& pass);
    std::optional<std::string> describeGone(const std::string& jobId, bool& gone);
    void fill(Report& report);
    std::string localPath(const RestorePlan::Row& row) const;

    VaultPtr vault_;
    RestorePlanPtr plan_;
    Settings settings_;
    std::string to_;
};

}  // namespace quillon
