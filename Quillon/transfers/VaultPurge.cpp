// VaultPurge: the inventory's rows page by page, the deletions in an adaptive window, the
// journal and checkpoint in batches, and the vault's own deletion. Threads: as in VaultPurge.h.
#include "transfers/VaultPurge.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/AccountRegion.h"
#include "accounts/Region.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/FileLock.h"
#include "foundation/JSON.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/OperationQueue.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/RetryPolicy.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryManager.h"
#include "settings/Logger.h"
#include "transfers/AdaptiveWindow.h"
#include "transfers/Archive.h"
#include "transfers/PurgeCheckpoint.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kPageSize = 512;

// The inventory rows a purge covers: archives of the inventory (not added locally since),
// created before the cutoff when there is one.
struct Scope {
    std::int64_t inventoryID = 0;
    std::optional<std::int64_t> createdBefore;

    std::string where() const {
        return std::string("inventory_id = ? AND local_add IS NULL") +
               (createdBefore ? " AND created_at < ?" : "");
    }
    SqlArgs args() const {
        SqlArgs values{sqlInt(inventoryID)};
        if (createdBefore) {
            values.push_back(sqlInt(*createdBefore));
        }
        return values;
    }
};

void countInto(Database& db, const Scope& scope, PurgeReport& report) {
    auto rows = db.executeQuery(
        "SELECT COUNT(*) AS archives, COALESCE(SUM(size), 0) AS bytes, "
        "COALESCE(SUM(local_delete IS NOT NULL), 0) AS gone FROM inventory_items WHERE " +
            scope.where(),
        scope.args());
    if (rows && rows->next()) {
        report.archives = rows->longForColumn("archives");
        report.bytes = rows->longForColumn("bytes");
        report.deleted = rows->longForColumn("gone");
    }
    report.remaining = report.archives - report.deleted;
}

// The next rows still to delete after `afterRowID`, in row order.
std::vector<PurgeArchive> pageFromDB(Database& db, const Scope& scope, std::int64_t afterRowID) {
    SqlArgs args = scope.args();
    args.insert(args.begin() + 1, sqlInt(afterRowID));
    args.push_back(sqlInt(kPageSize));
    std::vector<PurgeArchive> page;
    auto rows = db.executeQuery(
        "SELECT id, archive_id, archive_description, name, size, created_at FROM inventory_items "
        "WHERE inventory_id = ? AND local_delete IS NULL AND id > ? AND local_add IS NULL" +
            std::string(scope.createdBefore ? " AND created_at < ?" : "") + " ORDER BY id LIMIT ?",
        args);
    while (rows && rows->next()) {
        page.push_back({rows->longForColumn(0), rows->stringForColumn(1).value_or(""),
                        rows->stringForColumn(2).value_or(""),
                        rows->stringForColumn(3).value_or(""), rows->longForColumn(4),
                        rows->longForColumn(5)});
    }
    return page;
}

// Walks the rows still to delete, a page at a time.
void eachRemaining(Vault& vault, const Scope& scope, std::int64_t afterRowID,
                   const std::function<void(const PurgeArchive&)>& visit) {
    for (std::int64_t after = afterRowID;;) {
        std::vector<PurgeArchive> page;
        vault.db().inDatabase([&](Database& db) { page = pageFromDB(db, scope, after); });
        for (const PurgeArchive& archive : page) {
            visit(archive);
        }
        if (static_cast<std::int64_t>(page.size()) < kPageSize) {
            return;
        }
        after = page.back().rowID;
    }
}

