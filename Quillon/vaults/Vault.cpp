// Vault: its row, local data, files and remote operations. Threads: as in Vault.h.
#include "vaults/Vault.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/MainQueue.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/base/Localization.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/platform/NotificationCenter.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryManager.h"
#include "inventory/Jobs.h"
#include "settings/Logger.h"
#include "transfers/Archives.h"
#include "transfers/MultipartUploads.h"
#include "vaults/Tags.h"
#include "vaults/ValidationError.h"
#include "vaults/Vaults.h"

namespace quillon {

namespace {

bool isNameCharacter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

std::optional<double> dateMember(const JSON& data, const char* key) {
    auto text = data[key].string();
    if (!text) {
        return std::nullopt;
    }
    return awsDateFromString(*text);
}

}  // namespace

Vault::Vault(Token, AccountRegionPtr accountRegion) : accountRegion_(std::move(accountRegion)) {}

Vault::~Vault() = default;

Vault::Ptr Vault::create(AccountRegionPtr accountRegion) {
    return std::make_shared<Vault>(Token{}, std::move(accountRegion));
}

Vault::Ptr Vault::create(const JSON& json, AccountRegionPtr accountRegion) {
    auto name = json["VaultName"].string();
    if (!name) {
        return nullptr;
    }
    auto vault = create(std::move(accountRegion));
    vault->name = *name;
    vault->data = json;
    return vault;
}

void Vault::validateName(const std::string& name) {
    if (static_cast<std::int64_t>(name.size()) > kMaxNameBytes) {
        throw ValidationError(1, Localization::string("error.vault_name_too_long"));
    }
    // Every allowed character is one byte, so the byte count is the character count.
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
            return isNameCharacter(static_cast<unsigned char>(c));
        })) {
        throw ValidationError(2, Localization::string("error.vault_name_has_invalid_chars"));
    }
}

bool Vault::isValidName(const std::string& name) {
    try {
        validateName(name);
        return true;
    } catch (const ValidationError&) {
        return false;
    }
}

void Vault::setAccountRegion(AccountRegionPtr accountRegion) {
    accountRegion_ = std::move(accountRegion);
}

DatabaseQueue& Vault::db() {
    return accountRegion_->db();
}

std::int64_t Vault::size() const {
    return data["SizeInBytes"].int64().value_or(0);
}

int Vault::numberOfArchives() const {
    return data["NumberOfArchives"].int_().value_or(0);
}

std::string Vault::vaultARN() const {
    return data["VaultARN"].stringValue();
}

std::optional<double> Vault::creationDate() const {
    return dateMember(data, "CreationDate");
}

std::optional<double> Vault::lastInventoryDate() const {
    return dateMember(data, "LastInventoryDate");
}

bool Vault::isEmpty() const {
    return numberOfArchives() == 0 && size() == 0;
}

std::string Vault::hashKey() const {
    return name + "," + accountRegion_->region()->id();
}

ApiPath Vault::apiBasePath() const {
    return ApiPath::account().vault(name);
}

std::string Vault::description() const {
    if (isEmpty()) {
        return Localization::string("empty_vault");
    }
    return Localization::format("%d_archives", {std::int64_t{numberOfArchives()}}) + ", " +
           bytesFormat(size());
}

bool Vault::operator==(const Vault& other) const {
    return name == other.name && *accountRegion_ == *other.accountRegion_;
}

bool Vault::canStore() const {
    return !name.empty() && accountRegion_->account()->id != 0;
}

void Vault::saveToDB(Database& db) {
    if (!canStore()) {
        return;
    }
    auto created = creationDate();
    db.executeUpdate(
        "INSERT OR REPLACE INTO vaults (name, meta, number_of_archives, size, region, "
        "created_at, updated_at, position) VALUES (:name, :meta, :number_of_archives, :size, "
        ":region, :created_at, :updated_at,   COALESCE((SELECT position FROM vaults where name = "
        ":name and region = :region), (SELECT MAX(position) FROM vaults where region = :region) "
        "+ 1) )",
        SqlNamedArgs{
            {"name", name},
            // A document that is not a JSON object or array cannot be written as one.
            {"meta", data.isObject() || data.isArray() ? data.rawString(true) : std::string()},
            {"number_of_archives", std::int64_t{numberOfArchives()}},
            {"size", size()},
            {"region", accountRegion_->region()->id()},
            {"created_at", created ? static_cast<std::int64_t>(*created) : std::int64_t{0}},
            {"updated_at", nowSeconds()},
        });
    db.executeUpdate("DELETE FROM hidden_vaults WHERE name = ? AND region = ?",
                     {name, accountRegion_->region()->id()});
}

