// VaultArgument: the checked name, the local vault or a new one of that name. Threads: as in
// VaultArgument.h.

#include "VaultArgument.h"

#include <string>

#include "CliContext.h"
#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

const std::string& checkedVaultName(CliContext& context, const std::string& name) {
    // The path builder holds the naming rule: what it refuses would never be sent.
    if (ErrorPtr refusal = ApiPath::account().vault(name).error()) {
        context.usageError(refusal->localizedDescription());
    }
    return name;
}

VaultPtr localVaultNamed(CliContext& context, const std::string& name) {
    return context.accountRegion()->vaults().get(checkedVaultName(context, name));
}

VaultPtr vaultNamed(CliContext& context, const std::string& name) {
    if (VaultPtr known = localVaultNamed(context, name)) {
        return known;
    }
    VaultPtr vault = Vault::create(context.accountRegion());
    vault->name = name;
    return vault;
}

}  // namespace quillon::cli
