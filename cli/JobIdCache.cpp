// JobIdCache: reading and rewriting the vault's "job-ids.txt". Threads: as in JobIdCache.h.

#include "JobIdCache.h"

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/FileHelpers.h"
#include "foundation/PathComponents.h"
#include "vaults/Vault.h"

namespace quillon::cli {

namespace {

std::string cachePath(Vault& vault) {
    return appendingPathComponent(vault.directory(), "job-ids.txt");
}

}  // namespace

std::vector<std::string> JobIdCache::known(Vault& vault) {
    std::vector<std::string> ids;
    std::istringstream lines(FileHelpers::readFile(cachePath(vault)).value_or(""));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            ids.push_back(line);
        }
    }
    return ids;
}

void JobIdCache::remember(Vault& vault, const std::vector<std::string>& ids) {
    std::vector<std::string> all = known(vault);
    for (const std::string& id : ids) {
        // Ids come from the service: one line each, nothing else.
        if (id.empty() || id.find_first_of("\r\n") != std::string::npos) {
            continue;
        }
        all.erase(std::remove(all.begin(), all.end(), id), all.end());
        all.push_back(id);
    }
    if (all.size() > kKept) {
        all.erase(all.begin(), all.end() - static_cast<std::ptrdiff_t>(kKept));
    }
    std::string text;
    for (const std::string& id : all) {
        text += id + "\n";
    }
    (void)FileHelpers::writeFileAtomically(cachePath(vault), text);
}

}  // namespace quillon::cli
