// Account: loading, saving, secrets and vault syncing of one account. Threads: as in Account.h.
#include "accounts/Account.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "accounts/AwsSharedConfig.h"
#include "accounts/Region.h"
#include "accounts/Regions.h"
#include "foundation/Error.h"
#include "foundation/FatalError.h"
#include "foundation/FileHelpers.h"
#include "foundation/ModelError.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/base/Localization.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/platform/Keychain.h"
#include "interfaces/platform/UserDefaults.h"
#include "inventory/InventoryIndex.h"
#include "vaults/AccountDBBuilder.h"
#include "vaults/Vaults.h"

namespace quillon {

Account::Account(Token) {
    for (const RegionPtr& region : Regions::allStandard()) {
        activeRegions.insert(region);
    }
}

Account::~Account() = default;

std::shared_ptr<Account> Account::create() {
    return std::make_shared<Account>(Token{});
}

std::string Account::syncProgress() const {
    std::lock_guard lock(syncMutex_);
    return syncProgress_;
}

std::string Account::syncError() const {
    std::lock_guard lock(syncMutex_);
    return syncError_;
}

GlacierManager& Account::glacierManager() {
    if (!glacierManager_) {
        glacierManager_ = std::make_unique<GlacierManager>();
    }
    return *glacierManager_;
}

std::string Account::secret() {
    {
        std::lock_guard lock(secretMutex_);
        if (setSecret_) {
            return *setSecret_;
        }
    }
    return useKeychain ? secretFromKeychain() : secretFromIniFile();
}

void Account::setSecret(const std::string& secret) {
    std::lock_guard lock(secretMutex_);
    cachedSecret_.clear();
    setSecret_ = useKeychain ? secret : std::string();
}

std::string Account::secretFromKeychain() {
    if (originalName.empty()) {
        return "";
    }
    std::lock_guard lock(secretMutex_);
    if (!cachedSecret_.empty()) {
        return cachedSecret_;
    }
    cachedSecret_ = Keychain::password(kKeychainService, originalName).value_or("");
    return cachedSecret_;
}

std::string Account::credentialsFilePath() {
    return AwsSharedConfig::credentialsFilePath();
}

std::string Account::credentialsProfileKey() const {
    return "account." + std::to_string(id) + ".credentialsProfile";
}

std::optional<AwsSharedConfig::Credentials> Account::profileCredentials() const {
    auto credentials =
        AwsSharedConfig::profileCredentials(credentialsProfile.empty() ? name : credentialsProfile);
    if (!credentials || credentials->accessKey != accessKey) {
        return std::nullopt;
    }
    return credentials;
}

std::string Account::secretFromIniFile() const {
    auto credentials = profileCredentials();
    return credentials ? credentials->secret : "";
}

std::string Account::missingSecretReason() const {
    if (useKeychain) {
        return ModelError::secretKeyNotSet().description();
    }
    return AwsSharedConfig::missingCredentials(
        credentialsProfile.empty() ? name : credentialsProfile, accessKey);
}

std::string Account::sessionTokenForUse() const {
    if (!sessionToken.empty() || useKeychain) {
        return sessionToken;
    }
    auto credentials = profileCredentials();
    return credentials ? credentials->sessionToken : "";
}

bool Account::allStandardRegionsActive() const {
    auto standard = Regions::allStandard();
    if (standard.size() != activeRegions.size()) {
        return false;
    }
    return std::all_of(standard.begin(), standard.end(),
                       [&](const RegionPtr& region) { return activeRegions.contains(region); });
}

std::string Account::activeRegionsDescription() const {
    if (activeRegions.size() == 1) {
        return (*activeRegions.begin())->name();
    }
    if (allStandardRegionsActive()) {
        return Localization::string("account.all_standard_regions");
    }
    return Localization::format("%d_regions_selected",
                                {static_cast<std::int64_t>(activeRegions.size())});
}

std::string Account::description() {
    if (std::string error = syncError(); !error.empty()) {
        return error;
    }
    if (isUpdating()) {
        return Localization::format("account_description.loading", {syncProgress()});
    }
    std::int64_t archives = 0;
    std::int64_t size = 0;
    std::int64_t vaultCount = 0;
    std::int64_t regionsWithVaults = 0;
    AccountRegionPtr lastWithVaults;
    for (const AccountRegionPtr& accountRegion : getAccountRegions()) {
        Vaults& vaults = accountRegion->vaults();
        int count = vaults.count();
        archives += vaults.numberOfArchives();
        size += vaults.size();
        vaultCount += count;
        if (count >= 1) {
            ++regionsWithVaults;
            lastWithVaults = accountRegion;
        }
    }
    if (regionsWithVaults == 0 && !didSyncVaults()) {
        return Localization::string("account_description.vaults_not_synchronized");
    }
    std::string text = Localization::format("%@_in_%d_archives", {bytesFormat(size), archives});
    text += " - " + Localization::format("%d_vaults", {vaultCount});
    if (regionsWithVaults == 1) {
        text += " - " + Localization::format("account_description.one_region",
                                             {lastWithVaults->region()->name()});
    } else {
        text += " - " + Localization::format("%d_regions", {regionsWithVaults});
    }
    return text;
}

std::vector<AccountRegionPtr> Account::getAccountRegions() {
    std::vector<AccountRegionPtr> list;
    auto self = shared_from_this();
    for (const RegionPtr& region : activeRegions) {
        list.push_back(AccountRegion::create(self, region));
    }
    if (id > 0) {
        std::vector<std::pair<std::int64_t, AccountRegionPtr>> sized;
        sized.reserve(list.size());
        for (auto& accountRegion : list) {
            sized.emplace_back(accountRegion->vaults().size(), accountRegion);
        }
        std::stable_sort(sized.begin(), sized.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        for (std::size_t i = 0; i < list.size(); ++i) {
            list[i] = sized[i].second;
        }
    }
    return list;
}

AccountRegionPtr Account::defaultAccountRegion() {
    return AccountRegion::create(shared_from_this(), Regions::getStandard("us-east-1"));
}

AccountRegionPtr Account::selectedAccountRegion() {
    auto list = getAccountRegions();
    for (const auto& accountRegion : list) {
        if (accountRegion->selected()) {
            return accountRegion;
        }
    }
    // With no active region there is nothing to choose from: the standard default serves.
    return list.empty() ? defaultAccountRegion() : list.front();
}

AccountRegionPtr Account::accountRegion(const std::string& regionId) {
    for (const RegionPtr& region : activeRegions) {
        if (region->id() == regionId) {
            return AccountRegion::create(shared_from_this(), region);
        }
    }
    return nullptr;
}

bool Account::didSyncVaults() {
    int count = 0;
    db().inDatabase([&](Database& database) {
        count = database.intForQuery("SELECT count(last_fetch) FROM vaults_fetch").value_or(0);
    });
    return count > 0;
}

void Account::deleteKeychainItem(const std::string& account) const {
    Keychain::deletePassword(kKeychainService, account);
}

bool Account::save(bool skipAccessKeyCheck) {
    if (!writeable) {
        return false;
    }
    if (name.empty()) {
        throw ModelError::attributeEmpty("name");
    }
    if (accessKey.empty()) {
        throw ModelError::attributeEmpty("accessKey");
    }
    if (AccountPtr other = Accounts::get(name); other && other->id != id) {
        throw ModelError::duplicateName(name);
    }
    if (!skipAccessKeyCheck) {
        if (AccountPtr other = Accounts::getByAccessKey(accessKey); other && other->id != id) {
            throw ModelError::accountWithSameAccessKeyExists();
        }
    }

    const bool isNew = id == 0;
    // The secret is stored before the account row, so that an account is never saved without
    // the secret it was given.
    if (useKeychain) {
        std::optional<std::string> toStore;
        {
            std::lock_guard lock(secretMutex_);
            toStore = setSecret_;
        }
        if (!isNew && name != originalName && !toStore) {
            toStore = secret();
            std::lock_guard lock(secretMutex_);
            setSecret_ = toStore;
        }
        if (toStore && !toStore->empty() &&
            !Keychain::setPassword(*toStore, kKeychainService, name)) {
            throw ModelError::secretNotStored();
        }
    }
    bool writeFailed = false;
    AccountsDB::sharedInstance()->db().inTransaction([&](Database& database, bool& rollback) {
        SqlValue idValue = isNew ? SqlValue(nullptr) : SqlValue(id);
        if (!database.executeUpdate("REPLACE INTO accounts (id, name, access_key, region, "
                                    "use_keychain, updated_at) VALUES (?, ?, ?, ?, ?, ?)",
                                    {idValue, name, accessKey, std::string("us-east-1"),
                                     sqlBool(useKeychain), nowSeconds()})) {
            rollback = true;
            writeFailed = true;
            return;
        }
        if (isNew) {
            id = database.lastInsertRowId();
            std::lock_guard lock(dbMutex_);
            db_.reset();
        }
        database.executeUpdate("DELETE FROM account_regions WHERE account_id = ?", {id});
        for (const RegionPtr& region : activeRegions) {
            database.executeUpdate("INSERT INTO account_regions (account_id, region) VALUES (?, ?)",
                                   {id, region->id()});
        }
    });
    if (writeFailed) {
        throw ModelError::dbWriteError();
    }

    if (useKeychain) {
        if (!isNew && name != originalName) {
            deleteKeychainItem(originalName);
        }
        bool cleared = false;
        {
            std::lock_guard lock(secretMutex_);
            cleared = setSecret_ && setSecret_->empty();
        }
        if (cleared) {
            deleteKeychainItem(name);
        }
    }
    if (!useKeychain && !credentialsProfile.empty() && credentialsProfile != name) {
        UserDefaults::standard()->setString(credentialsProfileKey(), credentialsProfile);
    } else {
        UserDefaults::standard()->remove(credentialsProfileKey());
    }
    originalName = name;
    Accounts::cache()[id] = shared_from_this();
    return true;
}

void Account::remove() {
    if (!writeable || id <= 0) {
        return;
    }
    deleteKeychainItem(name);
    for (const AccountRegionPtr& accountRegion : getAccountRegions()) {
        accountRegion->vaults().deleteAllLocalData();
    }
    AccountsDB::sharedInstance()->db().inTransaction([&](Database& database, bool&) {
        database.executeUpdate("DELETE FROM accounts WHERE id = ?", {id});
        database.executeUpdate("DELETE FROM account_regions WHERE account_id = ?", {id});
    });
    {
        std::lock_guard lock(dbMutex_);
        if (db_) {
            db_->close();
            db_.reset();
        }
    }
    std::string dir = directory();
    for (const std::string& entry : FileHelpers::listDirectory(dir, "*")) {
        std::string path = appendingPathComponent(dir, entry);
        if (FileHelpers::directoryExists(path)) {
            FileHelpers::deleteDirectory(path);
        } else {
            FileHelpers::deleteFile(path);
        }
    }
    FileHelpers::deleteDirectory(dir);
    UserDefaults::standard()->remove(credentialsProfileKey());
    Accounts::cache().erase(id);
    id = 0;
}

std::string Account::directory() {
    auto accountsDB = AccountsDB::sharedInstance();
    const std::string& appDir = accountsDB->appDir();
    std::string dirName =
        std::string(accountsDB->isUnitTest() ? "Test-" : "") + "Account_" + std::to_string(id);
    std::string dir = appendingPathComponent(appDir, dirName);
    requirePrivateDirectory(dir, "The account directory");
    return dir;
}

std::string Account::dbFile() {
    return appendingPathComponent(directory(), "Store.db");
}

DatabaseQueue& Account::db() {
    std::lock_guard lock(dbMutex_);
    if (!db_) {
        std::string file = dbFile();
        AccountDBBuilder builder(file);
        db_ = builder.getDBQueue();
        if (!db_) {
            fatalError("The account database " + file +
                       " cannot be opened: " + builder.openFailure() + ".");
        }
        db_->setOpenHook([](Database& db) { InventoryIndex::attach(db); });
    }
    return *db_;
}

bool Account::needsMigration() {
    AccountDBBuilder builder(dbFile());
    return builder.needsMigration();
}

void Account::checkCredentials(std::function<void(ErrorPtr)> done) {
    selectedAccountRegion()->checkCredentials(std::move(done));
}

void Account::syncVaults(std::function<void(const AccountRegionPtr&, ErrorPtr)> progress,
                         std::function<void()> done) {
    {
        std::lock_guard lock(syncMutex_);
        syncProgress_.clear();
        syncError_.clear();
    }
    isUpdating_ = true;
    auto accountRegions = getAccountRegions();
    if (accountRegions.empty()) {
        // Nothing to sync: finish at once rather than leave the account updating for ever.
        isUpdating_ = false;
        done();
        return;
    }
    struct Counters {
        int total = 0;
        int finished = 0;
        int remaining = 0;
    };
    auto counters = std::make_shared<Counters>();
    counters->total = static_cast<int>(accountRegions.size());
    counters->remaining = counters->total;
    auto self = shared_from_this();
    for (const AccountRegionPtr& accountRegion : accountRegions) {
        auto finished = [self, counters, accountRegion, progress, done](ErrorPtr error) {
            bool finishedAll = false;
            {
                std::lock_guard lock(self->syncMutex_);
                counters->finished += 1;
                float percent = counters->total < 1
                                    ? 0.0f
                                    : static_cast<float>(counters->finished) /
                                          static_cast<float>(counters->total) * 100.0f;
                char text[32];
                std::snprintf(text, sizeof text, "%.0f%%", static_cast<double>(percent));
                self->syncProgress_ = text;
            }
            if (progress) {
                progress(accountRegion, error);
            }
            {
                std::lock_guard lock(self->syncMutex_);
                if (error) {
                    self->syncError_ = Localization::format("error.loading_vaults",
                                                            {error->localizedDescription()});
                }
                counters->remaining -= 1;
                finishedAll = counters->remaining < 1;
            }
            if (finishedAll) {
                self->isUpdating_ = false;
                if (done) {
                    done();
                }
            }
        };
        // A region without a usable endpoint asks nothing and its sync never completes: it
        // counts as finished with that error, so that the account's sync ends.
        if (!accountRegion->region()->baseURL()) {
            finished(accountRegion->noEndpointError());
            continue;
        }
        accountRegion->vaults().sync(std::move(finished));
    }
}

}  // namespace quillon
