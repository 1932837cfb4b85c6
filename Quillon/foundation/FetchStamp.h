// FetchStamp: when a list was last loaded from the service, read from its fetch rows.
// Threads: any thread; the database queue serialises the reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "interfaces/db/Database.h"

namespace quillon {

// The rows ("vaults_fetch", "tags_fetch", the policy's "last_fetch") that say when a list was
// last loaded from the service.
class FetchStamp {
  public:
    // The "last_fetch" column of the first row of `sql`, if there is one.
    static std::optional<std::int64_t> lastFetch(DatabaseQueue& queue, const std::string& sql,
                                                 const SqlArgs& args);
    // Whether the count that `countSql` yields is above 0.
    static bool anyFetch(DatabaseQueue& queue, const std::string& countSql, const SqlArgs& args);
};

}  // namespace quillon
