// Database, ResultSet, DatabaseQueue, WidenedCache: the SQLite connection with its statement
// cache, its row cursors, and the queue that serialises all access to one database file.
// Threads: a Database and its result sets are not thread-safe; reach them only inside a block of
//   their DatabaseQueue, which any thread may call (a re-entrant mutex; blocks run on the caller).
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "foundation/Error.h"

namespace quillon {

// A value bound to a statement: null, integer (booleans and dates in seconds since 1970 are
// bound as integers), real, text or raw bytes.
using SqlValue = std::variant<std::nullptr_t, std::int64_t, double, std::string, Bytes>;
// Positional arguments. A class of its own (not a plain vector) so that a brace list of
// name/value pairs such as {{"id", sqlInt(1)}} can only mean named arguments.
struct SqlArgs : std::vector<SqlValue> {
    SqlArgs() = default;
    template <typename... Values>
    requires(sizeof...(Values) > 0 && (std::is_constructible_v<SqlValue, Values> && ...))
        SqlArgs(Values&&... values) {  // NOLINT: implicit on purpose
        reserve(sizeof...(Values));
        (emplace_back(std::forward<Values>(values)), ...);
    }
};
using SqlNamedArgs = std::map<std::string, SqlValue>;  // keys without the leading ':'

// A value bound in place, without a copy, for loops that insert many rows: null, an integer
// or text that must stay alive until the statement has run.
using SqlRef = std::variant<std::nullptr_t, std::int64_t, std::string_view>;

inline SqlValue sqlBool(bool value) {
    return std::int64_t{value ? 1 : 0};
}
inline SqlValue sqlInt(std::int64_t value) {
    return value;
}
inline SqlValue sqlText(std::string value) {
    return value;
}
inline SqlValue sqlNull() {
    return nullptr;
}

class Database;
class PreparedStatement;

// A cursor over the rows of one query. Columns are read by name (case-insensitive) or index;
// a missing column or a NULL reads as the type's empty value (or none for the optional
// readers). The statement goes back to its connection's cache as soon as the rows are
// exhausted or the set is closed. A result set must not outlive the block of the queue that
// produced it; if its connection closes first, it simply has no more rows.
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
    bool boolForColumn(const std::string& name) const;
    double doubleForColumn(const std::string& name) const;
    std::optional<std::int64_t> dateForColumn(const std::string& name) const;  // seconds
    std::optional<Bytes> dataForColumn(const std::string& name) const;

    bool columnIsNull(int index) const;
    std::optional<std::string> stringForColumn(int index) const;
    // The text in place, without a copy: empty for NULL, valid until the next call of next().
    std::string_view textForColumn(int index) const;
    std::int64_t longForColumn(int index) const;

  private:
    friend class Database;
    // `firstStep` is the result of the first sqlite3_step, already taken by the query.
    ResultSet(std::shared_ptr<PreparedStatement> statement, int firstStep);
    sqlite3_stmt* row() const;  // the statement when positioned on a row, else null
    sqlite3_stmt* rowWithColumn(int index) const;  // and `index` is one of its columns

    std::shared_ptr<PreparedStatement> statement_;
    std::unordered_map<std::string, int> columns_;
    int columnCount_ = 0;
    int pendingStep_;
    bool started_ = false;
    bool onRow_ = false;
};
using ResultSetPtr = std::unique_ptr<ResultSet>;