// Archives added to the inventory from the journal (uploaded after it was taken), still there.
std::int64_t eachKept(Vault& vault, std::int64_t inventoryID,
                      const std::function<void(const std::string&, const std::string&)>& visit) {
    std::int64_t count = 0;
    for (std::int64_t after = 0;;) {
        std::vector<std::pair<std::string, std::string>> page;
        vault.db().inDatabase([&](Database& db) {
            auto rows = db.executeQuery(
                "SELECT id, archive_id, name FROM inventory_items WHERE inventory_id = ? AND "
                "local_add IS NOT NULL AND local_delete IS NULL AND id > ? ORDER BY id LIMIT ?",
                {sqlInt(inventoryID), sqlInt(after), sqlInt(kPageSize)});
            while (rows && rows->next()) {
                after = rows->longForColumn(0);
                page.emplace_back(rows->stringForColumn(1).value_or(""),
                                  rows->stringForColumn(2).value_or(""));
            }
        });
        for (const auto& [archiveID, path] : page) {
            ++count;
            if (visit) {
                visit(archiveID, path);
            }
        }
        if (static_cast<std::int64_t>(page.size()) < kPageSize) {
            return count;
        }
    }
}

bool isNotFound(const Error& error) {
    auto aws = awsException(error);
    return (aws && aws->code == "ResourceNotFoundException") ||
           (error.domain() == kHTTPErrorDomain && error.code() == 404);
}

}  // namespace

// The deletions of one run: sends them in the window, takes the answers back on the run's
// thread, and records the confirmed ones in batches.
class VaultPurge::Deleter {
  public:
    Deleter(VaultPurge& purge, PurgeCheckpoint& checkpoint, PurgeCheckpoint::State& state,
            PurgeReport& report, Scope scope)
        : purge_(purge),
          vault_(*purge.vault_),
          checkpoint_(checkpoint),
          state_(state),
          report_(report),
          scope_(scope),
          window_(purge.options_.initialConcurrency, purge.options_.maxConcurrency,
                  RetryPolicy::current().baseDelay, RetryPolicy::current().maxDelay),
          shared_(std::make_shared<Shared>()),
          fetchedUpTo_(state.position),
          sentUpTo_(state.position) {
        RetryPolicy process = RetryPolicy::current();
        attempts_ = purge.options_.attempts > 0 ? purge.options_.attempts : process.attempts;
        backoff_ = process;
        single_ = process;
        single_.attempts = 1;
        single_.throttledRetries = 0;  // the window paces throttling itself
        queue_.setMaxConcurrentOperationCount(window_.maximum());
    }

    void run() {
        while (true) {
            Clock::time_point now = Clock::now();
            sendWhatFits(now);
            if (inFlight_.empty() && retries_.empty() && buffer_.empty() && exhausted_) {
                break;
            }
            for (const Answer& answer : awaitAnswers(now)) {
                take(answer);
            }
            record();
        }
        record();
        pruneFolders();
    }

  private:
    struct Pending {
        PurgeArchive archive;
        int attempts = 0;
        int throttles = 0;
    };
    struct Answer {
        std::uint64_t ticket;
        ErrorPtr error;
    };
    // What the request workers hand back.
    struct Shared {
        std::mutex mutex;
        std::condition_variable arrived;
        std::vector<Answer> answers;

        void add(Answer answer) {
            {
                std::lock_guard lock(mutex);
                answers.push_back(std::move(answer));
            }
            arrived.notify_one();
        }
    };

    std::optional<Pending> next(Clock::time_point now) {
        if (!retries_.empty() && retries_.begin()->first <= now) {
            Pending pending = std::move(retries_.begin()->second);
            retries_.erase(retries_.begin());
            return pending;
        }
        if (buffer_.empty() && !exhausted_) {
            std::vector<PurgeArchive> page;
            vault_.db().inDatabase(
                [&](Database& db) { page = pageFromDB(db, scope_, fetchedUpTo_); });
            exhausted_ = static_cast<std::int64_t>(page.size()) < kPageSize;
            if (!page.empty()) {
                fetchedUpTo_ = page.back().rowID;
            }
            for (PurgeArchive& archive : page) {
                buffer_.push_back(Pending{std::move(archive), 0, 0});
            }
        }
        if (buffer_.empty()) {
            return std::nullopt;
        }
        Pending pending = std::move(buffer_.front());
        buffer_.pop_front();
        outstanding_.insert(pending.archive.rowID);
        sentUpTo_ = pending.archive.rowID;
        return pending;
    }

