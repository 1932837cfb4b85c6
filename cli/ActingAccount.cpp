// ActingAccount: accounts from the environment or an AWS profile, the conventional region and
// a one-off endpoint. Threads: as in ActingAccount.h.

#include "ActingAccount.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/AwsSharedConfig.h"
#include "accounts/Region.h"
#include "accounts/Regions.h"
#include "settings/Diagnostics.h"

namespace quillon::cli {

namespace {

constexpr const char* kFallbackRegion = "us-east-1";

std::string profileOf(const AccountPtr& account) {
    if (!account->useKeychain) {
        return account->credentialsProfile.empty() ? account->name : account->credentialsProfile;
    }
    return AwsSharedConfig::profileName();
}

// Credentials that are not stored act under an id of their own, below 0 so that it never meets
// a stored account's, and the same for the same access key: their vault lists, journals and
// inventories live in that account directory from one run to the next, as a stored account's do.
void giveLocalIdentity(Account& account) {
    std::uint32_t hash = 2166136261U;  // FNV-1a
    for (unsigned char c : account.accessKey) {
        hash = (hash ^ c) * 16777619U;
    }
    account.id = -1 - static_cast<std::int64_t>(hash & 0x3fffffffU);
}

}  // namespace

AccountPtr ActingAccount::fromProfile(const std::string& profile) {
    auto credentials = AwsSharedConfig::profileCredentials(profile);
    if (!credentials) {
        return nullptr;
    }
    AccountPtr account = Account::create();
    account->name = profile;
    account->accessKey = credentials->accessKey;
    account->useKeychain = false;
    account->credentialsProfile = profile;
    account->sessionToken = credentials->sessionToken;
    account->writeable = false;
    giveLocalIdentity(*account);
    return account;
}

AccountPtr ActingAccount::fromEnvironment() {
    if (auto credentials = AwsSharedConfig::environmentCredentials()) {
        AccountPtr account = Account::create();
        account->name = "environment";
        account->accessKey = credentials->accessKey;
        account->setSecret(credentials->secret);
        account->sessionToken = credentials->sessionToken;
        account->writeable = false;
        giveLocalIdentity(*account);
        return account;
    }
    // $AWS_PROFILE, else "default", as the AWS CLI reads them.
    return fromProfile(AwsSharedConfig::profileName());
}

std::string ActingAccount::conventionalRegionId(const AccountPtr& account) {
    return AwsSharedConfig::configuredRegion(profileOf(account)).value_or(kFallbackRegion);
}

AccountRegionPtr ActingAccount::defaultRegion(const AccountPtr& account) {
    std::vector<AccountRegionPtr> all = account->getAccountRegions();
    for (const AccountRegionPtr& accountRegion : all) {
        if (accountRegion->selected()) {
            return accountRegion;
        }
    }
    for (const std::string& id : {conventionalRegionId(account), std::string(kFallbackRegion)}) {
        if (AccountRegionPtr accountRegion = account->accountRegion(id)) {
            return accountRegion;
        }
        if (!account->writeable) {
            if (RegionPtr region = Regions::get(id)) {
                return AccountRegion::create(account, region);
            }
        }
    }
    return account->selectedAccountRegion();
}

std::string ActingAccount::endpoint(const AccountPtr& account) {
    return AwsSharedConfig::configuredEndpoint(profileOf(account)).value_or("");
}

AccountRegionPtr ActingAccount::atEndpoint(const AccountPtr& account, const std::string& url,
                                           const std::string& regionId) {
    std::string host = url;
    if (host.back() != '/') {
        host += '/';
    }
    return AccountRegion::create(
        account, std::make_shared<Region>(regionId, "Endpoint " + Diagnostics::redactedURL(url),
                                          host, false, regionId));
}

}  // namespace quillon::cli
