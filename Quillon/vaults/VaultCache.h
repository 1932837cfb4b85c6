// VaultCache: the process-wide vault objects by name, region and account.
// Threads: any thread; a mutex guards the map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace quillon {

class Vault;

// The process-wide vault objects keyed by name, region and account ("name.region.accountId"), so
// that the same vault asked for twice is the same object until the next complete sync.
// Guarded, because syncs of different accounts finish on different client threads.
class VaultCache {
  public:
    static VaultCache& shared();

    static std::string key(const std::string& name, const std::string& regionId,
                           std::int64_t accountId);

    std::shared_ptr<Vault> get(const std::string& key) const;
    void put(const std::string& key, std::shared_ptr<Vault> vault);
    void clear();
    std::size_t size() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Vault>> vaults_;
};

}  // namespace quillon
