// VaultFixture: the vault tests' fixture: vaults known locally or only on the service.
// Threads: the test's thread only, as ModelFixture.
#pragma once

#include <memory>
#include <string>

#include "support/CaptureServer.h"
#include "support/ModelFixture.h"
#include "vaults/Vault.h"
#include "vaults/VaultCache.h"
#include "vaults/Vaults.h"

namespace quillon::testing {

// A fresh application directory, a simulator and one saved account whose regions are
// separate regions of that simulator ("local-1", ...).
class VaultFixture : public ModelFixture {
  protected:
    // A vault of "local-1" known only here, described by `data` with this name.
    VaultPtr vaultNamed(const std::string& name, JSON::Value data = JSON::Value::object()) {
        data["VaultName"] = name;
        return Vault::create(JSON(data), accountRegion);
    }

    // This account in a region `id` whose requests reach `server`, with a vault `vaultName`
    // there that only the test knows of.
    VaultPtr vaultAt(const CaptureServer& server, const std::string& vaultName,
                     const std::string& id = "capture-1") {
        Regions::testRegions()[id] =
            std::make_shared<Region>(id, "Capture", server.baseURL(), false);
        VaultPtr vault = Vault::create(AccountRegion::create(account, Regions::testRegions()[id]));
        vault->name = vaultName;
        return vault;
    }

    // Creates empty vaults on the service only.
    void seedVaults(const std::vector<std::string>& names, const std::string& regionId = "local-1",
                    long archives = 0, long size = 1) {
        for (const std::string& name : names) {
            sim.seed({{"region", regionId}, {"vault", name}, {"count", archives}, {"size", size}});
        }
    }

    // The stored list position of a vault of "local-1"; -1 when it has no row.
    std::int64_t position(const std::string& name) {
        return queryInt("SELECT position FROM vaults WHERE name = ? AND region = 'local-1'",
                        {name});
    }

    ErrorPtr sync(const AccountRegionPtr& target) {
        return await([&](auto done) { target->vaults().sync(done); });
    }
};

}  // namespace quillon::testing
