// Vaults: listing, searching, sorting and syncing the vault list. Threads: as in Vaults.h.
#include "vaults/Vaults.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "accounts/PageWalk.h"
#include "foundation/Error.h"
#include "foundation/FetchStamp.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/platform/UserDefaults.h"
#include "vaults/Vault.h"
#include "vaults/VaultCache.h"

namespace quillon {

namespace {

std::string lowercased(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::vector<std::string> nameColumn(ResultSetPtr rows) {
    std::vector<std::string> names;
    if (!rows) {
        return names;
    }
    while (rows->next()) {
        if (auto name = rows->stringForColumn("name")) {
            names.push_back(*name);
        }
    }
    return names;
}

}  // namespace

std::string Vaults::description(SortByOption option) {
    switch (option) {
        case SortByOption::name:
            return "name";
        case SortByOption::size:
            return "size";
        case SortByOption::createdAt:
            return "created_at";
        case SortByOption::manually:
            break;
    }
    return "position";
}

std::string Vaults::description(SortDirection direction) {
    return direction == SortDirection::descending ? "desc" : "asc";
}

Vaults::Vaults(AccountRegion& accountRegion)
    : accountRegion_(accountRegion), prefs_(UserDefaults::standard()) {}

Vaults::~Vaults() = default;

std::vector<VaultPtr> Vaults::multiple(const JSON& json, const AccountRegionPtr& accountRegion,
                                       std::vector<std::string>* rejected) {
    std::vector<VaultPtr> vaults;
    for (const JSON& element : json["VaultList"].arrayValue()) {
        auto name = element["VaultName"].string();
        if (name && Vault::isValidName(*name)) {
            if (VaultPtr vault = Vault::create(element, accountRegion)) {
                vaults.push_back(std::move(vault));
            }
        } else if (name) {
            // Such a name never reaches a path, a row or a completion list.
            NSLog("Skipped a vault name that breaks the naming rule: %@", {*name});
            if (rejected) {
                rejected->push_back(*name);
            }
        }
    }
    return vaults;
}

DatabaseQueue& Vaults::db() {
    return accountRegion_.db();
}

int Vaults::count() {
    int result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .intForQuery("SELECT count(name) FROM vaults WHERE region = ?",
                                  {accountRegion_.region()->id()})
                     .value_or(0);
    });
    return result;
}

int Vaults::numberOfArchives() {
    int result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .intForQuery(
                         "SELECT COALESCE(SUM(number_of_archives), 0) FROM vaults WHERE region = ?",
                         {accountRegion_.region()->id()})
                     .value_or(0);
    });
    return result;
}

std::int64_t Vaults::size() {
    std::int64_t result = 0;
    db().inDatabase([&](Database& database) {
        result = database
                     .longForQuery("SELECT COALESCE(SUM(size), 0) FROM vaults WHERE region = ?",
                                   {accountRegion_.region()->id()})
                     .value_or(0);
    });
    return result;
}

Vaults::SortByOption Vaults::sortBy() const {
    std::int64_t value = prefs_->integer(kSortByKey);
    if (value < 0 || value > 3) {
        return SortByOption::manually;
    }
    return static_cast<SortByOption>(value);
}

void Vaults::setSortBy(SortByOption option) {
    prefs_->setInteger(kSortByKey, static_cast<std::int64_t>(option));
}

Vaults::SortDirection Vaults::sortDirection() const {
    return prefs_->integer(kSortDirectionKey) == 1 ? SortDirection::descending
                                                   : SortDirection::ascending;
}

void Vaults::setSortDirection(SortDirection direction) {
    prefs_->setInteger(kSortDirectionKey, static_cast<std::int64_t>(direction));
}

std::string Vaults::orderBy() const {
    SortByOption option = sortBy();
    if (option == SortByOption::manually) {
        return description(option);
    }
    return description(option) + " " + description(sortDirection());
}

std::vector<VaultPtr> Vaults::allFromDB(Database& db) {
    std::vector<std::string> names =
        nameColumn(db.executeQuery("SELECT name FROM vaults WHERE region = ? ORDER BY " + orderBy(),
                                   {accountRegion_.region()->id()}));
    std::vector<VaultPtr> vaults;
    for (const std::string& name : names) {
        if (VaultPtr vault = getFromDB(db, name)) {
            vaults.push_back(std::move(vault));
        }
    }
    return vaults;
}

std::vector<VaultPtr> Vaults::all() {
    std::vector<VaultPtr> vaults;
    db().inDatabase([&](Database& database) { vaults = allFromDB(database); });
    return vaults;
}