    void sendWhatFits(Clock::time_point now) {
        while (static_cast<int>(inFlight_.size()) < window_.size() && now >= pausedUntil_) {
            std::optional<Pending> pending = next(now);
            if (!pending) {
                return;
            }
            send(std::move(*pending));
        }
    }

    void send(Pending pending) {
        AccountRegion& accountRegion = *vault_.accountRegion();
        AccountRegion::PreparedRequest prepared = accountRegion.apiPrepareRequest(
            {.method = "DELETE",
             .path = vault_.apiBasePath().word("archives").id(pending.archive.archiveID),
             .addToQueue = false});
        if (!prepared.request) {
            fail(pending, prepared.error ? prepared.error : accountRegion.noEndpointError());
            return;
        }
        const std::uint64_t ticket = window_.nextTicket();
        std::shared_ptr<Shared> shared = shared_;
        RegionPtr region = accountRegion.region();
        auto operation = RequestOperation::create(
            std::move(*prepared.request),
            [shared, ticket](const RequestOperation::Ptr&, const JSON&) {
                shared->add({ticket, nullptr});
            },
            [shared, ticket, region](const RequestOperation::Ptr&, const Error& error) {
                shared->add({ticket, translateError(error, region).share()});
            });
        operation->setRetryPolicy(single_);
        inFlight_.emplace(ticket, std::move(pending));
        queue_.addOperation(operation);
    }

    std::vector<Answer> awaitAnswers(Clock::time_point now) {
        Clock::time_point until = now + std::chrono::seconds(1);
        if (!retries_.empty()) {
            until = std::min(until, retries_.begin()->first);
        }
        if (pausedUntil_ > now) {
            until = std::min(until, pausedUntil_);
        }
        std::vector<Answer> answers;
        std::unique_lock lock(shared_->mutex);
        if (!inFlight_.empty() || until > now) {
            shared_->arrived.wait_until(lock, until, [&] { return !shared_->answers.empty(); });
        }
        answers.swap(shared_->answers);
        return answers;
    }

    void take(const Answer& answer) {
        auto found = inFlight_.find(answer.ticket);
        if (found == inFlight_.end()) {
            return;
        }
        Pending pending = std::move(found->second);
        inFlight_.erase(found);
        const Clock::time_point now = Clock::now();
        if (!answer.error || isNotFound(*answer.error)) {
            window_.succeeded();
            confirm(std::move(pending), answer.error != nullptr);
        } else if (RetryPolicy::isThrottling(*answer.error)) {
            ++report_.throttled;
            auto pause = window_.throttled(answer.ticket);
            pausedUntil_ = std::max(pausedUntil_, now + pause);
            if (++pending.throttles > kMaxThrottled) {
                fail(pending, answer.error);
            } else {
                retries_.emplace(std::max(pausedUntil_, now), std::move(pending));
            }
        } else if (RetryPolicy::transientReason(*answer.error) && ++pending.attempts < attempts_) {
            retries_.emplace(now + backoff_.delayBeforeRetry(pending.attempts), std::move(pending));
        } else {
            fail(pending, answer.error);
        }
    }

    void confirm(Pending pending, bool wasGone) {
        outstanding_.erase(pending.archive.rowID);
        ++report_.deletedNow;
        if (wasGone) {
            ++report_.alreadyGone;
        }
        batch_.push_back(std::move(pending.archive));
    }

    void fail(const Pending& pending, const ErrorPtr& error) {
        outstanding_.erase(pending.archive.rowID);
        firstFailed_ =
            std::min(firstFailed_.value_or(pending.archive.rowID), pending.archive.rowID);
        ++report_.failed;
        if (static_cast<int>(report_.failures.size()) < kReportedFailures) {
            report_.failures.push_back(pending.archive.archiveID + " (" + pending.archive.path +
                                       "): " + (error ? error->localizedDescription() : ""));
        }
    }

