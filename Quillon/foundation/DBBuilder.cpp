// DBBuilder: opening, creating and migrating a database file. Threads: as in DBBuilder.h.
#include "foundation/DBBuilder.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "foundation/BuildInfo.h"
#include "interfaces/db/Database.h"

namespace quillon {

namespace {

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// sqlite3_open_v2 accepts any file; the first read of the schema is what fails on a file that
// is not a database (or on a directory). Nothing is written before this check.
bool isReadableDatabase(Database& db) {
    return db.longForQuery("SELECT count(*) FROM sqlite_master").has_value();
}

}  // namespace

DBBuilder::DBBuilder(std::string file)
    : file_(std::move(file)), bundleVersion_(BuildInfo::bundleVersion()) {}

DBBuilder::~DBBuilder() = default;

std::uint32_t DBBuilder::appVersion() const {
    return BuildInfo::schemaVersion(bundleVersion_);
}

void DBBuilder::dropDatabase() {
    if (database_) {
        database_->close();
        database_.reset();
    }
}

bool DBBuilder::needsMigration() {
    if (!fileExists(file_)) {
        return true;
    }
    if (!database_ || !database_->isOpen()) {
        database_ = std::make_shared<Database>(file_);
        if (!database_->open()) {
            return true;
        }
    }
    auto stored = database_->longForQuery("PRAGMA user_version");
    if (!stored) {
        return true;
    }
    return static_cast<std::uint32_t>(*stored) != appVersion();
}

DatabasePtr DBBuilder::getDB() {
    const bool existed = fileExists(file_);

    dropDatabase();
    openErrorCode_ = 0;
    database_ = std::make_shared<Database>(file_);
    if (!database_->open() || !isReadableDatabase(*database_)) {
        openErrorCode_ = database_->lastErrorCode() & 0xff;
        dropDatabase();
        return nullptr;
    }

    database_->executeQuery("PRAGMA journal_mode = WAL");
    database_->executeQuery("PRAGMA synchronous = NORMAL");
    database_->executeUpdate("PRAGMA case_sensitive_like = ON");

    if (!existed) {
        didInitialize_ = true;
        didChange_ = true;
        initializeTables();
    }
    if (needsMigration()) {
        didChange_ = true;
        performMigration();
    }
    if (performMaintenance()) {
        didChange_ = true;
    }

    if (didChange_) {
        database_->executeUpdate("ANALYZE");
        database_->setUserVersion(appVersion());
        database_->close();
        if (!database_->open()) {
            dropDatabase();
            return nullptr;
        }
    }
    database_->executeUpdate("PRAGMA case_sensitive_like = ON");
    return database_;
}

std::string DBBuilder::openFailure() const {
    std::string folder = file_.substr(0, file_.find_last_of('/') + 1);
    if (folder.empty()) {
        folder.push_back('.');  // not `= "."`: g++ 12 warns -Wrestrict on that falsely
    }
    struct statvfs disk {};
    const bool known = ::statvfs(folder.c_str(), &disk) == 0;
    if (openErrorCode_ == SQLITE_FULL || (known && disk.f_bavail == 0)) {
        return "there is no space left on its disk";
    }
    if (openErrorCode_ == SQLITE_READONLY || openErrorCode_ == SQLITE_PERM ||
        (known && (disk.f_flag & ST_RDONLY) != 0) || ::access(folder.c_str(), W_OK) != 0 ||
        (fileExists(file_) && ::access(file_.c_str(), W_OK) != 0)) {
        return "it or its folder is read-only";
    }
    return "it is damaged or not a database";
}

DatabaseQueuePtr DBBuilder::getDBQueue() {
    DatabasePtr db = getDB();
    if (!db) {
        return nullptr;
    }
    db->close();
    return std::make_shared<DatabaseQueue>(file_);
}

}  // namespace quillon
