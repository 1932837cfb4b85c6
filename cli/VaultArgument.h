// VaultArgument: the vault a command names, known locally or not, after checking its name.
// Threads: main thread, like the command that asks.
#pragma once

#include <string>

#include "vaults/Vault.h"

namespace quillon::cli {

class CliContext;

// The vault a command names in the context's region: the one stored locally, else a new object
// of that name. Calls to the service need no local copy of the vault list; the service says
// whether the vault exists. A name the service's paths refuse (the vault-name rules, "." and
// "..") is a usage error and never reaches the service.
VaultPtr vaultNamed(CliContext& context, const std::string& name);

// The name itself, checked by the same rule, for commands that need no vault object.
const std::string& checkedVaultName(CliContext& context, const std::string& name);

// The same, but only a vault of the local list; none when the list does not hold it.
VaultPtr localVaultNamed(CliContext& context, const std::string& name);

}  // namespace quillon::cli