    // The folders the run emptied leave the folder tree: once each, at the end, since the check
    // counts a folder's rows.
    void pruneFolders() {
        folders_.erase(std::string());
        if (folders_.empty()) {
            return;
        }
        FileLock writer(vault_.writerLockPath());
        writer.lock();
        vault_.db().inTransaction([&](Database& db, bool&) {
            if (InventoryPtr inventory = vault_.inventoryManager().latestFromDB(db)) {
                for (const std::string& folder : folders_) {
                    inventory->removeDirectoryFromDB(db, folder);
                }
            }
        });
        folders_.clear();
    }

    // Every row up to here is settled: sent rows still out, or failed ones, hold it back.
    std::int64_t position() const {
        std::int64_t settled = sentUpTo_;
        if (!outstanding_.empty()) {
            settled = std::min(settled, *outstanding_.begin() - 1);
        }
        if (firstFailed_) {
            settled = std::min(settled, *firstFailed_ - 1);
        }
        return std::max(settled, state_.position);
    }

    // The confirmed deletions into the journal (which marks them in the inventory), their
    // log lines, then the checkpoint.
    void record() {
        if (batch_.empty()) {
            return;
        }
        std::vector<ArchivePtr> entries;
        entries.reserve(batch_.size());
        VaultPtr vault = vault_.shared_from_this();
        for (const PurgeArchive& archive : batch_) {
            auto entry = std::make_shared<Archive>(vault);
            entry->action = Archive::Action::Delete;
            entry->archiveID = archive.archiveID;
            entry->archiveDescription = archive.description;
            entries.push_back(std::move(entry));
        }
        if (!Archive::appendAll(vault_, entries, false)) {
            // Not recorded: the next run finds these rows again (one "not found" each).
            journalFailed_ = true;
        }
        for (const PurgeArchive& archive : batch_) {
            folders_.insert(archive.path.empty() || archive.path.back() != '/'
                                ? deletingLastPathComponent(archive.path)
                                : trimmingSlashes(archive.path));
            vault_.log().info("Archive deleted: " + archive.archiveID + " (" + archive.description +
                              ")");
        }
        const auto count = static_cast<std::int64_t>(batch_.size());
        state_.deleted += count;
        if (!journalFailed_) {
            state_.position = position();
        }
        checkpoint_.advance(state_.position, state_.deleted);
        report_.deleted += count;
        report_.remaining -= count;
        batch_.clear();
        if (purge_.onProgress) {
            purge_.onProgress(report_);
        }
    }

    VaultPurge& purge_;
    Vault& vault_;
    PurgeCheckpoint& checkpoint_;
    PurgeCheckpoint::State& state_;
    PurgeReport& report_;
    Scope scope_;
    AdaptiveWindow window_;
    RetryPolicy single_;
    RetryPolicy backoff_;
    int attempts_ = 1;
    std::shared_ptr<Shared> shared_;

    std::deque<Pending> buffer_;
    bool exhausted_ = false;
    std::int64_t fetchedUpTo_;
    std::int64_t sentUpTo_;
    std::set<std::int64_t> outstanding_;
    std::optional<std::int64_t> firstFailed_;
    std::map<std::uint64_t, Pending> inFlight_;
    std::multimap<Clock::time_point, Pending> retries_;
    Clock::time_point pausedUntil_{};
    std::vector<PurgeArchive> batch_;
    bool journalFailed_ = false;
    std::set<std::string> folders_;
    // Last: its destructor joins the workers before the state above goes.
    OperationQueue queue_;
};

VaultPurge::VaultPurge(VaultPtr vault, Options options)
    : vault_(std::move(vault)), options_(options) {}

VaultPurge::~VaultPurge() = default;

std::string VaultPurge::lockPath(Vault& vault) {
    std::string writer = vault.writerLockPath();
    return writer.substr(0, writer.size() - std::string_view(".lock").size()) + ".purge.lock";
}

