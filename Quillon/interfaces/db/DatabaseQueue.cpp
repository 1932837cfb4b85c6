// DatabaseQueue and WidenedCache: one connection per file behind a re-entrant mutex, with
// transactions and savepoints. Threads: any thread; each block runs on the calling thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"

namespace quillon {

DatabaseQueue::DatabaseQueue(std::string path, int sqliteOpenFlags)
    : path_(std::move(path)),
      flags_(sqliteOpenFlags != 0 ? sqliteOpenFlags : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    std::lock_guard lock(mutex_);
    connection();
}

DatabaseQueue::~DatabaseQueue() {
    close();
}

bool DatabaseQueue::isOpen() const {
    std::lock_guard lock(mutex_);
    return db_ != nullptr && db_->isOpen();
}

Database* DatabaseQueue::connection() {
    if (db_ && db_->isOpen()) {
        return db_.get();
    }
    auto db = std::make_unique<Database>(path_);
    if (!db->openWithFlags(flags_)) {
        NSLog("DatabaseQueue could not open %@: %@", {path_, db->lastErrorMessage()});
        return nullptr;
    }
    db->executeUpdate("PRAGMA case_sensitive_like = ON");
    db->executeUpdate("PRAGMA synchronous = NORMAL");
    db_ = std::move(db);
    if (openHook_) {
        openHook_(*db_);
    }
    return db_.get();
}

void DatabaseQueue::setOpenHook(std::function<void(Database&)> hook) {
    std::lock_guard lock(mutex_);
    openHook_ = std::move(hook);
    if (db_ && db_->isOpen() && openHook_) {
        openHook_(*db_);
    }
}

void DatabaseQueue::inDatabase(const std::function<void(Database&)>& block) {
    std::lock_guard lock(mutex_);
    if (Database* db = connection()) {
        block(*db);
    }
}

bool DatabaseQueue::inTransaction(const std::function<void(Database&, bool& rollback)>& block) {
    std::lock_guard lock(mutex_);
    Database* db = connection();
    if (db == nullptr) {
        return false;
    }
    // A transaction cannot be nested; inside one (a re-entrant call) a savepoint stands in.
    // One name serves every depth: SQLite targets the innermost savepoint of that name.
    const bool nested = db->inTransaction();
    const std::string savepoint = "quillon_queue_block";
    if (!(nested ? db->executeUpdate("SAVEPOINT " + savepoint) : db->beginTransaction())) {
        // Without its transaction a block would run statement by statement, and what a busy
        // or full file refused would be lost without a trace.
        NSLog("DatabaseQueue could not begin a transaction on %@: %@",
              {path_, db->lastErrorMessage()});
        return false;
    }
    // True when the block's work is stored.
    auto finish = [&](bool rollback) {
        if (nested) {
            if (rollback) {
                db->executeUpdate("ROLLBACK TO SAVEPOINT " + savepoint);
            }
            return db->executeUpdate("RELEASE SAVEPOINT " + savepoint) && !rollback;
        }
        if (!rollback && db->commit()) {
            return true;
        }
        if (db->inTransaction()) {
            // A commit that could not be stored (a full disk, a busy file) leaves the
            // transaction open; nothing of it may stay behind for the next block to commit.
            db->rollback();
        }
        return false;
    };
    bool rollback = false;
    try {
        block(*db, rollback);
    } catch (...) {
        finish(true);
        throw;
    }
    return finish(rollback);
}

void DatabaseQueue::close() {
    std::lock_guard lock(mutex_);
    if (db_) {
        db_->close();
        db_.reset();
    }
}

WidenedCache::WidenedCache(DatabaseQueue& queue, std::int64_t kibibytes) : queue_(queue) {
    queue_.inDatabase([&](Database& db) {
        previous_ = db.longForQuery("PRAGMA cache_size");
        db.executeUpdate("PRAGMA cache_size = -" + std::to_string(kibibytes));
    });
}

WidenedCache::~WidenedCache() {
    if (previous_) {
        queue_.inDatabase([this](Database& db) {
            db.executeUpdate("PRAGMA cache_size = " + std::to_string(*previous_));
        });
    }
}

}  // namespace quillon
