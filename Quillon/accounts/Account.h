// Account: one set of credentials with its regions, data and vault synchronisation.
// Threads: the owner's (main) thread, except the sync state: an atomic and a mutex guard it,
//   since sync completions write it on the client's worker threads; and db(), which a mutex
//   guards, since completions on several worker threads may be the first to open it; and the
//   secret, which requests read on worker threads as they are signed, under a mutex of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "accounts/AwsSharedConfig.h"
#include "accounts/Region.h"
#include "foundation/Error.h"
#include "interfaces/db/Database.h"

namespace quillon {

class AccountRegion;
class GlacierManager;
using AccountRegionPtr = std::shared_ptr<AccountRegion>;

// One set of AWS credentials as the user named it, with the regions it works in, its own data
// directory and database, and the state of its running vault synchronisation.
class Account : public std::enable_shared_from_this<Account> {
  public:
    static constexpr const char* kKeychainService = "Hoarfrost";

    static std::shared_ptr<Account> create();
    ~Account();

    std::int64_t id = 0;
    std::string name;
    std::string originalName;
    std::string accessKey;
    bool useKeychain = true;
    bool writeable = true;
    RegionSet activeRegions;
    // The credentials-file profile that holds the secret when useKeychain is false; empty
    // means the profile named like the account. Kept in the user defaults under
    // credentialsProfileKey().
    std::string credentialsProfile;
    // A temporary session token signed with every request; never stored.
    std::string sessionToken;

    // Synchronisation state, written by completions on the client's threads.
    bool isUpdating() const { return isUpdating_.load(); }
    std::string syncProgress() const;
    std::string syncError() const;

    GlacierManager& glacierManager();

    // The secret set by the user, else the keychain's (under originalName) or the AWS
    // credentials file's (under the credentials profile, only when that profile's access key
    // matches), read anew at each use.
    std::string secret();
    void setSecret(const std::string& secret);
    std::string secretFromKeychain();
    std::string secretFromIniFile() const;
    // Why secret() is empty, as a sentence: which profile of which credentials file lacks
    // what, or the generic "not set" text for a keychain account.
    std::string missingSecretReason() const;
    // The session token to sign with: the one set for this run, else (secret from the
    // credentials file) the profile's aws_session_token, read anew like the secret.
    std::string sessionTokenForUse() const;
    static std::string credentialsFilePath();
    std::string credentialsProfileKey() const;

    bool allStandardRegionsActive() const;
    std::string activeRegionsDescription() const;
    std::string description();

    AccountRegionPtr selectedAccountRegion();
    AccountRegionPtr defaultAccountRegion();
    // One account region per active region; for a saved account sorted by the size of its
    // vaults, largest first.
    std::vector<AccountRegionPtr> getAccountRegions();
    // The account region for an id among the active regions, or none.
    AccountRegionPtr accountRegion(const std::string& regionId);

    bool didSyncVaults();

    // Validates and stores the account and its regions; throws ModelError. Returns false for
    // an account that is not writeable.
    bool save(bool skipAccessKeyCheck = false);
    // Removes the account with its rows, keychain item, vault data and files.
    void remove();

    std::string directory();
    std::string dbFile();
    DatabaseQueue& db();
    bool needsMigration();

    void checkCredentials(std::function<void(ErrorPtr)> done);
    // Syncs the vault lists of all account regions at once; `progress` runs once per region,
    // `done` once at the end.
    void syncVaults(std::function<void(const AccountRegionPtr&, ErrorPtr)> progress,
                    std::function<void()> done);

    bool operator==(const Account& other) const { return id == other.id; }

  private:
    struct Token {};

  public:
    explicit Account(Token);

  private:
    void deleteKeychainItem(const std::string& account) const;
    // Both keys of the credentials profile, when its access key is this account's.
    std::optional<AwsSharedConfig::Credentials> profileCredentials() const;

    std::atomic<bool> isUpdating_{false};
    mutable std::mutex syncMutex_;
    std::string syncProgress_;
    std::string syncError_;

    std::unique_ptr<GlacierManager> glacierManager_;
    // Requests are signed on the client's worker threads while the owner may set the secret.
    std::mutex secretMutex_;  // guards setSecret_ and cachedSecret_
    std::optional<std::string> setSecret_;
    std::string cachedSecret_;
    std::mutex dbMutex_;  // guards opening and closing db_
    DatabaseQueuePtr db_;
};

using AccountPtr = std::shared_ptr<Account>;

}  // namespace quillon
