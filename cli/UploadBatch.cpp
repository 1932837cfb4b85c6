// UploadBatch: collecting, skipping, sending and summing up the batch's files. Threads: as in
// UploadBatch.h.

#include "UploadBatch.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ArchiveUploader.h"
#include "BatchProgress.h"
#include "CliContext.h"
#include "CliExit.h"
#include "HumanText.h"
#include "SourceWalk.h"
#include "VaultArgument.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/ModelError.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "ops/Awaited.h"
#include "settings/Preferences.h"
#include "transfers/Archive.h"
#include "transfers/Archives.h"
#include "transfers/FileHash.h"
#include "transfers/FileHasher.h"
#include "transfers/UploadClaims.h"

namespace quillon::cli {

namespace {

// The kind of a skip reason, as the summary counts it.
std::string skipKind(const std::string& reason) {
    if (reason.starts_with("already in the vault")) {
        return "already in the vault";
    }
    if (reason.find("link") != std::string::npos) {
        return "links";
    }
    if (reason.starts_with("a ")) {
        return "not regular files";
    }
    if (reason.starts_with("another run")) {
        return "sent by another run";
    }
    if (reason.starts_with("stored, unconfirmed")) {
        return "stored, unconfirmed";
    }
    if (reason == ModelError::uploadFileEmpty().description()) {
        return "empty";
    }
    return "other";
}

std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

}  // namespace

UploadBatch::UploadBatch(CliContext& context, Options options)
    : context_(context), options_(std::move(options)), skipPatterns_(FileHasher::kSkipPatternKey) {}

void UploadBatch::add(const std::string& path, const std::string& relative) {
    if (!skipPatterns_.allowedByPattern(lastPathComponent(path))) {
        context_.output().detail("Skipped " + path + " (matches a skip pattern)");
        return;
    }
    std::string folder = trimmingSlashes(options_.folder);
    Entry entry;
    entry.path = path;
    entry.archivePath = folder.empty() ? relative : folder + "/" + relative;
    ErrorPtr error;
    auto size = FileHelpers::fileSize(path, &error);
    if (!size) {
        entries_.push_back(entry);
        fail(entries_.back(), error ? error->localizedDescription() : "cannot read the file");
        return;
    }
    entry.size = *size;
    if (entry.size > 0) {
        withContent_.insert(entry.archivePath);
    } else {
        // Said once: a cron run over a tree with empty files stays quiet the next time.
        std::string reason = ModelError::uploadFileEmpty().description();
        emptyNow_.insert(entry.archivePath);
        if (!emptyBefore_.contains(entry.archivePath)) {
            context_.output().error("Warning: skipped " + path + ": " + reason);
            entry.outcome = Outcome::Skipped;
            entry.reason = reason;
            entries_.push_back(std::move(entry));
        } else {
            skip(std::move(entry), reason);
        }
        return;
    }
    entries_.push_back(std::move(entry));
}

std::string UploadBatch::emptyFilesPath() const {
    return appendingPathComponent(vault_->directory(), "empty-files.txt");
}

void UploadBatch::skip(Entry entry, const std::string& reason) {
    entry.outcome = Outcome::Skipped;
    entry.reason = reason;
    context_.output().detail("Skipped " + entry.path + ": " + reason);
    entries_.push_back(std::move(entry));
}

void UploadBatch::collect() {
    for (const std::string& argument : options_.paths) {
        SourceWalk::walk(argument, options_.followSymlinks, [&](const SourceWalk::Found& found) {
            if (found.kind == SourceWalk::Kind::File) {
                add(found.path, found.relative);
                return;
            }
            Entry entry;
            entry.path = found.path;
            if (found.kind == SourceWalk::Kind::Skipped) {
                skip(std::move(entry), found.reason);
            } else {
                entries_.push_back(std::move(entry));
                fail(entries_.back(), found.reason);
            }
        });
    }
}

void UploadBatch::fail(Entry& entry, const std::string& reason) {
    entry.outcome = Outcome::Failed;
    entry.reason = reason;
    context_.output().error("Failed to upload " + entry.path + ": " + reason);
}

void UploadBatch::lockArguments() {
    std::vector<std::string> trees;
    for (const std::string& path : options_.paths) {
        trees.push_back(FileHelpers::canonicalPath(path));
    }
    std::sort(trees.begin(), trees.end());
    std::string key;
    for (const std::string& tree : trees) {
        key += tree + '\n';
    }
    std::string what = "Another upload of " + joined(options_.paths, " ") + " to the vault " +
                       vault_->name + " is running";
    lock_ = std::make_unique<FileLock>(appendingPathComponent(
        vault_->directory(), "upload-" + sha256Hex(key).substr(0, 16) + ".lock"));
    context_.output().detail("Upload lock: " + lock_->path());
    if (lock_->tryLock()) {
        return;
    }
    if (lock_->error()) {
        context_.fail(lock_->error());
    }
    if (options_.noWait) {
        throw CliExit(kBusyExit, what + "; nothing was sent. Run the same command again later.");
    }
    context_.output().note(what + "; waiting for it to finish...");
    if (!lock_->lock()) {
        context_.fail(lock_->error());
    }
}

void UploadBatch::note(const Archive& archive) {
    if (archive.action == Archive::Action::Delete) {
        deleted_.insert(archive.archiveID);
    }
}

void UploadBatch::loadJournal() {
    // Archives this client stored in the vault and did not delete since, by description, and
    // uploads whose completion went unanswered (stored, unconfirmed).
    journalRead_ = static_cast<double>(std::time(nullptr));
    std::vector<ArchivePtr> all = vault_->archives().all();
    for (const ArchivePtr& archive : all) {
        note(*archive);
    }
    for (const ArchivePtr& archive : all) {
        if (archive->action != Archive::Action::Delete) {
            journal_.emplace(archive->archiveDescription, archive);
        }
    }
}

void UploadBatch::refreshJournal() {
    // Entries of the second the journal was read may have come before or after: read it again.
    const double after = journalRead_ - 1;
    journalRead_ = static_cast<double>(std::time(nullptr));
    const std::vector<ArchivePtr> recent = vault_->archives().archivesAfter(after);
    for (const ArchivePtr& archive : recent) {
        note(*archive);
        if (archive->action != Archive::Action::Delete) {
            auto [first, last] = journal_.equal_range(archive->archiveDescription);
            bool known = std::any_of(first, last, [&](const auto& entry) {
                return entry.second->archiveID == archive->archiveID;
            });
            if (!known) {
                journal_.emplace(archive->archiveDescription, archive);
            }
        }
    }
}

void UploadBatch::refreshUnconfirmed(const std::string& description) {
    // Another run may have settled its store of the file while this one waited for it.
    auto [first, last] = journal_.equal_range(description);
    for (auto it = first; it != last;) {
        it = it->second->action == Archive::Action::Unconfirmed ? journal_.erase(it) : ++it;
    }
    for (ArchivePtr& archive : vault_->archives().unconfirmed(description)) {
        journal_.emplace(description, std::move(archive));
    }
}

bool UploadBatch::mayBeStored(const Entry& entry, const std::string& description) const {
    auto [first, last] = journal_.equal_range(description);
    for (auto it = first; it != last; ++it) {
        if (!deleted_.contains(it->second->archiveID) && it->second->size == entry.size) {
            return true;
        }
    }
    if (InventoryPtr inventory = vault_->inventoryManager().latest()) {
        for (const InventoryItemPtr& item : inventory->findItemsWithPrefix(entry.archivePath)) {
            if (item->name == entry.archivePath && item->size == entry.size) {
                return true;
            }
        }
    }
    return false;
}

UploadBatch::Stored UploadBatch::alreadyStored(const Entry& entry,
                                               const std::string& description) const {
    auto matches = [&](std::int64_t size, const std::string& hash) {
        return size == entry.size && hash == entry.treeHash;
    };
    InventoryPtr inventory = vault_->inventoryManager().latest();
    auto [first, last] = journal_.equal_range(description);
    for (auto it = first; it != last; ++it) {
        const Archive& archive = *it->second;
        if (archive.action == Archive::Action::Add && !deleted_.contains(archive.archiveID) &&
            matches(archive.size, archive.treeHash)) {
            return {archive.archiveID, "already in the vault as " + archive.archiveID};
        }
    }
    if (inventory) {
        Inventory::ItemQuery query;
        query.search = "hash:" + entry.treeHash;
        query.limit = -1;
        for (const InventoryItemPtr& item : inventory->items(query)) {
            if (item->name == entry.archivePath && matches(item->size, item->treeHash)) {
                return {item->archiveID, "already in the vault as " + item->archiveID};
            }
        }
    }
    for (auto it = first; it != last; ++it) {
        const Archive& archive = *it->second;
        // A store that went unanswered, or whose run died, counts until an inventory taken a
        // second or more after it shows the archive absent (its dates are whole seconds). A
        // request that hashed the file itself left no hash: the size decides.
        if (archive.action == Archive::Action::Unconfirmed &&
            (!inventory || inventory->inventoryDate < archive.creationDate + 1) &&
            archive.size == entry.size &&
            (archive.treeHash.empty() || archive.treeHash == entry.treeHash)) {
            const std::string upload =
                archive.archiveID.empty() ? "" : " (its upload " + archive.archiveID + ")";
            return {"", "stored, unconfirmed: an earlier upload of it" + upload +
                            " got no answer or was stopped: import an inventory of the vault, "
                            "or upload it with --force"};
        }
    }
    return {};
}

std::vector<UploadBatch::Version> UploadBatch::olderVersions(const Entry& entry,
                                                             const std::string& description) const {
    std::vector<Version> versions;
    std::set<std::string> seen;
    auto add = [&](const std::string& id, double created, std::int64_t size,
                   const std::string& hash) {
        if ((size != entry.size || hash != entry.treeHash) && !deleted_.contains(id) &&
            seen.insert(id).second) {
            versions.push_back({id, created});
        }
    };
    auto [first, last] = journal_.equal_range(description);
    for (auto it = first; it != last; ++it) {
        const Archive& archive = *it->second;
        if (archive.action == Archive::Action::Add) {
            add(archive.archiveID, archive.creationDate, archive.size, archive.treeHash);
        }
    }
    if (InventoryPtr inventory = vault_->inventoryManager().latest()) {
        for (const InventoryItemPtr& item : inventory->findItemsWithPrefix(entry.archivePath)) {
            if (item->name == entry.archivePath) {
                add(item->archiveID, item->creationDate, item->size, item->treeHash);
            }
        }
    }
    return versions;
}

std::string UploadBatch::versionText(const Version& version) {
    constexpr double kDay = 86400;
    constexpr long kMinimumDays = 90;
    const long days =
        static_cast<long>((static_cast<double>(std::time(nullptr)) - version.creationDate) / kDay);
    std::string text = version.archiveId + " (stored " + timeText(version.creationDate);
    if (days < kMinimumDays) {
        text += ", " + std::to_string(days) +
                " days ago: deleting it before 90 days costs an early-deletion fee for the " +
                std::to_string(kMinimumDays - days) + " days left";
    }
    return text + ")";
}

bool UploadBatch::deleteOlderVersions(Entry& entry) {
    bool all = true;
    for (const Version& version : entry.replaces) {
        ops::Awaited<InventoryItemPtr> removed(context_);
        removed.track(vault_->archives().apiDelete(version.archiveId, removed.completion()));
        if (auto outcome = removed.wait(); outcome.error) {
            context_.output().error("Stored " + entry.path +
                                    ", but could not delete its older "
                                    "version " +
                                    version.archiveId + ": " +
                                    outcome.error->localizedDescription());
            all = false;
        } else {
            deleted_.insert(version.archiveId);
            context_.output().note("Deleted the older version " + versionText(version) + " of " +
                                   entry.path);
        }
    }
    return all;
}

void UploadBatch::send(Entry& entry, ArchiveUploader& uploader,
                       const ArchiveUploader::Progress& progress) {
    auto description = Archive::encodeArchiveDescription(entry.archivePath);
    if (!description) {
        throw std::runtime_error(Archive::unencodableNameMessage());
    }
    const bool checkJournal = !options_.force || options_.replaceModified;
    UploadClaims::Claim claim;
    if (!options_.dryRun) {
        claim = claims_->claim(*description, false);
        if (!claim.held() && !options_.noWait) {
            context_.output().note("Another run is sending " + entry.path +
                                   "; waiting for it to finish...");
            claim = claims_->claim(*description, true);
        }
        if (!claim.held()) {
            entry.outcome = Outcome::Skipped;
            entry.reason = "another run is sending it";
            return;
        }
        if (checkJournal) {
            refreshJournal();
            refreshUnconfirmed(*description);
        }
    }
    // A file is hashed ahead of its upload only when the vault may hold it already: an archive
    // of the same path and size. Otherwise the upload hashes it as it reads it for sending.
    if (checkJournal && mayBeStored(entry, *description)) {
        ErrorPtr error;
        FileHashPtr hash = FileHasher::sharedInstance().compute(
            entry.path,
            [&progress](int percent) {
                if (progress.hashing) {
                    progress.hashing(percent);
                }
                return true;
            },
            &error);
        if (!hash || !hash->treeHash) {
            throw std::runtime_error(error ? error->localizedDescription()
                                           : "cannot hash the file");
        }
        entry.treeHash = *hash->treeHash;
        Stored stored = options_.force ? Stored{} : alreadyStored(entry, *description);
        if (!stored.reason.empty()) {
            entry.outcome = Outcome::Skipped;
            entry.archiveId = stored.archiveId;
            entry.reason = stored.reason;
            // A rerun deletes what an earlier one could not.
            if (options_.replaceModified && !stored.archiveId.empty()) {
                entry.replaces = olderVersions(entry, *description);
                if (!options_.dryRun && !deleteOlderVersions(entry)) {
                    ++replaceFailures_;
                }
            }
            return;
        }
    }
    if (options_.dryRun) {
        if (options_.replaceModified) {
            entry.replaces = olderVersions(entry, *description);
        }
        return;
    }
    ArchiveUploader::Result stored = uploader.upload(entry.path, *description, progress);
    entry.archiveId = stored.archiveId;
    entry.treeHash = stored.treeHash;
    entry.outcome = Outcome::Stored;
    // The new archive is stored and journalled before any older one goes.
    if (options_.replaceModified) {
        entry.replaces = olderVersions(entry, *description);  // its own size and hash: not it
        if (!deleteOlderVersions(entry)) {
            ++replaceFailures_;
        }
    }
}

void UploadBatch::process(Entry& entry, ArchiveUploader& uploader, BatchProgress& progress) {
    std::string failure;
    try {
        send(entry, uploader, progress.begin(lastPathComponent(entry.path), entry.size));
    } catch (const std::exception& e) {
        failure = e.what();
    }
    progress.end();
    CliOutput& output = context_.output();
    if (!failure.empty()) {
        fail(entry, failure);
    } else if (entry.outcome == Outcome::Skipped) {
        output.detail("Skipped " + entry.path + ": " + entry.reason);
        if (options_.dryRun) {
            for (const Version& version : entry.replaces) {
                output.line("would delete the older version " + versionText(version) + " of " +
                            entry.path);
            }
        }
    } else if (entry.outcome == Outcome::Stored) {
        output.line(entry.archiveId + "  " + entry.path);
        output.out().flush();
    } else {
        output.line("would upload " + entry.path + " as " + entry.archivePath + " (" +
                    sizeText(entry.size) + ")");
        for (const Version& version : entry.replaces) {
            output.line("  then delete its older version " + versionText(version));
        }
    }
}

void UploadBatch::finish() {
    JSON::Value document = JSON::Value::array();
    std::int64_t counts[4] = {0, 0, 0, 0};
    std::int64_t bytes[4] = {0, 0, 0, 0};
    for (const Entry& entry : entries_) {
        ++counts[static_cast<int>(entry.outcome)];
        bytes[static_cast<int>(entry.outcome)] += entry.size;
        JSON::Value item = {{"path", entry.path}, {"size", entry.size}};
        if (!entry.treeHash.empty()) {
            item["treeHash"] = entry.treeHash;
        }
        if (entry.outcome == Outcome::Failed) {
            item["error"] = entry.reason;
        } else if (!entry.archiveId.empty()) {
            item["archiveId"] = entry.archiveId;
        }
        if (entry.outcome == Outcome::Skipped) {
            item["skipped"] = true;
            item["reason"] = entry.reason;
        }
        if (entry.outcome == Outcome::Pending) {
            item["dryRun"] = true;
        }
        if (!entry.replaces.empty()) {
            JSON::Value replaced = JSON::Value::array();
            for (const Version& version : entry.replaces) {
                replaced.push_back(version.archiveId);
            }
            item["replaces"] = std::move(replaced);
        }
        document.push_back(std::move(item));
    }
    auto part = [&](const char* what, Outcome outcome) {
        int i = static_cast<int>(outcome);
        return std::string(what) + " " + std::to_string(counts[i]) + " (" + sizeText(bytes[i]) +
               ")";
    };
    // Why files were skipped, most common first: "2001 already in the vault, 3 empty".
    std::map<std::string, int> why;
    for (const Entry& entry : entries_) {
        if (entry.outcome == Outcome::Skipped) {
            ++why[skipKind(entry.reason)];
        }
    }
    std::vector<std::pair<int, std::string>> reasons;
    reasons.reserve(why.size());
    for (const auto& [reason, count] : why) {
        reasons.emplace_back(-count, std::to_string(count) + " " + reason);
    }
    std::sort(reasons.begin(), reasons.end());
    std::string skipped = part("skipped", Outcome::Skipped);
    if (!reasons.empty()) {
        skipped.pop_back();
        for (const auto& reason : reasons) {
            skipped += "; " + reason.second;
        }
        skipped += ")";
    }
    std::string summary = (options_.dryRun ? part("To send", Outcome::Pending) + ", "
                                           : part("Stored", Outcome::Stored) + ", ") +
                          skipped + ", " + part("failed", Outcome::Failed) + ".";
    context_.output().result(document, {});
    context_.output().note(summary);
    if (replaceFailures_ > 0 && counts[static_cast<int>(Outcome::Failed)] == 0) {
        throw CliExit(CliExit::kFailure,
                      "The older versions of " + std::to_string(replaceFailures_) +
                          " files could not be deleted; run the same command again to retry.");
    }
    if (std::int64_t failed = counts[static_cast<int>(Outcome::Failed)]; failed > 0) {
        throw CliExit(CliExit::kFailure,
                      std::to_string(failed) + " of " + std::to_string(entries_.size()) +
                          " files failed; run the same command again to send them.");
    }
}

void UploadBatch::run() {
    auto preferences = Preferences::sharedInstance();
    try {
        ArchiveUploader::validatePartSize(preferences->uploadPartSize);
    } catch (const ModelError& error) {
        context_.fail(error.toError());
    }
    // The vault is checked on the service before any file is read or hashed.
    vault_ = vaultNamed(context_, options_.vault);
    ops::Awaited<> described(context_);
    described.track(vault_->apiDescribe(described.completion()));
    described.get();

    if (!options_.dryRun) {
        lockArguments();
        claims_ = std::make_unique<UploadClaims>(vault_->directory());
    }
    if (auto known = FileHelpers::readFile(emptyFilesPath())) {
        std::istringstream lines(*known);
        for (std::string line; std::getline(lines, line);) {
            emptyBefore_.insert(line);
        }
    }
    collect();
    // Empty files of other runs into this vault stay noted until they are seen with content.
    std::set<std::string> empty = emptyNow_;
    for (const std::string& path : emptyBefore_) {
        if (!withContent_.contains(path)) {
            empty.insert(path);
        }
    }
    if (!options_.dryRun && empty != emptyBefore_) {
        std::string text;
        for (const std::string& path : empty) {
            text += path + "\n";
        }
        if (ErrorPtr error = FileHelpers::writeFileAtomically(emptyFilesPath(), text)) {
            context_.output().detail(error->localizedDescription());  // warned about again
        }
    }
    if (!options_.force || options_.replaceModified) {
        loadJournal();
    }
    ArchiveUploader uploader(context_, vault_, preferences->uploadPartSize,
                             static_cast<int>(preferences->maxConcurrentUploads));
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    for (const Entry& entry : entries_) {
        if (entry.outcome == Outcome::Pending) {
            ++files;
            bytes += entry.size;
        }
    }
    BatchProgress progress(context_.output(), files, bytes);
    for (Entry& entry : entries_) {
        if (entry.outcome == Outcome::Pending) {
            process(entry, uploader, progress);
        }
    }
    progress.finish();
    finish();
}

}  // namespace quillon::cli
