// VaultArgument: the vault a command names, known locally or not.
// Threads: main thread, like the command that asks.
#pragma once

#include <string>

#include "accounts/AccountRegion.h"
#include "vaults/Vault.h"

namespace quillon::cli {

class CliContext;

// The vault a command names: the one stored locally, else a new object of that name. Calls to
// the service need no local copy of the vault list; the service says whether the vault exists.
VaultPtr vaultNamed(const AccountRegionPtr& accountRegion, const std::string& name);

// The same in the context's region, after checking the name: a bad name is a usage error and
// never reaches the service.
VaultPtr validVaultNamed(CliContext& context, const std::string& name);

}  // namespace quillon::cli
