// ActingAccount: accounts from the environment or an AWS profile, the conventional region and
// a one-off endpoint. Threads: as in ActingAccount.h.

#include "ActingAccount.h"

#include <cstdlib>

#include "accounts/AwsSharedConfig.h"
#include "accounts/Regions.h"
#include "interfaces/http/HttpTrace.h"

namespace quillon::cli {

namespace {

constexpr const char* kFallbackRegion = "us-east-1";

std::string profileOf(const AccountPtr& account) {
    if (!account->useKeychain) {
        return account->credentialsProfile.empty() ? account->name : account->credentialsProfile;
    }
    return AwsSharedConfig::profileName();
}

}  // namespace

AccountPtr ActingAccount::fromEnvironment() {
    if (auto credentials = AwsSharedConfig::environmentCredentials()) {
        AccountPtr account = Account::create();
        account->name = "environment";
        account->accessKey = credentials->accessKey;
        account->setSecret(credentials->secret);
        account->sessionToken = credentials->sessionToken;
        account->writeable = false;
        return account;
    }
    const char* profile = std::getenv("AWS_PROFILE");
    if (profile == nullptr || *profile == '\0') {
        return nullptr;
    }
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
    return account;
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

AccountRegionPtr ActingAccount::atEndpoint(const AccountPtr& account, const std::string& url,
                                           const std::string& regionId) {
    std::string host = url;
    if (host.back() != '/') {
        host += '/';
    }
    return AccountRegion::create(
        account, std::make_shared<Region>(regionId, "Endpoint " + HttpTrace::redactedURL(url), host,
                                          false, regionId));
}

}  // namespace quillon::cli
