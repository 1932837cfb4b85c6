// DBBuilder: opens, creates, migrates and stamps one database file for its subclass's schema.
// Threads: not thread-safe; one owner builds, then hands the connection or queue on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "interfaces/db/Database.h"

namespace quillon {

// Opens a database file, creates the tables of a fresh file, migrates an existing one whose
// stored schema version differs from the running build's, runs maintenance and stamps the
// schema version. Subclasses supply the schema through the three hooks.
class DBBuilder {
  public:
    explicit DBBuilder(std::string file);
    virtual ~DBBuilder();
    DBBuilder(const DBBuilder&) = delete;
    DBBuilder& operator=(const DBBuilder&) = delete;

    const std::string& file() const { return file_; }
    const DatabasePtr& database() const { return database_; }

    bool didInitialize() const { return didInitialize_; }
    bool didChange() const { return didChange_; }

    // The build-number text the schema version is derived from; the compiled-in build number
    // unless replaced (tests use this to play an older or newer build).
    const std::optional<std::string>& bundleVersion() const { return bundleVersion_; }
    void setBundleVersion(std::optional<std::string> text) { bundleVersion_ = std::move(text); }
    std::uint32_t appVersion() const;

    // True when the file is missing (it is not created), cannot be opened or read, or its
    // stored schema version differs from appVersion() in either direction. Leaves the
    // connection it opened in database().
    bool needsMigration();
    // Opens and prepares the file; none when it cannot be opened or is not a database (a file
    // that is not a database is left untouched).
    DatabasePtr getDB();
    // getDB(), then that connection closed and a queue opened on the same path.
    DatabaseQueuePtr getDBQueue();
    // After getDB() or getDBQueue() gave none: why, as the end of a sentence ("there is no
    // space left on its disk", "it or its folder is read-only", "it is damaged or not a
    // database"). A healthy file on a full or read-only disk is not called damaged.
    std::string openFailure() const;

    // Hooks, run by getDB() on database().
    virtual void initializeTables() {}
    virtual void performMigration() {}
    virtual bool performMaintenance() { return false; }

  private:
    void dropDatabase();

    std::string file_;
    DatabasePtr database_;
    bool didInitialize_ = false;
    bool didChange_ = false;
    int openErrorCode_ = 0;  // SQLite's primary result code of the failed open or first read
    std::optional<std::string> bundleVersion_;
};

}  // namespace quillon
