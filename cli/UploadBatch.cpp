// UploadBatch: collecting, skipping, sending and summing up the batch's files. Threads: as in
// UploadBatch.h.

#include "UploadBatch.h"

#include <ostream>
#include <set>
#include <stdexcept>

#include "BatchProgress.h"
#include "CliContext.h"
#include "CliExit.h"
#include "HumanText.h"
#include "VaultArgument.h"
#include "foundation/ModelError.h"
#include "foundation/Support.h"
#include "interfaces/base/Localization.h"
#include "interfaces/files/FileHelpers.h"
#include "interfaces/files/PathComponents.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "ops/Awaited.h"
#include "settings/Preferences.h"
#include "transfers/Archive.h"
#include "transfers/Archives.h"
#include "transfers/FileHasher.h"

namespace quillon::cli {

UploadBatch::UploadBatch(CliContext& context, Options options)
    : context_(context), options_(std::move(options)), skipPatterns_(FileHasher::kSkipPatternKey) {}

void UploadBatch::add(const std::string& path, const std::string& relative) {
    if (!skipPatterns_.allowedByPattern(lastPathComponent(path))) {
        context_.output().note("Skipped " + path + " (matches a skip pattern)");
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
    if (entry.size == 0) {
        entry.outcome = Outcome::Skipped;
        entry.reason = "empty";
        context_.output().error("Warning: skipped " + path + ": " +
                                ModelError::uploadFileEmpty().description());
    }
    entries_.push_back(std::move(entry));
}

void UploadBatch::collect() {
    for (const std::string& path : options_.paths) {
        if (FileHelpers::directoryExists(path)) {
            std::string base = lastPathComponent(trimmingSlashes(path));
            ErrorPtr error = FileHelpers::enumerateTree(
                path, [&](const std::string& relative, bool isDirectory) {
                    std::string full = appendingPathComponent(path, relative);
                    if (!isDirectory && FileHelpers::regularFileExists(full)) {
                        add(full, base.empty() ? relative : base + "/" + relative);
                    }
                    return true;
                });
            if (error) {
                entries_.push_back(Entry{});
                entries_.back().path = path;
                fail(entries_.back(), error->localizedDescription());
            }
        } else if (FileHelpers::regularFileExists(path)) {
            add(path, lastPathComponent(path));
        } else {
            entries_.push_back(Entry{});
            entries_.back().path = path;
            fail(entries_.back(), "there is no such file");
        }
    }
}

void UploadBatch::fail(Entry& entry, const std::string& reason) {
    entry.outcome = Outcome::Failed;
    entry.reason = reason;
    context_.output().error("Failed to upload " + entry.path + ": " + reason);
}

void UploadBatch::loadJournal() {
    // Archives this client stored in the vault and did not delete since, by description, and
    // uploads whose completion went unanswered (stored, unconfirmed).
    std::set<std::string> deleted;
    std::vector<ArchivePtr> added;
    for (const ArchivePtr& archive : vault_->archives().all()) {
        if (archive->action == Archive::Action::Delete) {
            deleted.insert(archive->archiveID);
        } else {
            added.push_back(archive);
        }
    }
    for (const ArchivePtr& archive : added) {
        if (!deleted.contains(archive->archiveID)) {
            journal_.emplace(archive->archiveDescription, archive);
        }
    }
}

bool UploadBatch::mayBeStored(const Entry& entry, const std::string& description) const {
    auto [first, last] = journal_.equal_range(description);
    for (auto it = first; it != last; ++it) {
        if (it->second->size == entry.size) {
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
        // An unconfirmed upload counts until an inventory taken after it shows it absent.
        if (archive.action == Archive::Action::Unconfirmed &&
            (!inventory || inventory->inventoryDate < archive.creationDate) &&
            matches(archive.size, archive.treeHash)) {
            return {"", "stored, unconfirmed (its upload " + archive.archiveID +
                            " was completed without an answer): import an inventory of the "
                            "vault, or upload it with --force"};
        }
        if (archive.action == Archive::Action::Add && matches(archive.size, archive.treeHash)) {
            return {archive.archiveID, "already in the vault"};
        }
    }
    if (inventory) {
        Inventory::ItemQuery query;
        query.search = "hash:" + entry.treeHash;
        query.limit = -1;
        for (const InventoryItemPtr& item : inventory->items(query)) {
            if (item->name == entry.archivePath && matches(item->size, item->treeHash)) {
                return {item->archiveID, "already in the vault"};
            }
        }
    }
    return {};
}

void UploadBatch::send(Entry& entry, ArchiveUploader& uploader,
                       const ArchiveUploader::Progress& progress) {
    auto description = Archive::encodeArchiveDescription(entry.archivePath);
    if (!description) {
        throw std::runtime_error(Localization::string("modelerror.could_not_encode_archive_desc"));
    }
    // A file is hashed ahead of its upload only when the vault may hold it already: an archive
    // of the same path and size. Otherwise the upload hashes it as it reads it for sending.
    if (!options_.force && mayBeStored(entry, *description)) {
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
        if (Stored stored = alreadyStored(entry, *description); !stored.reason.empty()) {
            entry.outcome = Outcome::Skipped;
            entry.archiveId = stored.archiveId;
            entry.reason = stored.reason;
            return;
        }
    }
    if (!options_.dryRun) {
        ArchiveUploader::Result stored = uploader.upload(entry.path, *description, progress);
        entry.archiveId = stored.archiveId;
        entry.treeHash = stored.treeHash;
        entry.outcome = Outcome::Stored;
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
        output.note("Skipped " + entry.path + " (" +
                    (entry.archiveId.empty() ? entry.reason
                                             : "already in the vault as " + entry.archiveId) +
                    ")");
    } else if (entry.outcome == Outcome::Stored) {
        output.line(entry.archiveId + "  " + entry.path);
        output.out().flush();
    } else {
        output.line("would upload " + entry.path + " as " + entry.archivePath + " (" +
                    sizeText(entry.size) + ")");
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
        document.push_back(std::move(item));
    }
    auto part = [&](const char* what, Outcome outcome) {
        int i = static_cast<int>(outcome);
        return std::string(what) + " " + std::to_string(counts[i]) + " (" + sizeText(bytes[i]) +
               ")";
    };
    std::string summary = (options_.dryRun ? part("To send", Outcome::Pending) + ", "
                                           : part("Stored", Outcome::Stored) + ", ") +
                          part("skipped", Outcome::Skipped) + ", " +
                          part("failed", Outcome::Failed) + ".";
    context_.output().result(document, {});
    context_.output().note(summary);
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
    vault_ = validVaultNamed(context_, options_.vault);
    ops::Awaited<> described(context_);
    described.track(vault_->apiDescribe(described.completion()));
    described.get();

    collect();
    if (!options_.force) {
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
