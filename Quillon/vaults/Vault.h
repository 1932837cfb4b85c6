// Vault: one vault of an account region, its row and files, and the entry to its contents.
// Threads: not thread-safe; one user at a time (the owner, or a request completion on the
//   client's worker thread while the owner waits). The deletion notice goes to the main queue.
//   The exception: its directories and its log are safe from any thread, since uploads that end
//   together note their archives from several worker threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

class AccountRegion;
class Archives;
class InventoryManager;
class Jobs;
class Logger;
class MultipartUploads;
class Tags;
using AccountRegionPtr = std::shared_ptr<AccountRegion>;

// Posted on the main queue with the deleted vault (a VaultPtr) as the object.
inline constexpr const char* NVVaultDeletedNotification = "NVVaultDeletedNotification";

// One Glacier vault of an account in a region: its name, the service's description of it, its
// local row and files, and the entry point to what lives in it. Always held by shared pointer.
// Children (tags, ...) are owned here and keep a plain reference back.
class Vault : public std::enable_shared_from_this<Vault> {
  public:
    using Ptr = std::shared_ptr<Vault>;
    using Completion = std::function<void(ErrorPtr)>;

    static constexpr std::int64_t kMaxNameBytes = 255;

    static Ptr create(AccountRegionPtr accountRegion);
    // A vault named after json["VaultName"] with the document as its data; none without a name.
    static Ptr create(const JSON& json, AccountRegionPtr accountRegion);
    ~Vault();

    // Throws ValidationError: code 1 for 256 or more UTF-8 bytes, code 2 unless the name is 1 to
    // 255 characters of A-Z a-z 0-9 - _ .
    static void validateName(const std::string& name);
    // Whether validateName accepts `name`.
    static bool isValidName(const std::string& name);

    std::string name;
    JSON data;

    const AccountRegionPtr& accountRegion() const { return accountRegion_; }
    void setAccountRegion(AccountRegionPtr accountRegion);
    DatabaseQueue& db();

    // Values of the service's description; 0, "" or none when absent.
    std::int64_t size() const;
    int numberOfArchives() const;
    std::string vaultARN() const;
    std::optional<double> creationDate() const;
    std::optional<double> lastInventoryDate() const;
    bool isEmpty() const;
    std::string hashKey() const;
    ApiPath apiBasePath() const;
    std::string description() const;

    // Same account, same region, same name.
    bool operator==(const Vault& other) const;

    // Row writes expect to run inside a block of the account's database queue.
    void saveToDB(Database& db);
    void save();
    void setPositionInDB(Database& db, std::int64_t position);
    // Journal rows, stored inventories and the files of the vault directory.
    void deleteLocalData(Database& db);
    // Local data, tags, the row (shown or hidden) and the directory; posts
    // NVVaultDeletedNotification.
    void deleteFromDB(Database& db);
    // Takes the row out of the vault list into "hidden_vaults", keeping the journal, the
    // inventories, the tags and the files: the service no longer lists the vault, which may be
    // a passing fault of the service. Saving the vault again shows it again.
    void hideInDB(Database& db);
    void remove();
    // Keeps the five newest "inventory-*.json" files of the vault directory.
    void cleanupInventoryFiles();

    // Remote operations; each calls `done` exactly once (except for a region without a usable
    // endpoint) and returns the request operation, or none when no request was made.
    RequestOperation::Ptr apiCreate(Completion done);
    RequestOperation::Ptr apiDescribe(Completion done);
    RequestOperation::Ptr apiDelete(Completion done);

    Tags& tags();
    Jobs& jobs();
    InventoryManager& inventoryManager();
    Archives& archives();
    MultipartUploads& multipartUploads();
    // "Vaults.<region>/<name>" in the account directory; created when missing.
    const std::string& directory();
    // "Transfers" in the account directory, shared by the account's vaults; created when missing.
    const std::string& transfersDirectory();
    // Verbose logger writing "vault.log" in the vault directory.
    Logger& log();

    // The file of the vault's writer lock (a FileLock), held by whoever writes the vault's
    // inventories or its archive journal: "Locks/<region>/<name>.lock" in the account
    // directory, outside the vault directory so that removing the vault's files never removes
    // a lock someone holds.
    std::string writerLockPath();
    static std::string writerLockPath(const std::string& accountDirectory,
                                      const std::string& region, const std::string& vault);

  private:
    struct Token {};

  public:
    Vault(Token, AccountRegionPtr accountRegion);

  private:
    bool canStore() const;

    AccountRegionPtr accountRegion_;
    std::unique_ptr<Tags> tags_;
    std::unique_ptr<Jobs> jobs_;
    std::unique_ptr<InventoryManager> inventoryManager_;
    std::unique_ptr<Archives> archives_;
    std::unique_ptr<MultipartUploads> multipartUploads_;
    std::mutex directoriesMutex_;  // guards the two directories, which are set once
    std::optional<std::string> transfersDirectory_;
    std::optional<std::string> directory_;
    std::mutex logMutex_;  // guards opening the log
    std::shared_ptr<Logger> log_;
};

using VaultPtr = std::shared_ptr<Vault>;

}  // namespace quillon