std::vector<VaultPtr> Vaults::filter(const std::string& query) {
    std::vector<std::string> nameTerms;
    std::vector<std::string> tagTerms;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t bar = query.find('|', start);
        std::string term =
            query.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (!term.empty()) {
            if (term.rfind("tag:", 0) == 0) {
                tagTerms.push_back(term.substr(4));
            } else {
                nameTerms.push_back(term);
            }
        }
        if (bar == std::string::npos) {
            break;
        }
        start = bar + 1;
    }

    SqlArgs args{accountRegion_.region()->id()};
    std::vector<std::string> conditions;
    for (const std::string& term : nameTerms) {
        args.push_back("%" + term + "%");
        conditions.push_back("name LIKE ?");
    }
    for (const std::string& term : tagTerms) {
        std::size_t equals = term.find('=');
        std::string key = term.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : term.substr(equals + 1);
        args.push_back("%" + key + "%");
        if (value.empty()) {
            conditions.push_back("tags.key LIKE ?");
        } else {
            args.push_back("%" + value + "%");
            conditions.push_back("(tags.key LIKE ? AND tags.value LIKE ?)");
        }
    }
    std::string conditionText;
    for (const std::string& condition : conditions) {
        conditionText += (conditionText.empty() ? "" : " OR ") + condition;
    }
    if (conditionText.empty()) {
        conditionText = "1";
    }
    std::string sql = "SELECT distinct(vaults.name) name FROM vaults";
    sql += " ";
    if (!tagTerms.empty()) {
        sql += " LEFT JOIN tags ON tags.vault = vaults.name";
    }
    sql += " WHERE vaults.region = ?";
    sql += " AND (" + conditionText + ")";
    sql += " ORDER BY " + orderBy();

    std::vector<VaultPtr> vaults;
    db().inDatabase([&](Database& database) {
        for (const std::string& name : nameColumn(database.executeQuery(sql, args))) {
            if (VaultPtr vault = getFromDB(database, name)) {
                vaults.push_back(std::move(vault));
            }
        }
    });
    return vaults;
}

VaultPtr Vaults::getFromDB(Database& db, const std::string& name) {
    const std::string key =
        VaultCache::key(name, accountRegion_.region()->id(), accountRegion_.account()->id);
    if (VaultPtr cached = VaultCache::shared().get(key)) {
        return cached;
    }
    auto rows = db.executeQuery("SELECT name, meta FROM vaults WHERE name = ? AND region = ?",
                                {name, accountRegion_.region()->id()});
    if (!rows || !rows->next()) {
        return nullptr;
    }
    VaultPtr vault = Vault::create(accountRegion_.shared_from_this());
    vault->name = rows->stringForColumn("name").value_or("");
    if (auto meta = rows->stringForColumn("meta")) {
        vault->data = JSON::parse(*meta);
    }
    VaultCache::shared().put(key, vault);
    return vault;
}

VaultPtr Vaults::get(const std::string& name) {
    VaultPtr vault;
    db().inDatabase([&](Database& database) { vault = getFromDB(database, name); });
    return vault;
}

std::optional<std::int64_t> Vaults::lastSync() {
    return FetchStamp::lastFetch(db(),
                                 "SELECT last_fetch FROM vaults_fetch WHERE region = ? LIMIT 1",
                                 {accountRegion_.region()->id()});
}

bool Vaults::didSync() {
    return FetchStamp::anyFetch(db(), "SELECT count(last_fetch) FROM vaults_fetch WHERE region = ?",
                                {accountRegion_.region()->id()});
}

bool Vaults::needSync() {
    auto last = lastSync();
    return !last || nowSeconds() > *last + kFreshSeconds;
}

ApiPath Vaults::apiBasePath() const {
    return ApiPath::account().word("vaults");
}

RequestOperation::Ptr Vaults::apiGet(int limit, const std::string& marker, PageCompletion done) {
    AccountRegionPtr accountRegion = accountRegion_.shared_from_this();
    return accountRegion_.apiPerformJSONRequest(
        {.path = apiBasePath(), .parameters = ApiRequest::pageParameters(limit, marker)},
        AnswerShape::page("VaultList"),
        [done, accountRegion](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done({}, "", error);
                return;
            }
            std::vector<std::string> rejected;
            std::vector<VaultPtr> vaults = multiple(json, accountRegion, &rejected);
            if (!rejected.empty()) {
                Vaults& owner = accountRegion->vaults();
                std::lock_guard lock(owner.rejectedMutex_);
                owner.rejected_.insert(owner.rejected_.end(), rejected.begin(), rejected.end());
            }
            done(vaults, json["Marker"].stringValue(), nullptr);
        });
}