ErrorPtr VaultPurge::run(PurgeReport& report) {
    report = PurgeReport{};
    Vault& vault = *vault_;
    AccountRegion& accountRegion = *vault.accountRegion();
    if (!options_.dryRun && !accountRegion.region()->baseURL()) {
        return accountRegion.noEndpointError();
    }
    FileLock lock(lockPath(vault));
    if (!options_.dryRun && !lock.tryLock()) {
        return lock.error() ? lock.error()
                            : BaseModel::genericError("Another purge of vault " + vault.name +
                                                      " is running.");
    }
    InventoryPtr inventory = vault.inventoryManager().latest();
    if (!inventory || inventory->inventoryDate == 0) {
        return BaseModel::genericError("Vault " + vault.name +
                                       " has no imported inventory: retrieve one and import it "
                                       "first.");
    }
    report.inventoryDate = inventory->inventoryDate;
    std::optional<PurgeCheckpoint::State> stored = PurgeCheckpoint::peek(vault.directory());
    const bool resume = stored && stored->inventoryID == inventory->id &&
                        stored->olderThanDays == options_.olderThanDays;
    const bool pending = stored && stored->state == PurgeCheckpoint::kVaultPending;

    PurgeCheckpoint::State state;
    if (resume) {
        state = *stored;
    } else {
        state.inventoryID = inventory->id;
        state.inventoryDate = inventory->inventoryDate;
        state.olderThanDays = options_.olderThanDays;
        if (options_.olderThanDays) {
            state.createdBefore = std::floor(nowSecondsExact() - *options_.olderThanDays * 86400);
        }
        state.startedAt = nowSecondsExact();
        if (pending) {
            state.state = stored->state;
            state.vaultRefusedAt = stored->vaultRefusedAt;
        }
    }
    state.deleteVault = options_.deleteVault || pending;
    report.resumed = resume;

    Scope scope{inventory->id, std::nullopt};
    if (state.createdBefore) {
        scope.createdBefore = static_cast<std::int64_t>(*state.createdBefore);
    }
    vault.db().inDatabase([&](Database& db) { countInto(db, scope, report); });
    report.kept = eachKept(vault, inventory->id, onKept);
    if (options_.dryRun) {
        if (onPlanned) {
            eachRemaining(vault, scope, 0, onPlanned);
        }
        return nullptr;
    }

    {
        PurgeCheckpoint checkpoint(vault.directory());
        if (!checkpoint.save(state)) {
            return BaseModel::genericError("The purge checkpoint of vault " + vault.name +
                                           " cannot be written.");
        }
        Deleter(*this, checkpoint, state, report, scope).run();
        vault.db().inDatabase([&](Database& db) { countInto(db, scope, report); });
        if (report.remaining > 0) {
            // Rows the journal could not mark lie behind the resume point: the next run looks
            // at every row again (a row still there costs one "not found").
            checkpoint.advance(0, state.deleted);
            return nullptr;
        }
        if (!state.deleteVault) {
            checkpoint.clear();
            return nullptr;
        }
        checkpoint.close();
    }
    return deleteVault(report);
}

ErrorPtr VaultPurge::deleteVault(PurgeReport& report) {
    Vault& vault = *vault_;
    auto answer = std::make_shared<std::promise<ErrorPtr>>();
    std::future<ErrorPtr> answered = answer->get_future();
    RequestOperation::Ptr operation =
        vault.apiDelete([answer](ErrorPtr error) { answer->set_value(std::move(error)); });
    if (!operation && answered.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return vault.accountRegion()->noEndpointError();
    }
    ErrorPtr error = answered.get();
    if (!error) {
        report.vaultDeleted = true;
        return nullptr;
    }
    if (isNotFound(*error)) {
        vault.remove();
        report.vaultDeleted = true;
        return nullptr;
    }
    auto aws = awsException(*error);
    if (!aws || aws->code != "InvalidParameterValueException") {
        return error;
    }
    PurgeCheckpoint checkpoint(vault.directory());
    std::optional<PurgeCheckpoint::State> state = checkpoint.load();
    if (state) {
        state->state = PurgeCheckpoint::kVaultPending;
        state->deleteVault = true;
        state->vaultRefusedAt = nowSecondsExact();
        checkpoint.save(*state);
    }
    report.vaultPending = true;
    vault.log().info("Vault deletion refused for now: " + vault.name + " (" + aws->message + ")");
    return nullptr;
}

}  // namespace quillon
