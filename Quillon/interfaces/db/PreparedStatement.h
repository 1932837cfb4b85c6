// PreparedStatement: one compiled SQLite statement owned for its connection's cache.
// Threads: not thread-safe; used under the lock of the connection's queue, like the connection.
#pragma once

#include <sqlite3.h>

#include <string>

namespace quillon {

// Owns one compiled SQLite statement. A statement is "in use" while a caller binds, steps or
// reads it; the connection's cache hands out only statements that are not in use.
class PreparedStatement {
  public:
    PreparedStatement(sqlite3_stmt* statement, std::string sql);
    ~PreparedStatement();
    PreparedStatement(const PreparedStatement&) = delete;
    PreparedStatement& operator=(const PreparedStatement&) = delete;

    sqlite3_stmt* get() const { return statement_; }
    const std::string& sql() const { return sql_; }
    bool inUse() const { return inUse_; }
    void setInUse(bool inUse) { inUse_ = inUse; }

    // Resets the statement and clears its bindings so it can run again; marks it unused.
    void release();
    // Finalizes the statement now (the connection is closing); get() is null afterwards.
    void finalize();

  private:
    sqlite3_stmt* statement_;
    std::string sql_;
    bool inUse_ = false;
};

}  // namespace quillon
