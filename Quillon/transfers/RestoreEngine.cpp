// RestoreEngine: the passes over the plan. Threads: as in RestoreEngine.h.
#include "transfers/RestoreEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "accounts/ServiceClock.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "foundation/MainQueue.h"
#include "foundation/Support.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/OperationQueue.h"
#include "inventory/GlacierRetrievalTier.h"
#include "inventory/Job.h"
#include "inventory/Jobs.h"
#include "transfers/JobOutputDownload.h"
#include "transfers/PartFile.h"
#include "transfers/RestorePlan.h"
#include "vaults/DataRetrievalPolicy.h"
#include "vaults/Vault.h"

namespace quillon {

namespace fs = std::filesystem;
using State = RestorePlan::State;

namespace {

constexpr double kRequestTimeout = 600;
constexpr int kBatch = 500;
constexpr double kDay = 86400;
constexpr double kHour = 3600;
constexpr const char* kPolicyWaitKey = "policyWaitUntil";
constexpr const char* kPartSuffix = ".restore";

// One answer awaited on the calling thread; the completion may come from any thread, once.
template <typename Value>
struct Answer {
    std::mutex mutex;
    std::atomic<bool> done{false};
    Value value{};
    ErrorPtr error;

    void settle(Value answer, ErrorPtr failure) {
        {
            std::lock_guard lock(mutex);
            if (done.load()) {
                return;
            }
            value = std::move(answer);
            error = std::move(failure);
        }
        done.store(true);
    }
    // False when no answer came in time.
    bool wait() { return MainQueue::waitFor(done, kRequestTimeout); }
};

long statusOf(const Error& error) {
    auto response = error.responseForKey(kFailingURLResponseErrorKey);
    return response ? response->statusCode : 0;
}

std::string awsCodeOf(const Error& error) {
    return error.stringForKey("awsExceptionCode").value_or("");
}

std::string textOf(const ErrorPtr& error) {
    return error ? error->localizedDescription() : std::string("no answer");
}

// Seconds of the service's time until a job of the tier is likely to be ready.
double shortestCompletion(GlacierRetrievalTier tier) {
    switch (tier) {
        case GlacierRetrievalTier::expedited:
            return 60;
        case GlacierRetrievalTier::bulk:
            return 5 * kHour;
        case GlacierRetrievalTier::standard:
            break;
    }
    return 3 * kHour;
}

}  // namespace

// What one pass shares between its steps and its download workers (under `mutex`).
struct RestoreEngine::Pass {
    std::mutex mutex;
    Report report;
    std::atomic<std::int64_t> received{0};  // bytes of job outputs received by this pass
    std::int64_t readyBytes = 0;            // set before the downloads begin
    std::unordered_map<std::string, JobInfo> jobsById;
    std::unordered_map<std::string, JobInfo> jobsByArchive;  // the best job of each archive

