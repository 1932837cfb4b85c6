// RestorePlan: a vault's stored restore plan: one row per archive, its state, job and path.
// Threads: any thread; every read and write goes through the plan's database queue, and each
//   change of state is one statement or one transaction there, so a killed process leaves the
//   plan as it was after its last change.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/db/Database.h"

namespace quillon {

// A restore plan, kept in its own SQLite file in the vault's directory: the archives of the
// vault's latest imported inventory under the chosen folders and paths, each with its state
// (planned, requested, ready, downloaded, failed), its retrieval job and its local path below
// the plan's target directory. An archive is "requested" without a job id while its retrieval
// request is on its way: the service's job list tells later whether the request arrived.
// Archives that decode to the same local path as a newer one are kept aside as collisions.
class RestorePlan {
  public:
    enum class State { planned, requested, ready, downloaded, failed };
    static constexpr std::array<State, 5> kStates = {State::planned, State::requested, State::ready,
                                                     State::downloaded, State::failed};
    static std::string name(State state);
    static std::optional<State> stateNamed(const std::string& text);

    static constexpr const char* kFileName = "restore.db";

    struct Totals {
        std::int64_t archives = 0;
        std::int64_t bytes = 0;
    };
    struct Row {
        std::int64_t id = 0;
        std::string archiveId;
        std::string path;       // the archive's decoded path
        std::string localPath;  // relative to the target directory
        std::int64_t size = 0;
        std::string treeHash;
        std::int64_t createdAt = 0;
        State state = State::planned;
        std::string jobId;  // "" while none is known
        std::optional<std::int64_t> requestedAt;
        std::int64_t verifiedBytes = 0;  // bytes in place: the size once downloaded
        std::int64_t requests = 0;       // retrieval requests made for it
        std::string error;
    };
    struct Collision {
        std::string path;
        std::string archiveId;
        std::int64_t size = 0;
        std::string keptArchiveId;
    };
    // What a plan restores: the target directory and the folders or paths of the inventory
    // (none: the whole vault).
    struct Selection {
        std::string to;
        std::vector<std::string> paths;
    };

    // The plan file at `path`; none when there is none or it cannot be opened.
    static std::shared_ptr<RestorePlan> open(const std::string& path);
    // Builds a new plan at `path` from the inventory `inventoryId` of `store` (the account's data
    // database), reading its items in batches so that memory stays bounded at any size. The plan
    // appears at `path` only once it is complete. Folder archives (paths ending in "/") are left
    // out. Fails when nothing matches.
    static std::shared_ptr<RestorePlan> build(const std::string& path, DatabaseQueue& store,
                                              std::int64_t inventoryId, const Selection& selection,
                                              ErrorPtr& error);
    // Removes the plan file and its companions.
    static void remove(const std::string& path);
    // The local path of a decoded archive path: its components below the target, without empty
    // ones, "." and ".."; "" for a folder (a path that ends in "/").
    static std::string localPathFor(const std::string& path, const std::string& archiveId);

    explicit RestorePlan(DatabaseQueuePtr queue);

    // --- Settings ---
    std::optional<std::string> setting(const std::string& key);
    void setSetting(const std::string& key, const std::string& value);
    std::string to();
    std::vector<std::string> paths();

    // --- Reading ---
    std::map<State, Totals> totals();
    // Up to `limit` rows in `state` after row `afterId`, in row order.
    std::vector<Row> rows(State state, std::int64_t afterId, int limit);
    std::optional<Row> row(std::int64_t id);
    std::optional<Row> byArchiveId(const std::string& archiveId);
    std::vector<Collision> collisions();
    // Ranged download requests for the planned archives, in parts of `partSize` bytes.
    std::int64_t plannedDownloadRequests(std::int64_t partSize);
    // Bytes of the retrieval requests made after `since` (seconds, service time).
    std::int64_t requestedBytesSince(double since);
    // The first request made after `since`, if any: when the window frees again.
    std::optional<std::int64_t> firstRequestSince(double since);
    // Archives requested again because their job's output expired before it was downloaded.
    std::int64_t expiredCount();

    // --- Changes ---
    // Before its retrieval request goes out: requested without a job, the request counted.
    void markRequesting(const Row& row, std::int64_t at);
    // The request was refused: planned again, its bytes no longer counted.
    void unmarkRequesting(const Row& row);
    void setJob(std::int64_t id, const std::string& jobId, State state);
    // Planned again; `expired` counts it as an expired job requested again.
    void setPlanned(std::int64_t id, bool expired);
    void setDownloaded(std::int64_t id);
    void setFailed(std::int64_t id, const std::string& error);

  private:
    static Row rowFrom(const ResultSet& rs);
    std::vector<Row> query(const std::string& where, const SqlArgs& args);

    DatabaseQueuePtr queue_;
};

using RestorePlanPtr = std::shared_ptr<RestorePlan>;

}  // namespace quillon
