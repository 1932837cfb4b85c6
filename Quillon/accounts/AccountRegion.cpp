#include "accounts/AccountRegion.h"

#include <algorithm>
#include <cctype>

#include "accounts/AWSErrorTranslation.h"
#include "foundation/BaseModel.h"
#include "foundation/ModelError.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/base/Localization.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/platform/UserDefaults.h"
#include "vaults/DataRetrievalPolicy.h"
#include "vaults/Tag.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon {

namespace {

bool allowedInURLPath(unsigned char c) {
    if (std::isalnum(c)) {
        return true;
    }
    switch (c) {
        case '-':
        case '.':
        case '_':
        case '~':
        case '!':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '+':
        case ',':
        case ';':
        case '=':
        case ':':
        case '@':
        case '/':
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string appendingURLPath(const std::string& baseURL, const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : path) {
        if (allowedInURLPath(c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 15];
        }
    }
    std::string url = baseURL;
    if (url.empty() || url.back() != '/') {
        url += '/';
    }
    while (!encoded.empty() && encoded.front() == '/') {
        encoded.erase(encoded.begin());
    }
    return url + encoded;
}

AccountRegion::AccountRegion(Token, AccountPtr account, RegionPtr region)
    : account_(std::move(account)), region_(std::move(region)) {}

AccountRegion::~AccountRegion() = default;

AccountRegion::Ptr AccountRegion::create(AccountPtr account, RegionPtr region) {
    return std::make_shared<AccountRegion>(Token{}, std::move(account), std::move(region));
}

Vaults& AccountRegion::vaults() {
    if (!vaults_) {
        vaults_ = std::make_unique<Vaults>(*this);
    }
    return *vaults_;
}

DataRetrievalPolicy& AccountRegion::dataRetrievalPolicy() {
    if (!dataRetrievalPolicy_) {
        dataRetrievalPolicy_ = std::make_unique<DataRetrievalPolicy>(*this);
    }
    return *dataRetrievalPolicy_;
}

bool AccountRegion::operator==(const AccountRegion& other) const {
    return region_->id() == other.region_->id() && account_->id == other.account_->id;
}

std::string AccountRegion::description() {
    std::string text = region_->name();
    if (vaults().didSync()) {
        text += " - " + Localization::format("%d_vaults", {std::int64_t{vaults().count()}});
    }
    return text;
}

std::string AccountRegion::storageKeySelectedAccountRegion() const {
    return "storageKeySelectedAccountRegionPrefix." + std::to_string(account_->id);
}

std::string AccountRegion::storageKeyPrefix() const {
    return "account." + std::to_string(account_->id) + "." + region_->id();
}

bool AccountRegion::selected() const {
    auto value = UserDefaults::standard()->string(storageKeySelectedAccountRegion());
    return value && *value == region_->id();
}

void AccountRegion::select() {
    auto defaults = UserDefaults::standard();
    defaults->setString(storageKeySelectedAccountRegion(), region_->id());
    defaults->synchronize();
}

void AccountRegion::unselect() {
    auto defaults = UserDefaults::standard();
    defaults->remove(storageKeySelectedAccountRegion());
    defaults->synchronize();
}

namespace {

std::vector<std::string> textColumn(DatabaseQueue& queue, const std::string& sql,
                                    const SqlArgs& args, const std::string& column) {
    std::vector<std::string> values;
    queue.inDatabase([&](Database& db) {
        if (auto rows = db.executeQuery(sql, args)) {
            while (rows->next()) {
                if (auto value = rows->stringForColumn(column)) {
                    values.push_back(*value);
                }
            }
        }
    });
    return values;
}

}  // namespace

std::vector<std::string> AccountRegion::autocompleteTagKey(const std::string& prefix) {
    return textColumn(db(),
                      "SELECT DISTINCT(key) FROM tags WHERE region = ? AND key LIKE ? LIMIT 20",
                      {region_->id(), prefix + "%"}, "key");
}

std::vector<std::string> AccountRegion::autocompleteTagValue(const std::string& prefix,
                                                             const std::string& key) {
    return textColumn(
        db(),
        "SELECT DISTINCT(value) FROM tags WHERE region = ? AND key = ? AND value LIKE ? LIMIT 20",
        {region_->id(), key, prefix + "%"}, "value");
}

std::vector<Tag> AccountRegion::findCommonTags(const std::vector<std::shared_ptr<Vault>>& vaults) {
    std::string placeholders;
    SqlArgs args;
    for (const auto& vault : vaults) {
        placeholders += placeholders.empty() ? "?" : ", ?";
        args.push_back(vault->name);
    }
    args.push_back(region_->id());
    std::string sql = "SELECT key, value, region, vault, count(*) FROM tags WHERE vault IN (" +
                      placeholders + ") AND region = ? GROUP BY key, value HAVING count(*) > 1";
    std::vector<Tag> tags;
    db().inDatabase([&](Database& db) {
        auto rows = db.executeQuery(sql, args);
        if (!rows) {
            return;
        }
        while (rows->next()) {
            auto key = rows->stringForColumn("key");
            auto value = rows->stringForColumn("value");
            if (!key || !value) {
                continue;
            }
            Tag tag{*key, *value};
            if (std::find(tags.begin(), tags.end(), tag) == tags.end()) {
                tags.push_back(std::move(tag));
            }
        }
    });
    return tags;
}

URLRequest AccountRegion::apiSignRequest(
    const URLRequest& request, std::optional<std::chrono::system_clock::time_point> date) {
    auto baseURL = region_->baseURL();
    if (!baseURL) {
        return request;
    }
    std::string secret = account_->secret();
    if (secret.empty()) {
        throw ModelError::secretKeyNotSet();
    }
    auto parts = URLParts::parse(*baseURL);
    std::optional<std::string> host;
    if (parts) {
        host = parts->hostName;
    }
    return account_->glacierManager().requestSerializer().prepareGlacierRequest(
        request, host, account_->accessKey, secret,
        date.value_or(std::chrono::system_clock::now()));
}

std::optional<URLRequest> AccountRegion::buildRequest(const std::string& method,
                                                      const std::string& urlPath,
                                                      const std::optional<JSON>& parameters,
                                                      const Headers& headers,
                                                      const std::string& query) {
    auto baseURL = region_->baseURL();
    if (!baseURL) {
        return std::nullopt;
    }
    std::string url = appendingURLPath(*baseURL, urlPath.empty() ? "" : urlPath.substr(1));
    if (!query.empty()) {
        url += "?" + query;
    }
    URLRequest request =
        account_->glacierManager().requestSerializer().requestWithMethod(method, url, parameters);
    for (const auto& [field, value] : headers) {
        request.addValue(value, field);
    }
    return request;
}

RequestOperation::Ptr AccountRegion::apiPerformRequest(
    const std::string& method, const std::string& urlPath, const std::optional<JSON>& parameters,
    const Headers& headers, const std::string& query, bool addOperation, RequestCompletion done) {
    auto request = buildRequest(method, urlPath, parameters, headers, query);
    if (!request) {
        return nullptr;
    }
    URLRequest signedRequest;
    try {
        signedRequest = apiSignRequest(*request);
    } catch (const ModelError& error) {
        done(error.toErrorPtr(), nullptr);
        return nullptr;
    }
    RegionPtr region = region_;
    auto operation = account_->glacierManager().HTTPRequestOperationWithRequest(
        std::move(signedRequest),
        [done](const RequestOperation::Ptr& op, const JSON&) { done(nullptr, op); },
        [done, region](const RequestOperation::Ptr& op, const Error& error) {
            done(translateError(error, region).share(), op);
        });
    if (addOperation) {
        account_->glacierManager().operationQueue().addOperation(operation);
    }
    return operation;
}

RequestOperation::Ptr AccountRegion::apiPerformJSONRequest(
    const std::string& method, const std::string& urlPath, const std::optional<JSON>& parameters,
    const Headers& headers, const std::string& query, bool addOperation, JSONCompletion done) {
    auto request = buildRequest(method, urlPath, parameters, headers, query);
    if (!request) {
        return nullptr;
    }
    URLRequest signedRequest;
    try {
        signedRequest = apiSignRequest(*request);
    } catch (const ModelError& error) {
        done(JSON(), error.toErrorPtr(), nullptr);
        return nullptr;
    }
    RegionPtr region = region_;
    auto operation = account_->glacierManager().HTTPRequestOperationWithRequest(
        std::move(signedRequest),
        [done](const RequestOperation::Ptr& op, const JSON&) {
            if (op->responseData().empty()) {
                done(JSON(), BaseModel::invalidApiResponseError(), op);
                return;
            }
            done(JSON::parse(op->responseData()), nullptr, op);
        },
        [done, region](const RequestOperation::Ptr& op, const Error& error) {
            done(JSON(), translateError(error, region).share(), op);
        });
    if (addOperation) {
        account_->glacierManager().operationQueue().addOperation(operation);
    }
    return operation;
}

void AccountRegion::checkCredentials(std::function<void(ErrorPtr)> done) {
    auto self = shared_from_this();
    vaults().apiGet(1, "", [self, done](const auto&, const std::string&, ErrorPtr error) {
        if (error) {
            NSLog("checkCredentials account=%@ region=%@ error=%@",
                  {std::to_string(self->account_->id), self->region_->id(),
                   error->localizedDescription()});
        }
        done(error);
    });
}

}  // namespace quillon
