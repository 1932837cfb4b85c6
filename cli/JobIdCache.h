// JobIdCache: the ids of the jobs a vault started or listed lately, newest last, in
// "job-ids.txt" of the vault directory, so that completion offers them without a request. At
// most kKept ids stay.
// Threads: no state; the caller's (main) thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vaults/Vault.h"

namespace quillon::cli {

class JobIdCache {
  public:
    static constexpr std::size_t kKept = 50;

    JobIdCache() = delete;

    // Adds `ids` (those already there move to the end); failures to write are ignored: the
    // cache only serves completion.
    static void remember(Vault& vault, const std::vector<std::string>& ids);
    static std::vector<std::string> known(Vault& vault);
};

}  // namespace quillon::cli
