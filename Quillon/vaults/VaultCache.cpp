// VaultCache: lookups and clearing under the lock. Threads: as in VaultCache.h.
#include "vaults/VaultCache.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "vaults/Vault.h"

namespace quillon {

VaultCache& VaultCache::shared() {
    static VaultCache cache;
    return cache;
}

std::string VaultCache::key(const std::string& name, const std::string& regionId,
                            std::int64_t accountId) {
    return name + "." + regionId + "." + std::to_string(accountId);
}

std::shared_ptr<Vault> VaultCache::get(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto found = vaults_.find(key);
    return found == vaults_.end() ? nullptr : found->second;
}

void VaultCache::put(const std::string& key, std::shared_ptr<Vault> vault) {
    std::lock_guard lock(mutex_);
    vaults_[key] = std::move(vault);
}

void VaultCache::clear() {
    std::map<std::string, std::shared_ptr<Vault>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(vaults_);
    }
    // The vaults are released outside the lock: a vault's destructor may release its account
    // region and with it more of the object graph.
}

std::size_t VaultCache::size() const {
    std::lock_guard lock(mutex_);
    return vaults_.size();
}

}  // namespace quillon
