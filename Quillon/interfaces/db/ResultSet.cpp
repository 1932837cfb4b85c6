// ResultSet: stepping rows and reading columns by name or index. Threads: as in Database.h; a
// result set lives within the queue block that produced it.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Error.h"
#include "interfaces/db/Database.h"
#include "interfaces/db/PreparedStatement.h"

namespace quillon {

namespace {

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

ResultSet::ResultSet(std::shared_ptr<PreparedStatement> statement, int firstStep)
    : statement_(std::move(statement)), pendingStep_(firstStep) {
    sqlite3_stmt* raw = statement_->get();
    int count = sqlite3_column_count(raw);
    columnCount_ = count;
    for (int i = 0; i < count; ++i) {
        const char* name = sqlite3_column_name(raw, i);
        if (name != nullptr) {
            columns_.try_emplace(lowercased(name), i);
        }
    }
}

ResultSet::~ResultSet() {
    close();
}

bool ResultSet::next() {
    if (!statement_ || statement_->get() == nullptr) {
        onRow_ = false;
        return false;
    }
    int rc;
    if (!started_) {
        started_ = true;
        rc = pendingStep_;
    } else {
        rc = sqlite3_step(statement_->get());
    }
    onRow_ = rc == SQLITE_ROW;
    if (!onRow_) {
        // Exhausted (or failed): hand the statement back at once so it can be reused.
        close();
    }
    return onRow_;
}

void ResultSet::close() {
    if (statement_) {
        statement_->release();
        statement_.reset();
    }
    onRow_ = false;
}

sqlite3_stmt* ResultSet::row() const {
    if (!onRow_ || !statement_) {
        return nullptr;
    }
    return statement_->get();
}

int ResultSet::columnCount() const {
    return columnCount_;
}

int ResultSet::columnIndex(const std::string& name) const {
    auto found = columns_.find(lowercased(name));
    return found == columns_.end() ? -1 : found->second;
}

sqlite3_stmt* ResultSet::rowWithColumn(int index) const {
    return index >= 0 && index < columnCount_ ? row() : nullptr;
}

bool ResultSet::columnIsNull(int index) const {
    sqlite3_stmt* raw = rowWithColumn(index);
    return raw == nullptr || sqlite3_column_type(raw, index) == SQLITE_NULL;
}

bool ResultSet::columnIsNull(const std::string& name) const {
    return columnIsNull(columnIndex(name));
}

std::optional<std::string> ResultSet::stringForColumn(int index) const {
    if (columnIsNull(index)) {
        return std::nullopt;
    }
    sqlite3_stmt* raw = row();
    const auto* text = sqlite3_column_text(raw, index);
    int size = sqlite3_column_bytes(raw, index);
    if (text == nullptr) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::string_view ResultSet::textForColumn(int index) const {
    // Read a row at a time over millions of rows: no call beyond the two that fetch the text
    // (NULL gives no text).
    sqlite3_stmt* raw = rowWithColumn(index);
    const auto* text = raw != nullptr ? sqlite3_column_text(raw, index) : nullptr;
    if (text == nullptr) {
        return {};
    }
    return {reinterpret_cast<const char*>(text),
            static_cast<std::size_t>(sqlite3_column_bytes(raw, index))};
}

std::optional<std::string> ResultSet::stringForColumn(const std::string& name) const {
    return stringForColumn(columnIndex(name));
}

std::int64_t ResultSet::longForColumn(int index) const {
    // SQLite reads NULL as 0.
    sqlite3_stmt* raw = rowWithColumn(index);
    return raw != nullptr ? sqlite3_column_int64(raw, index) : 0;
}

std::int64_t ResultSet::longForColumn(const std::string& name) const {
    return longForColumn(columnIndex(name));
}

int ResultSet::intForColumn(const std::string& name) const {
    return static_cast<int>(longForColumn(name));
}

bool ResultSet::boolForColumn(const std::string& name) const {
    return longForColumn(name) != 0;
}

double ResultSet::doubleForColumn(const std::string& name) const {
    int index = columnIndex(name);
    if (columnIsNull(index)) {
        return 0.0;
    }
    return sqlite3_column_double(row(), index);
}

std::optional<std::int64_t> ResultSet::dateForColumn(const std::string& name) const {
    int index = columnIndex(name);
    if (columnIsNull(index)) {
        return std::nullopt;
    }
    return sqlite3_column_int64(row(), index);
}

std::optional<Bytes> ResultSet::dataForColumn(const std::string& name) const {
    int index = columnIndex(name);
    if (columnIsNull(index)) {
        return std::nullopt;
    }
    sqlite3_stmt* raw = row();
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(raw, index));
    int size = sqlite3_column_bytes(raw, index);
    if (data == nullptr || size <= 0) {
        return Bytes{};
    }
    return Bytes(data, data + size);
}

}  // namespace quillon