void Vault::save() {
    db().inDatabase([this](Database& database) { saveToDB(database); });
}

void Vault::setPositionInDB(Database& db, std::int64_t position) {
    db.executeUpdate("UPDATE vaults SET position = ? WHERE name = ? AND region = ?",
                     {position, name, accountRegion_->region()->id()});
}

void Vault::deleteLocalData(Database& db) {
    if (!canStore()) {
        return;
    }
    db.executeUpdate("DELETE FROM archives WHERE region = ? AND vault = ?",
                     {accountRegion_->region()->id(), name});
    for (const InventoryPtr& inventory : inventoryManager().allFromDB(db)) {
        inventory->deleteFromDB(db);
    }
    const std::string& dir = directory();
    for (const std::string& entry : FileHelpers::listDirectory(dir, "*")) {
        std::string path = appendingPathComponent(dir, entry);
        if (!FileHelpers::directoryExists(path)) {
            FileHelpers::deleteFile(path);
        }
    }
}

void Vault::deleteFromDB(Database& db) {
    if (!canStore()) {
        return;
    }
    deleteLocalData(db);
    const std::string region = accountRegion_->region()->id();
    db.executeUpdate("DELETE FROM tags_fetch WHERE region = ? AND vault = ?", {region, name});
    db.executeUpdate("DELETE FROM tags WHERE region = ? AND vault = ?", {region, name});
    db.executeUpdate("DELETE FROM vaults WHERE name = ? AND region = ?", {name, region});
    db.executeUpdate("DELETE FROM hidden_vaults WHERE name = ? AND region = ?", {name, region});
    FileHelpers::deleteDirectory(directory());
    Ptr self = shared_from_this();
    MainQueue::async(
        [self] { NotificationCenter::defaultCenter().post(NVVaultDeletedNotification, self); });
}

void Vault::hideInDB(Database& db) {
    if (!canStore()) {
        return;
    }
    const std::string region = accountRegion_->region()->id();
    if (db.executeUpdate("INSERT OR REPLACE INTO hidden_vaults (name, region, meta, hidden_at) "
                         "SELECT name, region, meta, ? FROM vaults WHERE name = ? AND region = ?",
                         {nowSeconds(), name, region})) {
        db.executeUpdate("DELETE FROM vaults WHERE name = ? AND region = ?", {name, region});
    }
}

void Vault::remove() {
    db().inTransaction([this](Database& database, bool&) { deleteFromDB(database); });
}

void Vault::cleanupInventoryFiles() {
    const std::string& dir = directory();
    ErrorPtr error;
    std::vector<std::string> names = FileHelpers::listDirectory(dir, "inventory-*.json", &error);
    if (error) {
        return;
    }
    struct Entry {
        std::string path;
        FileTimestamp date;
    };
    std::vector<Entry> entries;
    for (const std::string& entry : names) {
        std::string path = appendingPathComponent(dir, entry);
        entries.push_back({path, FileHelpers::modificationDate(path).value_or(FileTimestamp{})});
    }
    // Newest first; equal dates by name, later names first (their names carry their dates).
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.date.seconds != b.date.seconds) {
            return a.date.seconds > b.date.seconds;
        }
        if (a.date.nanoseconds != b.date.nanoseconds) {
            return a.date.nanoseconds > b.date.nanoseconds;
        }
        return a.path > b.path;
    });
    while (entries.size() >= 6) {
        FileHelpers::deleteFile(entries.back().path);
        entries.pop_back();
    }
}

