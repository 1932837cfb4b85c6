// Archive: writing journal entries and encoding descriptions. Threads: as in Archive.h.
#include "transfers/Archive.h"

#include <chrono>

#include "accounts/AccountRegion.h"
#include "foundation/BackgroundQueue.h"
#include "foundation/ModelError.h"
#include "foundation/Support.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/files/FileLock.h"
#include "interfaces/platform/NotificationCenter.h"
#include "interfaces/text/PercentEncoding.h"
#include "interfaces/text/UnicodeText.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryManager.h"
#include "settings/Logger.h"
#include "vaults/Vault.h"

namespace quillon {

const char* Archive::rawValue(Action action) {
    return action == Action::Delete ? "delete" : "add";
}

std::optional<Archive::Action> Archive::actionFromRawValue(std::string_view text) {
    if (text == "add") {
        return Action::Add;
    }
    if (text == "delete") {
        return Action::Delete;
    }
    return std::nullopt;
}

Archive::Archive(std::shared_ptr<Vault> vault)
    : vault(std::move(vault)), creationDate(nowSecondsExact()) {}

void Archive::append() {
    // The journal entry and its mark on the latest inventory land together, and never in the
    // middle of another process's import of the vault.
    FileLock writer(vault->writerLockPath());
    writer.lock();
    appendHolding(writer);
}

void Archive::appendHolding(const FileLock& writer) {
    if (!writer.held()) {
        NSLog("Archive journal of %@ written without its lock: %@",
              {vault->name, writer.error() ? writer.error()->localizedDescription() : ""});
    }
    try {
        vault->db().inTransaction([this](Database& db, bool&) { appendToDB(db); });
    } catch (const ModelError& error) {
        NSLog("Archive journal of %@ could not be written: %@", {vault->name, error.what()});
    }
}

void Archive::appendThen(std::function<void()> next) {
    auto writer = std::make_shared<FileLock>(vault->writerLockPath());
    if (writer->tryLock() || writer->error()) {
        appendHolding(*writer);
        writer->unlock();  // before `next`, which may write the journal again
        next();
        return;
    }
    // Another process imports the vault. The wait for it happens on the journal's own thread:
    // on the client's worker it would hold up every other request of the account meanwhile.
    BackgroundQueue::journal().post([self = shared_from_this(), writer, next] {
        writer->lock();
        self->appendHolding(*writer);
        writer->unlock();
        next();
    });
}

void Archive::appendToDB(Database& db) {
    db.executeUpdate(
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
    InventoryManager& inventories = vault->inventoryManager();
    InventoryPtr inventory = inventories.latestFromDB(db);
    if (!inventory) {
        inventory = inventories.createDummyInDB(db);
    }
    if (inventory) {
        inventory->updateArchiveToDB(db, *this);
    }
}

void Archive::appendAdded() {
    append();
    noteAdded();
}

void Archive::appendAddedThen(std::function<void()> next) {
    appendThen([self = shared_from_this(), next] {
        self->noteAdded();
        next();
    });
}

void Archive::noteAdded() {
    vault->log().info("Archive added: " + archiveID + " (" + archiveDescription + ")");
    NotificationCenter::defaultCenter().post(NVArchiveUploadDoneNotification, shared_from_this());
}

std::optional<std::string> Archive::encodeArchiveDescription(std::string_view text) {
    if (!UnicodeText::isValidUTF8(text)) {
        return std::nullopt;
    }
    return PercentEncoding::encodingOutsidePrintableASCII(
        UnicodeText::trimmingWhitespaceAndNewlines(text));
}

}  // namespace quillon
