// AccountRegion: selection, tag lookups and the signed request path. Threads: as in
// AccountRegion.h.
#include "accounts/AccountRegion.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/AWSErrorTranslation.h"
#include "accounts/Account.h"
#include "accounts/ApiRequest.h"
#include "accounts/Region.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "foundation/ModelError.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/base/Localization.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/RequestOperation.h"
#include "interfaces/http/SigningClock.h"
#include "interfaces/http/URLRequest.h"
#include "interfaces/platform/UserDefaults.h"
#include "vaults/DataRetrievalPolicy.h"
#include "vaults/Tag.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon {

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
        throw ModelError::secretKeyNotSet(account_->missingSecretReason());
    }
    auto parts = URLParts::parse(*baseURL);
    std::optional<std::string> host;
    if (parts) {
        host = parts->hostName;
    }
    return account_->glacierManager().requestSerializer().prepareGlacierRequest(
        request, host, account_->accessKey, secret, date.value_or(SigningClock::now()),
        account_->sessionTokenForUse(), region_->signingRegion());
}

void AccountRegion::allowResigning(const RequestOperation::Ptr& operation) {
    if (!operation) {
        return;
    }
    std::weak_ptr<AccountRegion> weak = shared_from_this();
    operation->setResigner([weak](const URLRequest& request) -> std::optional<URLRequest> {
        auto self = weak.lock();
        if (!self) {
            return std::nullopt;
        }
        try {
            return self->apiSignRequest(request);
        } catch (const ModelError&) {
            return std::nullopt;
        }
    });
}

std::optional<URLRequest> AccountRegion::buildRequest(const ApiRequest& apiRequest) {
    auto baseURL = region_->baseURL();
    if (!baseURL) {
        return std::nullopt;
    }
    std::string url = apiRequest.path.urlWith(*baseURL);
    if (!apiRequest.query.empty()) {
        url += "?" + apiRequest.query;
    }
    URLRequest request = account_->glacierManager().requestSerializer().requestWithMethod(
        apiRequest.method, url, apiRequest.parameters);
    for (const auto& [field, value] : apiRequest.headers) {
        request.addValue(value, field);
    }
    return request;
}

AccountRegion::PreparedRequest AccountRegion::apiPrepareRequest(const ApiRequest& apiRequest) {
    if (apiRequest.path.error()) {
        return {std::nullopt, apiRequest.path.error()};
    }
    auto request = buildRequest(apiRequest);
    if (!request) {
        return {};
    }
    try {
        return {apiSignRequest(*request), nullptr};
    } catch (const ModelError& error) {
        return {std::nullopt, error.toErrorPtr()};
    }
}

RequestOperation::Ptr AccountRegion::apiPerformRequest(const ApiRequest& apiRequest,
                                                       RequestCompletion done) {
    PreparedRequest prepared = apiPrepareRequest(apiRequest);
    if (!prepared.request) {
        if (prepared.error) {
            done(prepared.error, nullptr);
        }
        return nullptr;
    }
    RegionPtr region = region_;
    std::weak_ptr<AccountRegion> weak = weak_from_this();
    auto learnTime = [weak](const RequestOperation::Ptr& op) {
        if (auto self = weak.lock()) {
            self->serviceClock_.observe(op->response().headers);
        }
    };
    auto operation = account_->glacierManager().HTTPRequestOperationWithRequest(
        std::move(*prepared.request),
        [done, learnTime](const RequestOperation::Ptr& op, const JSON&) {
            learnTime(op);
            done(nullptr, op);
        },
        [done, region, learnTime](const RequestOperation::Ptr& op, const Error& error) {
            learnTime(op);
            done(translateError(error, region).share(), op);
        });
    allowResigning(operation);
    if (apiRequest.addToQueue) {
        account_->glacierManager().operationQueue().addOperation(operation);
    }
    return operation;
}

RequestOperation::Ptr AccountRegion::apiPerformJSONRequest(const ApiRequest& apiRequest,
                                                           const AnswerShape& shape,
                                                           JSONCompletion done) {
    // An answer is used only when it is JSON of the shape the operation expects. Reading a
    // body that does not parse as the null value with no error, as the HTTP layer's JSON
    // reading would, let a 200 answer with an HTML login page stand for an empty vault list,
    // and the sync that followed deleted every vault of the region locally.
    return apiPerformRequest(apiRequest, [shape, done](ErrorPtr error, RequestOperation::Ptr op) {
        if (error) {
            done(JSON(), std::move(error), std::move(op));
            return;
        }
        std::optional<JSON> answer;
        if (!op->responseData().empty()) {
            const auto& data = op->responseData();
            answer = JSON::tryParse(
                std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        }
        if (!answer || !shape.matches(*answer)) {
            done(JSON(), BaseModel::invalidApiResponseError(), std::move(op));
            return;
        }
        done(*answer, nullptr, std::move(op));
    });
}

ErrorPtr AccountRegion::noEndpointError() const {
    return BaseModel::genericError(
        Localization::format("error.region_no_endpoint", {region_->id()}));
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