void Vaults::sync(std::function<void(ErrorPtr)> done) {
    AccountRegionPtr accountRegion = accountRegion_.shared_from_this();
    {
        std::lock_guard lock(rejectedMutex_);
        rejected_.clear();
    }
    PageWalk<VaultPtr>::run(
        [accountRegion](const std::string& marker, PageWalk<VaultPtr>::Receive receive) {
            return accountRegion->vaults().apiGet(0, marker, std::move(receive));
        },
        [accountRegion, done](const std::vector<VaultPtr>& fetched, ErrorPtr error) {
            if (error) {
                done(std::move(error));
                return;
            }
            accountRegion->vaults().storeSyncedList(fetched);
            VaultCache::shared().clear();
            done(nullptr);
        },
        // Without a usable endpoint no request is made and `done` is not called: the caller
        // checks the region's endpoint first.
        nullptr);
}

void Vaults::storeSyncedList(const std::vector<VaultPtr>& fetched) {
    AccountRegionPtr self = accountRegion_.shared_from_this();
    const std::string region = accountRegion_.region()->id();
    db().inTransaction([&](Database& database, bool&) {
        std::vector<VaultPtr> local = allFromDB(database);
        const bool wasEmpty = local.empty();
        std::set<std::string> fetchedNames;
        for (const VaultPtr& vault : fetched) {
            vault->setAccountRegion(self);
            fetchedNames.insert(vault->name);
        }
        // A vault missing from the list is hidden, not removed: an answer that lacks it (a
        // service restarted empty, another endpoint) must not cost its journal.
        for (const VaultPtr& vault : local) {
            if (!fetchedNames.contains(vault->name)) {
                vault->hideInDB(database);
            }
        }
        for (const VaultPtr& vault : fetched) {
            vault->saveToDB(database);
        }
        database.executeUpdate("REPLACE INTO vaults_fetch (region, last_fetch) VALUES (?, ?)",
                               {region, nowSeconds()});
        if (wasEmpty) {
            std::vector<VaultPtr> stored = allFromDB(database);
            std::stable_sort(stored.begin(), stored.end(),
                             [](const VaultPtr& a, const VaultPtr& b) {
                                 return lowercased(a->name) < lowercased(b->name);
                             });
            for (std::size_t i = 0; i < stored.size(); ++i) {
                stored[i]->setPositionInDB(database, static_cast<std::int64_t>(i));
            }
        }
    });
}

std::vector<std::string> Vaults::rejectedNames() const {
    std::lock_guard lock(rejectedMutex_);
    return rejected_;
}

std::vector<std::string> Vaults::hiddenNames() {
    std::vector<std::string> names;
    db().inDatabase([&](Database& database) {
        names = nameColumn(
            database.executeQuery("SELECT name FROM hidden_vaults WHERE region = ? ORDER BY name",
                                  {accountRegion_.region()->id()}));
    });
    return names;
}

bool Vaults::forgetHidden(const std::string& name) {
    std::vector<std::string> hidden = hiddenNames();
    if (std::find(hidden.begin(), hidden.end(), name) == hidden.end()) {
        return false;
    }
    VaultPtr vault = Vault::create(accountRegion_.shared_from_this());
    vault->name = name;
    vault->remove();
    return true;
}

void Vaults::deleteAllLocalData() {
    std::vector<VaultPtr> vaults = all();
    for (const std::string& name : hiddenNames()) {
        VaultPtr hidden = Vault::create(accountRegion_.shared_from_this());
        hidden->name = name;
        vaults.push_back(std::move(hidden));
    }
    for (const VaultPtr& vault : vaults) {
        vault->remove();
    }
    FileHelpers::deleteDirectory(directory());
    for (const VaultPtr& vault : vaults) {
        FileHelpers::deleteDirectory(vault->transfersDirectory());
    }
}

const std::string& Vaults::directory() {
    if (!directory_) {
        directory_ = appendingPathComponent(accountRegion_.account()->directory(),
                                            "Vaults." + accountRegion_.region()->id());
    }
    if (!FileHelpers::directoryExists(*directory_)) {
        FileHelpers::createDirectory(*directory_);
    }
    return *directory_;
}

}  // namespace quillon
