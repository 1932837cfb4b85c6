#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "interfaces/Error.h"

namespace quillon {

// A value bound to a statement: null, integer (booleans and dates in seconds since 1970 are
// bound as integers), real, text or raw bytes.
using SqlValue = std::variant<std::nullptr_t, std::int64_t, double, std::string, Bytes>;
using SqlArgs = std::vector<SqlValue>;
using SqlNamedArgs = std::map<std::string, SqlValue>;  // keys without the leading ':'

inline SqlValue sqlBool(bool value) { return std::int64_t{value ? 1 : 0}; }
inline SqlValue sqlInt(std::int64_t value) { return value; }
inline SqlValue sqlText(std::string value) { return value; }
inline SqlValue sqlNull() { return nullptr; }

class Database;
class PreparedStatement;

// A cursor over the rows of one query. Columns are read by name (or index); a missing column
// or a NULL reads as the type's empty value (or none for the optional readers).
class ResultSet {
public:
    ~ResultSet();
    ResultSet(const ResultSet&) = delete;
    ResultSet& operator=(const ResultSet&) = delete;

    bool next();   // advance; false at the end or on error
    void close();  // releases the statement; also done by the destructor

    int columnCount() const;
    int columnIndex(const std::string& name) const;  // -1 when there is no such column
    bool columnIsNull(const std::string& name) const;
    std::optional<std::string> stringForColumn(const std::string& name) const;
    int intForColumn(const std::string& name) const;
    std::int64_t longForColumn(const std::string& name) const;
    std::int64_t longLongIntForColumn(const std::string& name) const { return longForColumn(name); }
    bool boolForColumn(const std::string& name) const;
    double doubleForColumn(const std::string& name) const;
    std::optional<std::int64_t> dateForColumn(const std::string& name) const;  // seconds
    std::optional<Bytes> dataForColumn(const std::string& name) const;

    bool columnIsNull(int index) const;
    std::optional<std::string> stringForColumn(int index) const;
    std::int64_t longForColumn(int index) const;

private:
    friend class Database;
    ResultSet(Database& db, std::shared_ptr<PreparedStatement> statement);

    Database* db_;
    std::shared_ptr<PreparedStatement> statement_;
    std::unordered_map<std::string, int> columns_;
};

using ResultSetPtr = std::unique_ptr<ResultSet>;

// One SQLite connection. Statements run through executeUpdate/executeQuery are prepared
// once per SQL text and reused, so a loop that runs the same statement never re-prepares it.
class Database {
public:
    explicit Database(std::string path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens read-write, creating the file when missing. Succeeds on a file that is not a
    // database: that shows only with the first statement.
    bool open();
    bool openWithFlags(int sqliteOpenFlags);  // e.g. SQLITE_OPEN_READONLY
    bool close();
    bool isOpen() const { return db_ != nullptr; }
    const std::string& databasePath() const { return path_; }
    sqlite3* handle() const { return db_; }

    bool executeStatements(const std::string& sql);  // several ';'-separated statements
    bool executeUpdate(const std::string& sql, const SqlArgs& args = {});
    bool executeUpdate(const std::string& sql, const SqlNamedArgs& args);
    ResultSetPtr executeQuery(const std::string& sql, const SqlArgs& args = {});
    ResultSetPtr executeQuery(const std::string& sql, const SqlNamedArgs& args);

    std::optional<int> intForQuery(const std::string& sql, const SqlArgs& args = {});
    std::optional<std::int64_t> longForQuery(const std::string& sql, const SqlArgs& args = {});
    std::optional<std::string> stringForQuery(const std::string& sql, const SqlArgs& args = {});

    bool beginTransaction();
    bool commit();
    bool rollback();
    bool inTransaction() const;

    bool tableExists(const std::string& table);
    bool columnExists(const std::string& column, const std::string& table);
    std::uint32_t userVersion();
    bool setUserVersion(std::uint32_t version);
    std::int64_t lastInsertRowId() const;
    int changes() const;
    int lastErrorCode() const;
    std::string lastErrorMessage() const;

private:
    friend class ResultSet;
    std::shared_ptr<PreparedStatement> prepare(const std::string& sql);
    void release(const std::shared_ptr<PreparedStatement>& statement);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, std::shared_ptr<PreparedStatement>> cache_;
};

// Serialises all access to one database file: every block runs alone, on the calling thread,
// with the queue's single open connection. Safe to call from any thread; a block may call the
// same queue again (the lock is re-entrant). Every connection it opens starts with
// "PRAGMA case_sensitive_like = ON" and "PRAGMA synchronous = NORMAL".
class DatabaseQueue {
public:
    explicit DatabaseQueue(std::string path, int sqliteOpenFlags = 0);  // 0: read-write+create
    ~DatabaseQueue();

    const std::string& path() const { return path_; }
    bool isOpen() const;

    void inDatabase(const std::function<void(Database&)>& block);
    // Runs the block inside one transaction; setting `rollback` to true rolls it back,
    // otherwise it is committed when the block returns.
    void inTransaction(const std::function<void(Database&, bool& rollback)>& block);

    void close();

private:
    std::string path_;
    std::recursive_mutex mutex_;
    std::unique_ptr<Database> db_;
};

using DatabaseQueuePtr = std::shared_ptr<DatabaseQueue>;

}  // namespace quillon
