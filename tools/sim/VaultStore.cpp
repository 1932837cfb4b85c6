// VaultStore: vaults, archives, tags and policies per region. Threads: as in VaultStore.h.
#include "sim/VaultStore.h"

#include <utility>

#include "sim/IsoTime.h"

namespace quillon::sim {

VaultStore::VaultStore(std::string accountId) : accountId_(std::move(accountId)) {}

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

VaultInfo VaultStore::info(const std::string& region, const std::string& name,
                           const Vault& vault) const {
    return {name,
            arn(region, name),
            vault.creationDate,
            vault.lastInventoryDate,
            vault.archives.size(),
            vault.sizeInBytes};
}

bool VaultStore::create(const std::string& region, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto& vaults = regions_[region].vaults;
    if (vaults.count(name)) {
        return false;
    }
    vaults[name].creationDate = IsoTime::now();
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
    if (!vault->archives.empty()) {
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

std::optional<std::vector<std::shared_ptr<const ArchiveRecord>>> VaultStore::takeInventory(
    const std::string& region, const std::string& vaultName, const std::string& date) {
    std::lock_guard lock(mutex_);
    Vault* vault = find(region, vaultName);
    if (!vault) {
        return std::nullopt;
    }
    vault->lastInventoryDate = date;
    std::vector<std::shared_ptr<const ArchiveRecord>> archives;
    archives.reserve(vault->archives.size());
    for (const auto& [sequence, archive] : vault->archives) {
        archives.push_back(archive);
    }
    return archives;
}

}  // namespace quillon::sim
