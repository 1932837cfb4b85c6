// FetchStamp: reads of the fetch rows. Threads: as in FetchStamp.h.
#include "foundation/FetchStamp.h"

#include <cstdint>
#include <optional>
#include <string>

#include "interfaces/db/Database.h"

namespace quillon {

std::optional<std::int64_t> FetchStamp::lastFetch(DatabaseQueue& queue, const std::string& sql,
                                                  const SqlArgs& args) {
    std::optional<std::int64_t> result;
    queue.inDatabase([&](Database& database) {
        if (auto rows = database.executeQuery(sql, args); rows && rows->next()) {
            result = rows->dateForColumn("last_fetch");
        }
    });
    return result;
}

bool FetchStamp::anyFetch(DatabaseQueue& queue, const std::string& countSql, const SqlArgs& args) {
    int count = 0;
    queue.inDatabase(
        [&](Database& database) { count = database.intForQuery(countSql, args).value_or(0); });
    return count > 0;
}

}  // namespace quillon