// One SQLite connection. Statements run through executeUpdate/executeQuery are prepared
// once per SQL text and reused, so a loop that runs the same statement never re-prepares it.
// A statement whose result set is still open is never reset under it: running the same SQL
// meanwhile prepares a second statement.
class Database {
  public:
    explicit Database(std::string path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens read-write, creating the file when missing. Succeeds on a file that is not a
    // database: that shows only with the first statement (SQLITE_NOTADB).
    bool open();
    bool openWithFlags(int sqliteOpenFlags);  // e.g. SQLITE_OPEN_READONLY
    bool close();
    bool isOpen() const { return db_ != nullptr; }
    const std::string& databasePath() const { return path_; }
    sqlite3* handle() const { return db_; }

    bool executeStatements(const std::string& sql);  // several ';'-separated statements
    // Positional `?` arguments must match the statement's parameter count; named arguments
    // must cover every `:name` of the statement (surplus keys are ignored).
    bool executeUpdate(const std::string& sql, const SqlArgs& args = {});
    bool executeUpdate(const std::string& sql, const SqlNamedArgs& args);
    // Makes brace lists such as {} or {"a", "b"} mean positional arguments.
    bool executeUpdate(const std::string& sql, std::initializer_list<SqlValue> args) {
        SqlArgs values;
        values.assign(args.begin(), args.end());
        return executeUpdate(sql, values);
    }
    // Binds `args` in place, by position (named parameters count in order of appearance).
    bool executeUpdateInPlace(const std::string& sql, std::initializer_list<SqlRef> args);
    // The first row is fetched before returning, so a statement with side effects (a PRAGMA)
    // has run even if no row is read, and an error of that first step gives none.
    ResultSetPtr executeQuery(const std::string& sql, const SqlArgs& args = {});
    ResultSetPtr executeQuery(const std::string& sql, const SqlNamedArgs& args);
    ResultSetPtr executeQuery(const std::string& sql, std::initializer_list<SqlValue> args) {
        SqlArgs values;
        values.assign(args.begin(), args.end());
        return executeQuery(sql, values);
    }

    // The first column of the first row; none when the query fails, has no row, or the value
    // is NULL.
    std::optional<int> intForQuery(const std::string& sql, const SqlArgs& args = {});
    std::optional<std::int64_t> longForQuery(const std::string& sql, const SqlArgs& args = {});
    std::optional<std::string> stringForQuery(const std::string& sql, const SqlArgs& args = {});

    bool beginTransaction();
    bool commit();
    bool rollback();
    bool inTransaction() const;

    bool tableExists(const std::string& table);  // case-insensitive, like SQLite names
    bool columnExists(const std::string& column, const std::string& table);
    // "PRAGMA index_info('" + name + "')" has at least one row; the name is not escaped.
    bool indexExists(const std::string& name);
    std::uint32_t userVersion();  // 0 when it cannot be read
    bool setUserVersion(std::uint32_t version);
    // Copies the write-ahead log into the file and empties it, waiting (up to the busy
    // timeout) for readers of older snapshots; false when it could not. A log keeps its size
    // until the last connection to the file closes, so a large write folds it in at once.
    bool truncateLog();
    std::int64_t lastInsertRowId() const;
    int changes() const;
    int lastErrorCode() const;
    // How long a statement waits for another connection's lock before it fails with
    // SQLITE_BUSY (10 s unless changed).
    void setBusyTimeout(int milliseconds);
    // Updates this connection could not store (a full disk, an I/O error, a read-only or damaged
    // file, another connection's lock held past the busy timeout), counted since it was opened: a
    // writer compares the count before and after its work to know that every one of its writes
    // reached the file.
    std::uint64_t storageFailures() const { return storageFailures_; }
    std::string lastErrorMessage() const;

  private:
    std::shared_ptr<PreparedStatement> prepare(const std::string& sql);
    std::shared_ptr<PreparedStatement> prepareBound(const std::string& sql, const SqlArgs& args);
    std::shared_ptr<PreparedStatement> prepareBound(const std::string& sql,
                                                    const SqlNamedArgs& args);
    bool runUpdate(const std::shared_ptr<PreparedStatement>& statement);
    ResultSetPtr startQuery(const std::shared_ptr<PreparedStatement>& statement);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, std::shared_ptr<PreparedStatement>> cache_;
    // Every statement handed out, cached or not, so close() can finalize them all.
    std::vector<std::weak_ptr<PreparedStatement>> live_;
    int lastErrorCode_ = SQLITE_OK;
    std::uint64_t storageFailures_ = 0;
    std::string lastErrorMessage_;
};

using DatabasePtr = std::shared_ptr<Database>;

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

    // The connection is opened by the constructor and reopened on demand after close(); when
    // it cannot be opened the block is not run.
    void inDatabase(const std::function<void(Database&)>& block);
    // Runs the block inside one transaction; setting `rollback` to true rolls it back,
    // otherwise it is committed when the block returns (a block that throws is rolled back).
    // Called from inside another transaction of this queue, it runs in a savepoint. True when
    // the block ran and its work was committed. A transaction that cannot begin (another
    // process holds the file's write lock past the busy timeout) does not run the block at
    // all, rather than run it statement by statement; that failure, like a commit that fails,
    // counts among the connection's storageFailures().
    bool inTransaction(const std::function<void(Database&, bool& rollback)>& block);

    void close();

    // Runs `hook` on the open connection now and on every connection opened later (after
    // close()), before any block: for what a connection must carry, such as an attached file.
    void setOpenHook(std::function<void(Database&)> hook);

  private:
    Database* connection();  // opens the connection on first use (or after close)

    std::string path_;
    int flags_;
    std::function<void(Database&)> openHook_;
    mutable std::recursive_mutex mutex_;
    std::unique_ptr<Database> db_;
};

using DatabaseQueuePtr = std::shared_ptr<DatabaseQueue>;

// Widens the page cache of a queue's connection for the life of the object, then restores
// it: for work that touches many pages of large indexes at random, which SQLite's default
// 2 MiB cache would read back from the file again and again.
class WidenedCache {
  public:
    WidenedCache(DatabaseQueue& queue, std::int64_t kibibytes);
    ~WidenedCache();
    WidenedCache(const WidenedCache&) = delete;
    WidenedCache& operator=(const WidenedCache&) = delete;

  private:
    DatabaseQueue& queue_;
    std::optional<std::int64_t> previous_;
};

}  // namespace quillon
