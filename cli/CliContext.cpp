// CliContext: failing a command, and choosing its account and region. Threads: as in
// CliContext.h.

#include "CliContext.h"

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ActingAccount.h"
#include "CliExit.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AwsSharedConfig.h"
#include "accounts/Region.h"
#include "accounts/Regions.h"
#include "foundation/Error.h"
#include "settings/Preferences.h"
#include "settings/TransferSettings.h"

namespace quillon::cli {

CliContext::CliContext(std::ostream& out, std::ostream& err) : output_(options_, out, err) {}

void CliContext::fail(const Error& error) const {
    throw CliExit(CliExit::kFailure, error.localizedDescription());
}

void CliContext::fail(const ErrorPtr& error) const {
    if (!error) {
        fail(std::string("unknown error"));
    }
    fail(*error);
}

void CliContext::fail(const std::string& message) const {
    throw CliExit(CliExit::kFailure, message);
}

void CliContext::usageError(const std::string& message) const {
    throw CliExit(CliExit::kUsage, message);
}

std::shared_ptr<Account> CliContext::account() {
    if (!options_.profile.empty() && options_.account.empty()) {
        if (AccountPtr fromProfile = ActingAccount::fromProfile(options_.profile)) {
            return fromProfile;
        }
        fail("The profile \"" + options_.profile +
             "\" has no aws_access_key_id and aws_secret_access_key in " +
             AwsSharedConfig::credentialsFilePath() + " or " + AwsSharedConfig::configFilePath() +
             ".");
    }
    if (!options_.account.empty()) {
        AccountPtr account = Accounts::get(options_.account);
        if (!account) {
            fail("There is no account named \"" + options_.account +
                 "\". See the accounts with: quillon account list");
        }
        return account;
    }
    std::vector<AccountPtr> accounts = Accounts::all();
    if (accounts.empty()) {
        if (AccountPtr fromEnvironment = ActingAccount::fromEnvironment()) {
            return fromEnvironment;
        }
        fail(
            "There is no account yet. Add one with: quillon account add NAME --access-key KEY "
            "--secret-stdin");
    }
    if (accounts.size() == 1) {
        return accounts.front();
    }
    if (auto selected = Preferences::storedString(kSelectedAccountKey)) {
        for (const AccountPtr& account : accounts) {
            if (account->name == *selected) {
                return account;
            }
        }
    }
    fail(
        "There are several accounts: name one with --account NAME, or choose one with: quillon "
        "account select NAME");
}

std::shared_ptr<AccountRegion> CliContext::accountRegion() {
    TransferSettings::apply(
        *Preferences::sharedInstance(),
        options_.retries > 0 ? std::optional<int>(options_.retries) : std::nullopt);
    AccountPtr chosen = account();
    std::string endpoint = options_.endpointUrl;
    if (endpoint.empty()) {
        endpoint = ActingAccount::endpoint(chosen);
    }
    if (!endpoint.empty()) {
        const std::string regionId =
            options_.region.empty() ? ActingAccount::conventionalRegionId(chosen) : options_.region;
        if (!Region::isValidId(regionId)) {
            usageError("\"" + regionId + "\" (from " +
                       (options_.region.empty() ? "AWS_REGION or the AWS config" : "--region") +
                       ") is not a region id: 1 to 64 of a-z A-Z 0-9 - _.");
        }
        return ActingAccount::atEndpoint(chosen, endpoint, regionId);
    }
    if (options_.region.empty()) {
        return ActingAccount::defaultRegion(chosen);
    }
    if (AccountRegionPtr accountRegion = chosen->accountRegion(options_.region)) {
        return accountRegion;
    }
    RegionPtr named = Regions::get(options_.region);
    if (named && !chosen->writeable) {
        return AccountRegion::create(chosen, named);
    }
    if (!named) {
        usageError("Unknown region \"" + options_.region +
                   "\". See the regions with: quillon region list");
    }
    fail("The account \"" + chosen->name + "\" does not work in the region " + options_.region +
         ". Add it with: quillon account regions " + chosen->name + " --add " + options_.region);
}

}  // namespace quillon::cli
