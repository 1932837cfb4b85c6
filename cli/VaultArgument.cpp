// VaultArgument: the local vault or a new one of that name. Threads: as in VaultArgument.h.

#include "VaultArgument.h"

#include "CliContext.h"
#include "vaults/ValidationError.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

VaultPtr vaultNamed(const AccountRegionPtr& accountRegion, const std::string& name) {
    if (VaultPtr known = accountRegion->vaults().get(name)) {
        return known;
    }
    VaultPtr vault = Vault::create(accountRegion);
    vault->name = name;
    return vault;
}

VaultPtr validVaultNamed(CliContext& context, const std::string& name) {
    try {
        Vault::validateName(name);
    } catch (const ValidationError& error) {
        context.usageError(error.what());
    }
    return vaultNamed(context.accountRegion(), name);
}

}  // namespace quillon::cli
