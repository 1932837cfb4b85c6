// VaultStore: vaults, archives, tags, policies and daily inventories per region.
// Threads: as in VaultStore.h.
#include "sim/VaultStore.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/IsoTime.h"
#include "sim/SimClock.h"

namespace quillon::sim {

VaultStore::VaultStore(std::string accountId, const SimClock& clock, bool dailyInventory)
    : accountId_(std::move(accountId)), clock_(clock), daily_(dailyInventory) {}

std::string VaultStore::arn(const std::string& region, const std::string& vault) const {
    return "arn:aws:glacier:" + region + ":" + accountId_ + ":vaults/" + vault;
}

const VaultStore::Vault* VaultStore::find(const std::string& region,
                                          const std::string& name) const {
    auto r = regions_.find(region);
    if (r == regions_.end()) {
        return nullptr;
    }
    auto v = r->second.vaults.find(name);
    return v == r->second.vaults.end() ? nullptr : &v->second;
}

VaultStore::Vault* VaultStore::find(const std::string& region, const std::string& name) {
    return const_cast<Vault*>(std::as_const(*this).find(region, name));
}

void VaultStore::catchUp(const Vault& vault) const {
    if (!daily_ || !vault.writtenSinceInventory) {
        return;
    }
    TimePoint midnight = IsoTime::midnightOf(clock_.now());
    if (vault.lastWrite >= midnight) {
        return;
    }
    vault.inventory = snapshot(vault, midnight);
    vault.writtenSinceInventory = false;
}

std::shared_ptr<const VaultInventory> VaultStore::snapshot(const Vault& vault, TimePoint date) {
    auto inventory = std::make_shared<VaultInventory>();
    inventory->date = IsoTime::format(date);
    inventory->archives.reserve(vault.archives.size());
    for (const auto& [sequence, archive] : vault.archives) {
        inventory->archives.push_back(archive);
    }
    inventory->sizeInBytes = vault.sizeInBytes;
    return inventory;
}

void VaultStore::noteWrite(Vault& vault) {
    catchUp(vault);
    vault.writtenSinceInventory = true;
    vault.lastWrite = clock_.now();
}

VaultInfo VaultStore::info(const std::string& region, const std::string& name,
                           const Vault& vault) const {
    if (!daily_) {
        return {name,
                arn(region, name),
                vault.creationDate,
                vault.lastInventoryDate,
                vault.archives.size(),
                vault.sizeInBytes};
    }
    catchUp(vault);
    const auto& inventory = vault.inventory;
    return {name,
            arn(region, name),
            vault.creationDate,
            inventory ? inventory->date : "",
            inventory ? inventory->archives.size() : 0,
            inventory ? inventory->sizeInBytes : 0};
}

bool VaultStore::create(const std::string& region, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto& vaults = regions_[region].vaults;
    if (vaults.count(name)) {
        return false;
    }
    vaults[name].creationDate = IsoTime::format(clock_.now());
    return true;
}

bool VaultStore::exists(const std::string& region, const std::string& name) const {
    std::lock_guard lock(mutex_);
    return find(region, name) != nullptr;
}

std::optional<VaultInfo> VaultStore::describe(const std::string& region,
                                              const std::string& name) const {
    std::lock_guard lock(mutex_);
    const Vault* vault = find(region, name);
    if (!vault) {
        return std::nullopt;
    }
    return info(region, name, *vault);
}

std::vector<VaultInfo> VaultStore::list(const std::string& region, const std::string& from,
                                        size_t limit, std::string& next) const {
    std::lock_guard lock(mutex_);
    std::vector<VaultInfo> page;
    next.clear();
    auto r = regions_.find(region);
    if (r == regions_.end()) {
        return page;
    }
    for (auto it = r->second.vaults.lower_bound(from); it != r->second.vaults.end(); ++it) {
        if (page.size() == limit) {
            next = it->first;
            break;
        }
        page.push_back(info(region, it->first, it->second));
    }
    return page;
}

VaultStore::Outcome VaultStore::remove(const std::string& region, const std::string& name) {
    std::lock_guard lock(mutex_);
    Vault* vault = find(region, name);
    if (!vault) {
        return Outcome::NoVault;
    }
    catchUp(*vault);
    bool listed = daily_ && (vault->writtenSinceInventory ||
                             (vault->inventory && !vault->inventory->archives.empty()));
    if (!vault->archives.empty() || listed) {
        return Outcome::NotEmpty;
    }
    regions_[region].vaults.erase(name);
    return Outcome::Done;
}

std::optional<std::map<std::string, std::string>> VaultStore::tags(const std::string& region,
                                                                   const std::string& name) const {
    std::lock_guard lock(mutex_);
    const Vault* vault = find(region, name);
    if (!vault) {
        return std::nullopt;
    }
    return vault->tags;
}

VaultStore::Outcome VaultStore::addTags(const std::string& region, const std::string& name,
                                        const std::map<std::string, std::string>& tags) {
    std::lock_guard lock(mutex_);
    Vault* vault = find(region, name);
    if (!vault) {
        return Outcome::NoVault;
    }
    auto merged = vault->tags;
    for (const auto& [key, value] : tags) {
        merged[key] = value;
    }
    if (merged.size() > kMaxTags) {
        return Outcome::LimitExceeded;
    }
    vault->tags = std::move(merged);
    return Outcome::Done;
}

VaultStore::Outcome VaultStore::removeTags(const std::string& region, const std::string& name,
                                           const std::vector<std::string>& keys) {
    std::lock_guard lock(mutex_);
    Vault* vault = find(region, name);
    if (!vault) {
        return Outcome::NoVault;
    }
    for (const auto& key : keys) {
        vault->tags.erase(key);
    }
    return Outcome::Done;
}

RetrievalPolicy VaultStore::policy(const std::string& region) const {
    std::lock_guard lock(mutex_);
    auto r = regions_.find(region);
    return r == regions_.end() ? RetrievalPolicy{} : r->second.policy;
}

void VaultStore::setPolicy(const std::string& region, RetrievalPolicy policy) {
    std::lock_guard lock(mutex_);
    regions_[region].policy = std::move(policy);
}

bool VaultStore::addArchive(const std::string& region, const std::string& vaultName,
                            std::shared_ptr<const ArchiveRecord> archive) {
    std::lock_guard lock(mutex_);
    Vault* vault = find(region, vaultName);
    if (!vault) {
        return false;
    }
    noteWrite(*vault);
    uint64_t sequence = vault->nextSequence++;
    vault->sizeInBytes += archive->blob->size();
    vault->sequenceOf[archive->id] = sequence;
    vault->archives[sequence] = std::move(archive);
    return true;
}

VaultStore::Outcome VaultStore::removeArchive(const std::string& region,
                                              const std::string& vaultName, const std::string& id) {
    std::lock_guard lock(mutex_);
    Vault* vault = find(region, vaultName);
    if (!vault) {
        return Outcome::NoVault;
    }
    auto it = vault->sequenceOf.find(id);
    if (it == vault->sequenceOf.end()) {
        return Outcome::NotFound;
    }
    noteWrite(*vault);
    auto archive = vault->archives.find(it->second);
    vault->sizeInBytes -= archive->second->blob->size();
    vault->archives.erase(archive);
    vault->sequenceOf.erase(it);
    return Outcome::Done;
}

std::shared_ptr<const ArchiveRecord> VaultStore::archive(const std::string& region,
                                                         const std::string& vaultName,
                                                         const std::string& id) const {
    std::lock_guard lock(mutex_);
    const Vault* vault = find(region, vaultName);
    if (!vault) {
        return nullptr;
    }
    auto it = vault->sequenceOf.find(id);
    return it == vault->sequenceOf.end() ? nullptr : vault->archives.at(it->second);
}

std::optional<std::shared_ptr<const VaultInventory>> VaultStore::takeInventory(
    const std::string& region, const std::string& vaultName) {
    std::lock_guard lock(mutex_);
    Vault* vault = find(region, vaultName);
    if (!vault) {
        return std::nullopt;
    }
    if (daily_) {
        catchUp(*vault);
        return vault->inventory;
    }
    auto inventory = snapshot(*vault, clock_.now());
    vault->lastInventoryDate = inventory->date;
    return inventory;
}

}  // namespace quillon::sim
