// ActingAccount: how a command finds whom it acts for and where, beyond the stored accounts:
// credentials from the environment or an AWS profile (never stored), the region that the AWS
// conventions name, and a one-off endpoint given on the command line.
// Threads: the command's (main) thread; no state of its own.
#pragma once

#include <string>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"

namespace quillon::cli {

class ActingAccount {
  public:
    ActingAccount() = delete;

    // With no stored account: an unsaved, unwriteable account for $AWS_ACCESS_KEY_ID and
    // $AWS_SECRET_ACCESS_KEY (and $AWS_SESSION_TOKEN), else for the profile named by
    // $AWS_PROFILE, else for the profile "default"; none when neither is there. Its secret
    // lives only in memory. Its local data (vault list, journal, inventories) lives under an id
    // below 0 that the access key fixes, so it syncs, browses and imports as a stored account.
    static AccountPtr fromEnvironment();
    // An unsaved, unwriteable account for a profile of the AWS credentials or config file
    // (--profile); none when the profile lacks either key. Its keys are read at each use.
    static AccountPtr fromProfile(const std::string& profile);

    // The region to act in when the command line names none: the account's selected region,
    // else $AWS_REGION / $AWS_DEFAULT_REGION / the profile's region in the AWS config file,
    // else us-east-1, as far as the account works there.
    static AccountRegionPtr defaultRegion(const AccountPtr& account);
    // The region id the AWS conventions name, else us-east-1.
    static std::string conventionalRegionId(const AccountPtr& account);

    // The endpoint the AWS conventions name for the account's profile ($AWS_ENDPOINT_URL_GLACIER,
    // $AWS_ENDPOINT_URL, the config file's endpoint_url), or "".
    static std::string endpoint(const AccountPtr& account);
    // A region for --endpoint-url: the given URL under the id `regionId`, signed for that
    // region whatever the URL's host.
    static AccountRegionPtr atEndpoint(const AccountPtr& account, const std::string& url,
                                       const std::string& regionId);
};

}  // namespace quillon::cli
