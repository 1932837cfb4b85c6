// Database: opening, statement preparation and caching, binding, updates and queries.
// Threads: as in Database.h (one connection, used under its queue's lock).
#include "interfaces/db/Database.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "foundation/FileHelpers.h"
#include "interfaces/db/PreparedStatement.h"

namespace quillon {

namespace {

constexpr int kBusyTimeoutMilliseconds = 10000;
// Dynamic SQL texts (PRAGMA index_info('…'), generated DDL) would otherwise grow the cache
// without bound; past this size idle statements are dropped.
constexpr std::size_t kMaxCachedStatements = 200;

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool bindValue(sqlite3_stmt* statement, int index, const SqlValue& value) {
    int rc = std::visit(
        [&](const auto& v) -> int {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                return sqlite3_bind_null(statement, index);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return sqlite3_bind_int64(statement, index, v);
            } else if constexpr (std::is_same_v<T, double>) {
                return sqlite3_bind_double(statement, index, v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return sqlite3_bind_text64(statement, index, v.data(), v.size(), SQLITE_TRANSIENT,
                                           SQLITE_UTF8);
            } else {
                if (v.empty()) {
                    return sqlite3_bind_zeroblob(statement, index, 0);
                }
                return sqlite3_bind_blob64(statement, index, v.data(), v.size(), SQLITE_TRANSIENT);
            }
        },
        value);
    return rc == SQLITE_OK;
}

}  // namespace

Database::Database(std::string path) : path_(std::move(path)) {}

Database::~Database() {
    close();
}

bool Database::open() {
    return openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

bool Database::openWithFlags(int sqliteOpenFlags) {
    if (db_ != nullptr) {
        return true;
    }
    // A database holds the user's catalogue: a new file is created for its owner alone (the
    // journal and WAL files SQLite adds take the database file's mode).
    if ((sqliteOpenFlags & SQLITE_OPEN_CREATE) != 0 && path_ != ":memory:" && !path_.empty()) {
        FileHelpers::createFileIfMissing(path_, 0600);
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path_.c_str(), &db, sqliteOpenFlags, nullptr);
    if (rc != SQLITE_OK) {
        lastErrorCode_ = rc;
        lastErrorMessage_ = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
    db_ = db;
    lastErrorCode_ = SQLITE_OK;
    lastErrorMessage_.clear();
    return true;
}

bool Database::close() {
    if (db_ == nullptr) {
        return true;
    }
    cache_.clear();
    for (const auto& weak : live_) {
        if (auto statement = weak.lock()) {
            statement->finalize();
        }
    }
    live_.clear();
    int rc = sqlite3_close(db_);
    if (rc != SQLITE_OK) {
        // Should not happen: every statement of this connection went through prepare().
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    return rc == SQLITE_OK;
}

std::shared_ptr<PreparedStatement> Database::prepare(const std::string& sql) {
    if (db_ == nullptr) {
        lastErrorCode_ = SQLITE_MISUSE;
        lastErrorMessage_ = "database is not open";
        return nullptr;
    }
    if (auto found = cache_.find(sql);
        found != cache_.end() && !found->second->inUse() && found->second->get() != nullptr) {
        found->second->setInUse(true);
        return found->second;
    }
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size() + 1), &raw, nullptr);
    if (rc != SQLITE_OK || raw == nullptr) {
        lastErrorCode_ = rc != SQLITE_OK ? rc : SQLITE_MISUSE;
        lastErrorMessage_ = rc != SQLITE_OK ? sqlite3_errmsg(db_) : "empty statement";
        sqlite3_finalize(raw);
        return nullptr;
    }
    auto statement = std::make_shared<PreparedStatement>(raw, sql);
    statement->setInUse(true);
    std::erase_if(live_, [](const auto& weak) { return weak.expired(); });
    live_.push_back(statement);
    if (cache_.find(sql) == cache_.end()) {
        if (cache_.size() >= kMaxCachedStatements) {
            std::erase_if(cache_, [](const auto& entry) { return !entry.second->inUse(); });
        }
        cache_.emplace(sql, statement);
    }
    return statement;
}

std::shared_ptr<PreparedStatement> Database::prepareBound(const std::string& sql,
                                                          const SqlArgs& args) {
    auto statement = prepare(sql);
    if (!statement) {
        return nullptr;
    }
    sqlite3_stmt* raw = statement->get();
    int count = sqlite3_bind_parameter_count(raw);
    if (count != static_cast<int>(args.size())) {
        lastErrorCode_ = SQLITE_RANGE;
        lastErrorMessage_ = "the statement takes " + std::to_string(count) + " arguments, " +
                            std::to_string(args.size()) + " given";
        statement->release();
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        if (!bindValue(raw, i + 1, args[static_cast<std::size_t>(i)])) {
            lastErrorCode_ = sqlite3_errcode(db_);
            lastErrorMessage_ = sqlite3_errmsg(db_);
            statement->release();
            return nullptr;
        }
    }
    return statement;
}

std::shared_ptr<PreparedStatement> Database::prepareBound(const std::string& sql,
                                                          const SqlNamedArgs& args) {
    auto statement = prepare(sql);
    if (!statement) {
        return nullptr;
    }
    sqlite3_stmt* raw = statement->get();
    int count = sqlite3_bind_parameter_count(raw);
    for (int i = 1; i <= count; ++i) {
        const char* parameter = sqlite3_bind_parameter_name(raw, i);
        // Skip the ':' (or '@' / '$'); a nameless '?' cannot be bound by name.
        auto found = parameter != nullptr ? args.find(parameter + 1) : args.end();
        if (found == args.end()) {
            lastErrorCode_ = SQLITE_RANGE;
            lastErrorMessage_ = std::string("no value for parameter ") +
                                (parameter != nullptr ? parameter : std::to_string(i));
            statement->release();
            return nullptr;
        }
        if (!bindValue(raw, i, found->second)) {
            lastErrorCode_ = sqlite3_errcode(db_);
            lastErrorMessage_ = sqlite3_errmsg(db_);
            statement->release();
            return nullptr;
        }
    }
    return statement;
}

bool Database::executeUpdateInPlace(const std::string& sql, std::initializer_list<SqlRef> args) {
    auto statement = prepare(sql);
    if (!statement) {
        return false;
    }
    sqlite3_stmt* raw = statement->get();
    if (sqlite3_bind_parameter_count(raw) != static_cast<int>(args.size())) {
        lastErrorCode_ = SQLITE_RANGE;
        lastErrorMessage_ = "the statement takes " +
                            std::to_string(sqlite3_bind_parameter_count(raw)) + " arguments, " +
                            std::to_string(args.size()) + " given";
        statement->release();
        return false;
    }
    int index = 0;
    for (const SqlRef& arg : args) {
        ++index;
        int rc = SQLITE_OK;
        if (const auto* integer = std::get_if<std::int64_t>(&arg)) {
            rc = sqlite3_bind_int64(raw, index, *integer);
        } else if (const auto* text = std::get_if<std::string_view>(&arg)) {
            rc = sqlite3_bind_text64(raw, index, text->data(), text->size(), SQLITE_STATIC,
                                     SQLITE_UTF8);
        } else {
            rc = sqlite3_bind_null(raw, index);
        }
        if (rc != SQLITE_OK) {
            lastErrorCode_ = sqlite3_errcode(db_);
            lastErrorMessage_ = sqlite3_errmsg(db_);
            statement->release();
            return false;
        }
    }
    return runUpdate(statement);
}

bool Database::runUpdate(const std::shared_ptr<PreparedStatement>& statement) {
    if (!statement) {
        return false;
    }
    int rc;
    do {
        rc = sqlite3_step(statement->get());
    } while (rc == SQLITE_ROW);
    if (rc != SQLITE_DONE) {
        lastErrorCode_ = sqlite3_errcode(db_);
        lastErrorMessage_ = sqlite3_errmsg(db_);
        switch (lastErrorCode_ & 0xff) {
            case SQLITE_BUSY:
            case SQLITE_LOCKED:
            case SQLITE_FULL:
            case SQLITE_IOERR:
            case SQLITE_READONLY:
            case SQLITE_CORRUPT:
            case SQLITE_CANTOPEN:
            case SQLITE_NOMEM:
                ++storageFailures_;
                break;
            default:
                break;
        }
    } else {
        lastErrorCode_ = SQLITE_OK;
        lastErrorMessage_.clear();
    }
    statement->release();
    return rc == SQLITE_DONE;
}

ResultSetPtr Database::startQuery(const std::shared_ptr<PreparedStatement>& statement) {
    if (!statement) {
        return nullptr;
    }
    int rc = sqlite3_step(statement->get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        lastErrorCode_ = sqlite3_errcode(db_);
        lastErrorMessage_ = sqlite3_errmsg(db_);
        statement->release();
        return nullptr;
    }
    lastErrorCode_ = SQLITE_OK;
    lastErrorMessage_.clear();
    return ResultSetPtr(new ResultSet(statement, rc));
}

bool Database::executeStatements(const std::string& sql) {
    if (db_ == nullptr) {
        lastErrorCode_ = SQLITE_MISUSE;
        lastErrorMessage_ = "database is not open";
        return false;
    }
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    lastErrorCode_ = rc;
    lastErrorMessage_ = message != nullptr ? message : "";
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

bool Database::executeUpdate(const std::string& sql, const SqlArgs& args) {
    return runUpdate(prepareBound(sql, args));
}

bool Database::executeUpdate(const std::string& sql, const SqlNamedArgs& args) {
    return runUpdate(prepareBound(sql, args));
}

ResultSetPtr Database::executeQuery(const std::string& sql, const SqlArgs& args) {
    return startQuery(prepareBound(sql, args));
}

ResultSetPtr Database::executeQuery(const std::string& sql, const SqlNamedArgs& args) {
    return startQuery(prepareBound(sql, args));
}

std::optional<int> Database::intForQuery(const std::string& sql, const SqlArgs& args) {
    auto value = longForQuery(sql, args);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

std::optional<std::int64_t> Database::longForQuery(const std::string& sql, const SqlArgs& args) {
    auto rs = executeQuery(sql, args);
    if (!rs || !rs->next() || rs->columnIsNull(0)) {
        return std::nullopt;
    }
    return rs->longForColumn(0);
}

std::optional<std::string> Database::stringForQuery(const std::string& sql, const SqlArgs& args) {
    auto rs = executeQuery(sql, args);
    if (!rs || !rs->next()) {
        return std::nullopt;
    }
    return rs->stringForColumn(0);
}

void Database::setBusyTimeout(int milliseconds) {
    if (db_ != nullptr) {
        sqlite3_busy_timeout(db_, milliseconds);
    }
}

bool Database::beginTransaction() {
    return executeUpdate("BEGIN EXCLUSIVE TRANSACTION");
}

bool Database::commit() {
    return executeUpdate("COMMIT TRANSACTION");
}

bool Database::rollback() {
    return executeUpdate("ROLLBACK TRANSACTION");
}

bool Database::inTransaction() const {
    return db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
}

bool Database::tableExists(const std::string& table) {
    auto rs =
        executeQuery("SELECT name FROM sqlite_master WHERE type = 'table' AND lower(name) = ?",
                     {lowercased(table)});
    return rs && rs->next();
}

bool Database::columnExists(const std::string& column, const std::string& table) {
    auto rs = executeQuery("PRAGMA table_info('" + table + "')");
    if (!rs) {
        return false;
    }
    std::string wanted = lowercased(column);
    while (rs->next()) {
        if (lowercased(rs->stringForColumn("name").value_or("")) == wanted) {
            return true;
        }
    }
    return false;
}

bool Database::indexExists(const std::string& name) {
    auto rs = executeQuery("PRAGMA index_info('" + name + "')");
    bool found = rs && rs->next();
    if (rs) {
        rs->close();
    }
    return found;
}

bool Database::truncateLog() {
    // The first column is 1 when the checkpoint could not finish (busy).
    auto busy = longForQuery("PRAGMA wal_checkpoint(TRUNCATE)");
    return busy.has_value() && *busy == 0;
}

std::uint32_t Database::userVersion() {
    return static_cast<std::uint32_t>(longForQuery("PRAGMA user_version").value_or(0));
}

bool Database::setUserVersion(std::uint32_t version) {
    // The stored field is a signed 32-bit integer; SQLite keeps the bit pattern.
    return executeUpdate("PRAGMA user_version = " +
                         std::to_string(static_cast<std::int32_t>(version)));
}

std::int64_t Database::lastInsertRowId() const {
    return db_ != nullptr ? sqlite3_last_insert_rowid(db_) : 0;
}

int Database::changes() const {
    return db_ != nullptr ? sqlite3_changes(db_) : 0;
}

int Database::lastErrorCode() const {
    return lastErrorCode_;
}

std::string Database::lastErrorMessage() const {
    return lastErrorMessage_;
}

}  // namespace quillon
