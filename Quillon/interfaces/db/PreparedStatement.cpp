// PreparedStatement: resetting and finalizing the statement. Threads: as in PreparedStatement.h.
#include "interfaces/db/PreparedStatement.h"

#include <string>
#include <utility>

namespace quillon {

PreparedStatement::PreparedStatement(sqlite3_stmt* statement, std::string sql)
    : statement_(statement), sql_(std::move(sql)) {}

PreparedStatement::~PreparedStatement() {
    finalize();
}

void PreparedStatement::release() {
    if (statement_ != nullptr) {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    inUse_ = false;
}

void PreparedStatement::finalize() {
    if (statement_ != nullptr) {
        sqlite3_finalize(statement_);
        statement_ = nullptr;
    }
    inUse_ = false;
}

}  // namespace quillon
