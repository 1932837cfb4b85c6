// Archive: writing journal entries and encoding descriptions. Threads: as in Archive.h.
#include "transfers/Archive.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "foundation/BackgroundQueue.h"
#include "foundation/Error.h"
#include "foundation/FileLock.h"
#include "foundation/ModelError.h"
#include "foundation/Support.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/base/Localization.h"
#include "interfaces/db/Database.h"
#include "interfaces/platform/NotificationCenter.h"
#include "interfaces/text/PercentEncoding.h"
#include "interfaces/text/UnicodeText.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryManager.h"
#include "settings/Logger.h"
#include "vaults/Vault.h"

namespace quillon {

const char* Archive::rawValue(Action action) {
    switch (action) {
        case Action::Delete:
            return "delete";
        case Action::Unconfirmed:
            return "unconfirmed";
        case Action::Add:
            break;
    }
    return "add";
}

std::optional<Archive::Action> Archive::actionFromRawValue(std::string_view text) {
    if (text == "add") {
        return Action::Add;
    }
    if (text == "delete") {
        return Action::Delete;
    }
    if (text == "unconfirmed") {
        return Action::Unconfirmed;
    }
    return std::nullopt;
}

Archive::Archive(std::shared_ptr<Vault> vault)
    : vault(std::move(vault)), creationDate(nowSecondsExact()) {}

bool Archive::append() {
    // The journal entry and its mark on the latest inventory land together, and never in the
    // middle of another process's import of the vault.
    FileLock writer(vault->writerLockPath());
    writer.lock();
    return appendHolding(writer);
}

bool Archive::appendHolding(const FileLock& writer) {
    if (!writer.held()) {
        NSLog("Archive journal of %@ written without its lock: %@",
              {vault->name, writer.error() ? writer.error()->localizedDescription() : ""});
    }
    bool inserted = false;
    try {
        vault->db().inTransaction([this, &inserted](Database& db, bool& rollback) {
            inserted = appendToDB(db);
            rollback = !inserted;
        });
    } catch (const ModelError& error) {
        NSLog("Archive journal of %@ could not be written: %@", {vault->name, error.what()});
        return false;
    }
    bool found = false;
    if (inserted) {
        vault->db().inDatabase([this, &found](Database& db) {
            found = db.longForQuery(
                          "SELECT COUNT(*) FROM archives WHERE archive_id = ? AND action "
                          "= ? AND created_at = ? AND region = ? AND vault = ?",
                          {archiveID, std::string(rawValue(action)),
                           sqlInt(static_cast<std::int64_t>(creationDate)),
                           vault->accountRegion()->region()->id(), vault->name})
                        .value_or(0) > 0;
        });
    }
    if (!found) {
        NSLog("Archive journal of %@ could not be written for %@", {vault->name, archiveID});
    }
    return found;
}

namespace {

// The inventory that journal entries change: the vault's latest, or a placeholder one made
// when the vault has none.
InventoryPtr inventoryForJournal(Vault& vault, Database& db) {
    InventoryManager& inventories = vault.inventoryManager();
    InventoryPtr inventory = inventories.latestFromDB(db);
    return inventory ? inventory : inventories.createDummyInDB(db);
}

}  // namespace

void Archive::appendThen(std::function<void(bool recorded)> next) {
    auto writer = std::make_shared<FileLock>(vault->writerLockPath());
    if (writer->tryLock() || writer->error()) {
        const bool recorded = appendHolding(*writer) || appendHolding(*writer);
        writer->unlock();  // before `next`, which may write the journal again
        next(recorded);
        return;
    }
    // Another process imports the vault. The wait for it happens on the journal's own thread:
    // on the client's worker it would hold up every other request of the account meanwhile.
    BackgroundQueue::journal().post([self = shared_from_this(), writer, next] {
        writer->lock();
        const bool recorded = self->appendHolding(*writer) || self->appendHolding(*writer);
        writer->unlock();
        next(recorded);
    });
}

bool Archive::appendAll(Vault& vault, const std::vector<std::shared_ptr<Archive>>& entries,
                        bool pruneFolders) {
    // As in append(): the entries and their marks land together, under the writer lock.
    FileLock writer(vault.writerLockPath());
    if (!writer.lock()) {
        NSLog("Archive journal of %@ written without its lock: %@",
              {vault.name, writer.error()->localizedDescription()});
    }
    bool inserted = false;
    try {
        vault.db().inTransaction([&](Database& db, bool& rollback) {
            inserted = true;
            InventoryPtr inventory;
            Inventory::JournalRun run;
            for (const auto& entry : entries) {
                if (!entry->insertRowToDB(db)) {
                    inserted = false;
                    continue;
                }
                if (entry->action == Action::Unconfirmed) {
                    continue;
                }
                if (!inventory) {
                    inventory = inventoryForJournal(vault, db);
                    if (!inventory) {
                        continue;
                    }
                    run = inventory->beginJournalRun(db, pruneFolders);
                }
                inventory->updateArchiveToDB(db, *entry, &run);
            }
            if (inventory) {
                inventory->endJournalRun(db, run);
            }
            rollback = !inserted;
        });
    } catch (const ModelError& error) {
        NSLog("Archive journal of %@ could not be written: %@", {vault.name, error.what()});
        return false;
    }
    return inserted;
}

bool Archive::insertRowToDB(Database& db) {
    return db.executeUpdate(
        "INSERT INTO archives (action, archive_id, description, size, tree_hash, created_at, "
        "region, vault) VALUES (:action, :archive_id, :description, :size, :tree_hash, "
        ":created_at, :region, :vault)",
        SqlNamedArgs{{"action", std::string(rawValue(action))},
                     {"archive_id", archiveID},
                     {"description", archiveDescription},
                     {"size", sqlInt(size)},
                     {"tree_hash", treeHash},
                     {"created_at", sqlInt(static_cast<std::int64_t>(creationDate))},
                     {"region", vault->accountRegion()->region()->id()},
                     {"vault", vault->name}});
}

bool Archive::appendToDB(Database& db) {
    if (!insertRowToDB(db)) {
        return false;
    }
    if (action == Action::Unconfirmed) {
        return true;
    }
    if (InventoryPtr inventory = inventoryForJournal(*vault, db)) {
        inventory->updateArchiveToDB(db, *this);
    }
    return true;
}

bool Archive::recordPending() {
    action = Action::Unconfirmed;
    bool inserted = false;
    vault->db().inDatabase([this, &inserted](Database& db) {
        inserted = insertRowToDB(db);
        rowId = inserted ? db.lastInsertRowId() : 0;
    });
    if (!inserted) {
        NSLog("Archive journal of %@: the upload of %@ could not be recorded ahead",
              {vault->name, archiveDescription});
    }
    return inserted;
}

void Archive::dropPending() {
    if (rowId != 0) {
        vault->db().inDatabase([this](Database& db) {
            db.executeUpdate("DELETE FROM archives WHERE id = ? AND action = 'unconfirmed'",
                             {sqlInt(rowId)});
        });
        rowId = 0;
    }
}

void Archive::keepPending() {
    creationDate = nowSecondsExact();
    if (rowId != 0) {
        vault->db().inDatabase([this](Database& db) {
            db.executeUpdate("UPDATE archives SET created_at = ? WHERE id = ?",
                             {sqlInt(static_cast<std::int64_t>(creationDate)), sqlInt(rowId)});
        });
    }
}

ErrorPtr Archive::appendAdded() {
    const bool recorded = append() || append();
    return noteAdded(recorded);
}

void Archive::appendAddedThen(std::function<void(ErrorPtr unrecorded)> next) {
    appendThen(
        [self = shared_from_this(), next](bool recorded) { next(self->noteAdded(recorded)); });
}

ErrorPtr Archive::noteAdded(bool recorded) {
    vault->log().info("Archive added: " + archiveID + " (" + archiveDescription + ")");
    NotificationCenter::defaultCenter().post(NVArchiveUploadDoneNotification, shared_from_this());
    if (recorded) {
        return nullptr;
    }
    return std::make_shared<const Error>(
        ModelError::kDomain, kNotRecordedCode,
        UserInfo{{kLocalizedDescriptionKey,
                  "The archive " + archiveID + " was stored in the vault " + vault->name +
                      " but could not be recorded in the local journal (is the disk full?); "
                      "it is in the vault log. Do not upload the file again: import an "
                      "inventory of the vault to record it."}});
}

std::optional<std::string> Archive::encodeArchiveDescription(std::string_view text) {
    if (!UnicodeText::isValidUTF8(text)) {
        return std::nullopt;
    }
    return PercentEncoding::encodingOutsidePrintableASCII(
        UnicodeText::trimmingWhitespaceAndNewlines(text));
}

std::string Archive::unencodableNameMessage() {
    return Localization::string("modelerror.could_not_encode_archive_desc");
}

}  // namespace quillon