RequestOperation::Ptr Vault::apiCreate(Completion done) {
    try {
        validateName(name);
    } catch (const ValidationError& error) {
        done(error.errorPtr());
        return nullptr;
    }
    std::optional<int> count;
    db().inDatabase([&](Database& database) {
        count = database.intForQuery("SELECT count(name) FROM vaults WHERE region = ? AND name = ?",
                                     {accountRegion_->region()->id(), name});
    });
    if (count.value_or(1) != 0) {
        done(BaseModel::genericError(
            Localization::format("modelerror.vault_with_same_name_already_exists", {name})));
        return nullptr;
    }
    Ptr self = shared_from_this();
    return accountRegion_->apiPerformRequest({.method = "PUT", .path = apiBasePath()},
                                             [self, done](ErrorPtr error, RequestOperation::Ptr) {
                                                 if (error) {
                                                     done(error);
                                                     return;
                                                 }
                                                 self->apiDescribe(done);
                                             });
}

RequestOperation::Ptr Vault::apiDescribe(Completion done) {
    Ptr self = shared_from_this();
    return accountRegion_->apiPerformJSONRequest(
        {.path = apiBasePath()}, AnswerShape::object().string("/VaultName"),
        [self, done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done(error);
                return;
            }
            auto vaultName = json["VaultName"].string();
            if (!vaultName || !isValidName(*vaultName)) {
                done(BaseModel::invalidApiResponseError());
                return;
            }
            self->name = *vaultName;
            self->data = json;
            self->save();
            done(nullptr);
        });
}

RequestOperation::Ptr Vault::apiDelete(Completion done) {
    Ptr self = shared_from_this();
    return accountRegion_->apiPerformRequest({.method = "DELETE", .path = apiBasePath()},
                                             [self, done](ErrorPtr error, RequestOperation::Ptr) {
                                                 if (error) {
                                                     done(error);
                                                     return;
                                                 }
                                                 self->remove();
                                                 done(nullptr);
                                             });
}

Tags& Vault::tags() {
    if (!tags_) {
        tags_ = std::make_unique<Tags>(*this);
    }
    return *tags_;
}

Jobs& Vault::jobs() {
    if (!jobs_) {
        jobs_ = std::make_unique<Jobs>(*this);
    }
    return *jobs_;
}

InventoryManager& Vault::inventoryManager() {
    if (!inventoryManager_) {
        inventoryManager_ = std::make_unique<InventoryManager>(*this);
    }
    return *inventoryManager_;
}

Archives& Vault::archives() {
    if (!archives_) {
        archives_ = std::make_unique<Archives>(*this);
    }
    return *archives_;
}

MultipartUploads& Vault::multipartUploads() {
    if (!multipartUploads_) {
        multipartUploads_ = std::make_unique<MultipartUploads>(*this);
    }
    return *multipartUploads_;
}

const std::string& Vault::directory() {
    std::lock_guard lock(directoriesMutex_);
    if (!directory_) {
        directory_ = appendingPathComponent(accountRegion_->vaults().directory(), name);
    }
    // Created again when missing: a removed vault that is saved anew gets its directory back.
    if (!FileHelpers::directoryExists(*directory_)) {
        FileHelpers::createDirectory(*directory_);
    }
    return *directory_;
}

const std::string& Vault::transfersDirectory() {
    std::lock_guard lock(directoriesMutex_);
    if (!transfersDirectory_) {
        transfersDirectory_ =
            appendingPathComponent(accountRegion_->account()->directory(), "Transfers");
    }
    if (!FileHelpers::directoryExists(*transfersDirectory_)) {
        FileHelpers::createDirectory(*transfersDirectory_);
    }
    return *transfersDirectory_;
}

std::string Vault::writerLockPath() {
    return writerLockPath(accountRegion_->account()->directory(), accountRegion_->region()->id(),
                          name);
}

std::string Vault::writerLockPath(const std::string& accountDirectory, const std::string& region,
                                  const std::string& vault) {
    return appendingPathComponent(
        appendingPathComponent(appendingPathComponent(accountDirectory, "Locks"), region),
        vault + ".lock");
}

Logger& Vault::log() {
    std::lock_guard lock(logMutex_);
    if (!log_) {
        std::string file = appendingPathComponent(directory(), "vault.log");
        FileHelpers::createFileIfMissing(file);
        log_ = std::make_shared<Logger>(Logger::LogLevel::verbose);
        log_->setTargetFile(file);
    }
    return *log_;
}

}  // namespace quillon