    void fail(const RestorePlan::Row& row, const std::string& error) {
        std::lock_guard lock(mutex);
        report.failures.push_back({row.path, row.archiveId, error});
    }
    void nextEventAt(double at) {
        std::lock_guard lock(mutex);
        if (!report.nextEvent || at < *report.nextEvent) {
            report.nextEvent = at;
        }
    }
};

bool RestoreEngine::Report::finished() const {
    auto count = [this](State state) {
        auto found = states.find(state);
        return found == states.end() ? 0 : found->second.archives;
    };
    return count(State::planned) + count(State::requested) + count(State::ready) == 0;
}

RestoreEngine::RestoreEngine(VaultPtr vault, RestorePlanPtr plan, Settings settings)
    : vault_(std::move(vault)),
      plan_(std::move(plan)),
      settings_(std::move(settings)),
      to_(plan_->to()) {}

void RestoreEngine::note(const std::string& text) const {
    if (settings_.note) {
        settings_.note(text);
    }
}

std::string RestoreEngine::localPath(const RestorePlan::Row& row) const {
    return (fs::path(to_) / row.localPath).string();
}

RestoreEngine::Report RestoreEngine::summary() {
    Report report;
    fill(report);
    return report;
}

void RestoreEngine::fill(Report& report) {
    report.states = plan_->totals();
    report.all = {};
    for (const auto& [state, totals] : report.states) {
        report.all.archives += totals.archives;
        report.all.bytes += totals.bytes;
    }
    report.expired = plan_->expiredCount();
    report.collisions = plan_->collisions();
    // Failed archives come first, then what went wrong in the pass.
    std::vector<Failure> failures;
    for (std::int64_t after = 0;;) {
        auto rows = plan_->rows(State::failed, after, kBatch);
        for (const auto& row : rows) {
            failures.push_back({row.path, row.archiveId, row.error});
            after = row.id;
        }
        if (rows.size() < static_cast<std::size_t>(kBatch)) {
            break;
        }
    }
    for (auto& failure : report.failures) {
        bool listed = std::any_of(failures.begin(), failures.end(), [&](const Failure& known) {
            return known.archiveId == failure.archiveId && !failure.archiveId.empty();
        });
        if (!listed) {
            failures.push_back(std::move(failure));
        }
    }
    report.failures = std::move(failures);
}

bool RestoreEngine::listJobs(Pass& pass) {
    auto answer = std::make_shared<Answer<std::vector<Job::Ptr>>>();
    vault_->jobs().apiGetAll([answer](const std::vector<Job::Ptr>& jobs, ErrorPtr error) {
        answer->settle(jobs, std::move(error));
    });
    if (!answer->wait() || answer->error) {
        std::lock_guard lock(pass.mutex);
        pass.report.failures.push_back({"", "",
                                        "Cannot list the jobs of the vault " + vault_->name + ": " +
                                            textOf(answer->done ? answer->error : nullptr)});
        return false;
    }
    ServiceClock& clock = vault_->accountRegion()->serviceClock();
    std::lock_guard lock(answer->mutex);
    for (const Job::Ptr& job : answer->value) {
        const JSON& data = job->data;
        for (const char* key : {"CreationDate", "CompletionDate"}) {
            if (auto date = awsDateFromString(data[key].stringValue())) {
                clock.observeAtLeast(*date);
            }
        }
        if (data["Action"].stringValue() != "ArchiveRetrieval") {
            continue;
        }
        JobInfo info;
        info.id = job->id;
        info.archiveId = data["ArchiveId"].stringValue();
        info.succeeded = job->statusCode() == Job::StatusCode::Succeeded;
        info.failed = job->statusCode() == Job::StatusCode::Failed;
        info.message = data["StatusMessage"].stringValue();
        info.created = job->creationDate().value_or(0);
        // Only a job for the whole archive can stand for its retrieval.
        auto size = data["ArchiveSizeInBytes"].int64();
        auto range = data["RetrievalByteRange"].string();
        if (range && size && *range != "0-" + std::to_string(*size - 1)) {
            pass.jobsById.emplace(info.id, info);
            continue;
        }
        pass.jobsById.emplace(info.id, info);
        if (info.failed) {
            continue;
        }
        auto known = pass.jobsByArchive.find(info.archiveId);
        if (known == pass.jobsByArchive.end() ||
            std::make_pair(info.succeeded, info.created) >
                std::make_pair(known->second.succeeded, known->second.created)) {
            pass.jobsByArchive[info.archiveId] = info;
        }
    }
    return true;
}

std::optional<std::string> RestoreEngine::describeGone(const std::string& jobId, bool& gone) {
    gone = false;
    Job::Ptr job = Job::create(vault_);
    job->id = jobId;
    auto answer = std::make_shared<Answer<bool>>();
    auto operation = job->apiDescribe([answer](ErrorPtr error) { answer->settle(true, error); });
    if (!operation && !answer->done) {
        return "the region has no usable endpoint";
    }
    if (!answer->wait()) {
        return "no answer describing job " + jobId;
    }
    if (answer->error) {
        if (statusOf(*answer->error) == 404) {
            gone = true;
            return std::nullopt;
        }
        return textOf(answer->error);
    }
    return std::nullopt;
}

void RestoreEngine::settleJobs(Pass& pass) {
    for (State state : {State::requested, State::ready}) {
        for (std::int64_t after = 0;;) {
            auto rows = plan_->rows(state, after, kBatch);
            for (const auto& row : rows) {
                after = row.id;
                auto adopted = pass.jobsByArchive.find(row.archiveId);
                if (row.jobId.empty()) {
                    // The request went out and its answer never arrived: the job list tells
                    // whether it reached the service.
                    if (adopted != pass.jobsByArchive.end()) {
                        plan_->setJob(row.id, adopted->second.id,
                                      adopted->second.succeeded ? State::ready : State::requested);
                    } else {
                        plan_->unmarkRequesting(row);
                    }
                    continue;
                }
                auto known = pass.jobsById.find(row.jobId);
                if (known != pass.jobsById.end()) {
                    if (known->second.failed) {
                        plan_->setFailed(row.id, "The retrieval job " + row.jobId +
                                                     " failed: " + known->second.message);
                    } else if (known->second.succeeded && state == State::requested) {
                        plan_->setJob(row.id, row.jobId, State::ready);
                    }
                    continue;
                }
                if (adopted != pass.jobsByArchive.end()) {
                    plan_->setJob(row.id, adopted->second.id,
                                  adopted->second.succeeded ? State::ready : State::requested);
                    continue;
                }
                bool gone = false;
                if (auto problem = describeGone(row.jobId, gone)) {
                    pass.fail(row, "Cannot look up the job " + row.jobId + ": " + *problem);
                } else if (gone) {
                    // The output expired before it was downloaded: request it again.
                    plan_->setPlanned(row.id, true);
                    note("The job of " + row.path + " expired; it is requested again.");
                }
            }
            if (rows.size() < static_cast<std::size_t>(kBatch)) {
                break;
            }
        }
    }
    // A job the service already has for a planned archive is taken over, not paid again.
    for (const auto& [archiveId, job] : pass.jobsByArchive) {
        auto row = plan_->byArchiveId(archiveId);
        if (row && row->state == State::planned) {
            plan_->setJob(row->id, job.id, job.succeeded ? State::ready : State::requested);
            ++pass.report.reused;
        }
    }
}

bool RestoreEngine::settledLocally(const RestorePlan::Row& row) {
    const std::string target = localPath(row);
    std::error_code ec;
    if (!fs::exists(target, ec)) {
        return false;
    }
    ErrorPtr error;
    const bool same = fs::is_regular_file(target, ec) &&
                      static_cast<std::int64_t>(fs::file_size(target, ec)) == row.size &&
                      TreeHash::treeHash(TreeHash::chunkHashes(target, TreeHash::Options{},
                                                               &error)) == row.treeHash &&
                      !error;
    if (same) {
        plan_->setDownloaded(row.id);
        fs::remove(target + kPartSuffix, ec);
        return true;
    }
    if (!settings_.overwrite) {
        plan_->setFailed(row.id, target + " exists with other contents; --overwrite replaces it");
        return true;
    }
    return false;
}

void RestoreEngine::downloadOne(Pass& pass, const RestorePlan::Row& row) {
    const std::string target = localPath(row);
    // The download's own target: renamed to the file's name by the restore, over a file that
    // differs only when --overwrite allowed it. Its ".part" file keeps checked parts for the
    // next run when this one fails or is killed.
    const std::string staged = target + kPartSuffix;
    std::error_code ec;
    if (settledLocally(row)) {
        return;
    }
    fs::create_directories(fs::path(target).parent_path(), ec);
    // The job as the plan knows it: a succeeded retrieval of the whole archive, whose output
    // must have the inventory's tree hash.
    Job::Ptr job = Job::create(vault_);
    job->id = row.jobId;
    job->data = JSON(JSON::Value{{"JobId", row.jobId},
                                 {"Action", "ArchiveRetrieval"},
                                 {"StatusCode", "Succeeded"},
                                 {"ArchiveId", row.archiveId},
                                 {"ArchiveSizeInBytes", row.size},
                                 {"RetrievalByteRange", "0-" + std::to_string(row.size - 1)},
                                 {"SHA256TreeHash", row.treeHash}});
    JobOutputDownload::Options options;
    options.partSize = settings_.partSize;
    options.concurrency = settings_.partConcurrency;
    if (settings_.progress) {
        options.progress = [this, &pass](std::uint64_t step, std::int64_t, std::int64_t) {
            settings_.progress(pass.received += static_cast<std::int64_t>(step), pass.readyBytes);
        };
    }
    auto result = JobOutputDownload(job, staged, options).run();
    if (!result.error) {
        fs::rename(staged, target, ec);
        if (ec) {
            plan_->setFailed(row.id, "Cannot put " + target + " in place: " + ec.message());
            return;
        }
        plan_->setDownloaded(row.id);
        std::lock_guard lock(pass.mutex);
        ++pass.report.downloaded;
        pass.report.downloadedBytes += row.size;
        return;
    }
    if (statusOf(*result.error) == 404) {
        PartFile(staged, row.jobId).discard();
        plan_->setPlanned(row.id, true);
        note("The job output of " + row.path + " expired; it is requested again.");
        return;
    }
    if (result.error->domain() == JobOutputDownload::kErrorDomain && result.error->code() == 2 &&
        result.keptBytes == 0) {
        // The whole output is not the archive the inventory describes.
        PartFile(staged, row.jobId).discard();
        plan_->setFailed(row.id, result.error->localizedDescription());
        return;
    }
    pass.fail(row, "The download of " + row.path +
                       " stopped (the next run goes on): " + result.error->localizedDescription());
}

void RestoreEngine::downloadReady(Pass& pass) {
    std::mutex cursorMutex;
    std::int64_t after = 0;
    std::vector<RestorePlan::Row> batch;
    std::size_t next = 0;
    bool exhausted = false;
    auto take = [&]() -> std::optional<RestorePlan::Row> {
        std::lock_guard lock(cursorMutex);
        if (next == batch.size() && !exhausted) {
            batch = plan_->rows(State::ready, after, kBatch);
            next = 0;
            exhausted = batch.size() < static_cast<std::size_t>(kBatch);
            if (!batch.empty()) {
                after = batch.back().id;
            }
        }
        if (next == batch.size()) {
            return std::nullopt;
        }
        return batch[next++];
    };
    pass.readyBytes = plan_->totals()[State::ready].bytes;
    const int workers = std::max(1, settings_.downloads);
    OperationQueue& queue = vault_->accountRegion()->account()->glacierManager().operationQueue();
    const int wanted = workers * std::max(1, settings_.partConcurrency);
    if (queue.maxConcurrentOperationCount() < wanted) {
        queue.setMaxConcurrentOperationCount(wanted);
    }
    auto work = [&] {
        while (auto row = take()) {
            downloadOne(pass, *row);
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(workers - 1));
    for (int index = 1; index < workers; ++index) {
        threads.emplace_back(work);
    }
    work();
    for (auto& thread : threads) {
        thread.join();
    }
}

void RestoreEngine::requestPlanned(Pass& pass) {
    ServiceClock& clock = vault_->accountRegion()->serviceClock();
    if (auto waitUntil = plan_->setting(kPolicyWaitKey)) {
        const double until = std::stod(*waitUntil);
        if (clock.now() < until) {
            pass.nextEventAt(until);
            return;
        }
    }
    // The region's policy as the service has it now; the cached one when it cannot be read.
    DataRetrievalPolicy& policy = vault_->accountRegion()->dataRetrievalPolicy();
    {
        auto answer = std::make_shared<Answer<bool>>();
        auto operation = policy.apiGet([answer](ErrorPtr error) { answer->settle(true, error); });
        if (operation || answer->done) {
            answer->wait();
        }
    }
    auto totals = plan_->totals();
    std::int64_t outstanding = totals[State::requested].archives + totals[State::ready].archives;
    for (std::int64_t after = 0; outstanding < settings_.maxJobs;) {
        auto rows = plan_->rows(State::planned, after, kBatch);
        if (rows.empty()) {
            return;
        }
        for (const auto& row : rows) {
            after = row.id;
            if (outstanding >= settings_.maxJobs) {
                return;
            }
            const double now = clock.now();
            const std::int64_t lastDay = plan_->requestedBytesSince(now - kDay);
            auto windowFrees = [&](double window) {
                auto first = plan_->firstRequestSince(now - window);
                pass.nextEventAt(first ? static_cast<double>(*first) + window : now + window);
            };
            if (settings_.maxBytesPerDay > 0 && lastDay > 0 &&
                lastDay + row.size > settings_.maxBytesPerDay) {
                windowFrees(kDay);
                return;
            }
            if (policy.strategy == DataRetrievalPolicy::Strategy::BytesPerHour) {
                if (row.size > policy.bytesPerHour) {
                    plan_->setFailed(row.id,
                                     "Larger than the region's data retrieval policy "
                                     "allows in an hour");
                    continue;
                }
                if (plan_->requestedBytesSince(now - kHour) + row.size > policy.bytesPerHour) {
                    windowFrees(kHour);
                    return;
                }
            } else if (policy.strategy == DataRetrievalPolicy::Strategy::FreeTier) {
                if (row.size > settings_.freeTierBytesPerDay) {
                    plan_->setFailed(row.id, "Larger than the free tier allows in a day");
                    continue;
                }
                if (lastDay + row.size > settings_.freeTierBytesPerDay) {
                    windowFrees(kDay);
                    return;
                }
            }
            // A file already in place is not paid for again.
            if (settledLocally(row)) {
                continue;
            }
            // Written before the request goes out: after a kill, the job list tells whether it
            // arrived.
            plan_->markRequesting(row, static_cast<std::int64_t>(now));
            auto answer = std::make_shared<Answer<Job::Ptr>>();
            auto operation = vault_->jobs().apiInitiateArchiveRetrieval(
                row.archiveId, std::nullopt, std::nullopt, settings_.tier,
                [answer](Job::Ptr job, ErrorPtr error) {
                    answer->settle(std::move(job), std::move(error));
                });
            if (!operation && !answer->done) {
                plan_->unmarkRequesting(row);
                pass.fail(row, "The region has no usable endpoint");
                return;
            }
            if (!answer->wait()) {
                pass.fail(row,
                          "No answer to the retrieval request; the next run looks for its job");
                return;
            }
            if (!answer->error && answer->value) {
                plan_->setJob(row.id, answer->value->id, State::requested);
                ++outstanding;
                ++pass.report.requested;
                pass.nextEventAt(now + shortestCompletion(settings_.tier));
                continue;
            }
            const Error& error = *answer->error;
            const long status = statusOf(error);
            const std::string code = awsCodeOf(error);
            if (code == "PolicyEnforcedException") {
                // Paced: the archive stays planned and no request goes out for a while.
                plan_->unmarkRequesting(row);
                const double until = now + settings_.policyBackoff;
                plan_->setSetting(kPolicyWaitKey, std::to_string(until));
                ++pass.report.policyRefusals;
                pass.nextEventAt(until);
                note(
                    "The region's data retrieval policy refused a request; waiting before the "
                    "next one.");
                return;
            }
            if (status == 0) {
                // No answer: whether the job exists is for the job list to say.
                pass.fail(row, "The retrieval request got no answer (" + textOf(answer->error) +
                                   "); the next run looks for its job");
                return;
            }
            plan_->unmarkRequesting(row);
            if (status >= 500 || code == "ThrottlingException" || code == "RequestTimeTooSkewed") {
                pass.fail(row, "The retrieval request failed (" + textOf(answer->error) +
                                   "); the next run tries again");
                return;
            }
            plan_->setFailed(row.id, textOf(answer->error));
        }
    }
}

RestoreEngine::Report RestoreEngine::advance() {
    Pass pass;
    if (listJobs(pass)) {
        settleJobs(pass);
        downloadReady(pass);
        requestPlanned(pass);
        // Jobs in progress are looked at again once the earliest may have completed.
        ServiceClock& clock = vault_->accountRegion()->serviceClock();
        for (std::int64_t after = 0;;) {
            auto rows = plan_->rows(State::requested, after, kBatch);
            for (const auto& row : rows) {
                after = row.id;
                const double requested = static_cast<double>(row.requestedAt.value_or(0));
                pass.nextEventAt(
                    std::max(clock.now(), requested + shortestCompletion(settings_.tier)));
            }
            if (rows.size() < static_cast<std::size_t>(kBatch)) {
                break;
            }
        }
    }
    Report report = std::move(pass.report);
    fill(report);
    return report;
}

RestoreEngine::Report RestoreEngine::run(bool wait, double interval, double timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
    Report total;
    while (true) {
        Report report = advance();
        total.requested += report.requested;
        total.reused += report.reused;
        total.downloaded += report.downloaded;
        total.downloadedBytes += report.downloadedBytes;
        total.policyRefusals += report.policyRefusals;
        report.requested = total.requested;
        report.reused = total.reused;
        report.downloaded = total.downloaded;
        report.downloadedBytes = total.downloadedBytes;
        report.policyRefusals = total.policyRefusals;
        if (!wait || report.finished() || Clock::now() >= deadline) {
            return report;
        }
        const double now = vault_->accountRegion()->serviceClock().now();
        double pause = report.nextEvent ? *report.nextEvent - now : interval;
        pause = std::clamp(std::isfinite(pause) ? pause : interval, 0.01, std::max(0.01, interval));
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        MainQueue::run(std::min(pause, std::max(0.0, left)));
    }
}

}  // namespace quillon
