// DataRetrievalPolicy: reading, caching and setting the policy. Threads: as in
// DataRetrievalPolicy.h.
#include "vaults/DataRetrievalPolicy.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "accounts/AccountRegion.h"
#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/FetchStamp.h"
#include "foundation/JSON.h"
#include "foundation/Support.h"
#include "interfaces/base/Localization.h"
#include "interfaces/db/Database.h"
#include "interfaces/http/RequestOperation.h"

namespace quillon {

std::string DataRetrievalPolicy::rawValue(Strategy strategy) {
    switch (strategy) {
        case Strategy::FreeTier:
            return "FreeTier";
        case Strategy::BytesPerHour:
            return "BytesPerHour";
        case Strategy::None:
            return "None";
        case Strategy::Unknown:
            break;
    }
    return "";
}

std::optional<DataRetrievalPolicy::Strategy> DataRetrievalPolicy::strategyFromRawValue(
    const std::string& text) {
    for (Strategy strategy :
         {Strategy::Unknown, Strategy::FreeTier, Strategy::BytesPerHour, Strategy::None}) {
        if (rawValue(strategy) == text) {
            return strategy;
        }
    }
    return std::nullopt;
}

std::string DataRetrievalPolicy::description(Strategy strategy) {
    switch (strategy) {
        case Strategy::FreeTier:
            return Localization::string("drp.free_tier_only");
        case Strategy::BytesPerHour:
            return Localization::string("drp.max_retrieval_rate");
        case Strategy::None:
            return Localization::string("drp.no_retrieval_policy");
        case Strategy::Unknown:
            break;
    }
    return Localization::string("drp.unknown");
}

DataRetrievalPolicy::DataRetrievalPolicy(AccountRegion& accountRegion)
    : accountRegion_(accountRegion) {
    read();
}

DatabaseQueue& DataRetrievalPolicy::db() {
    return accountRegion_.db();
}

std::string DataRetrievalPolicy::description() const {
    if (strategy != Strategy::BytesPerHour) {
        return description(strategy);
    }
    return Localization::format("drp.max_retrieval_rate_x", {bytesFormat(bytesPerHour)});
}

void DataRetrievalPolicy::read(const JSON& json) {
    JSON rule = json["Policy"]["Rules"][0];
    strategy = strategyFromRawValue(rule["Strategy"].stringValue()).value_or(Strategy::Unknown);
    bytesPerHour = rule["BytesPerHour"].int64Value();
}

void DataRetrievalPolicy::read() {
    db().inDatabase([this](Database& database) {
        auto rows = database.executeQuery(
            "SELECT strategy, bytes_per_hour FROM data_retrieval_policies WHERE region = ? "
            "LIMIT 1",
            {accountRegion_.region()->id()});
        if (!rows || !rows->next()) {
            return;
        }
        strategy = strategyFromRawValue(rows->stringForColumn("strategy").value_or(""))
                       .value_or(Strategy::Unknown);
        bytesPerHour = rows->longForColumn("bytes_per_hour");
    });
}

void DataRetrievalPolicy::save() {
    db().inDatabase([this](Database& database) {
        database.executeUpdate(
            "INSERT OR REPLACE INTO data_retrieval_policies (strategy, bytes_per_hour, region, "
            "last_fetch) VALUES (:strategy, :bytes_per_hour, :region, :last_fetch)",
            SqlNamedArgs{{"strategy", rawValue(strategy)},
                         {"bytes_per_hour", bytesPerHour},
                         {"region", accountRegion_.region()->id()},
                         {"last_fetch", nowSeconds()}});
    });
}

std::optional<std::int64_t> DataRetrievalPolicy::lastSync() {
    return FetchStamp::lastFetch(
        db(), "SELECT last_fetch FROM data_retrieval_policies WHERE region = ? LIMIT 1",
        {accountRegion_.region()->id()});
}

bool DataRetrievalPolicy::didSync() {
    return FetchStamp::anyFetch(
        db(), "SELECT count(last_fetch) FROM data_retrieval_policies WHERE region = ?",
        {accountRegion_.region()->id()});
}

bool DataRetrievalPolicy::needSync() {
    auto last = lastSync();
    return !last || nowSeconds() > *last + kFreshSeconds;
}

RequestOperation::Ptr DataRetrievalPolicy::apiGet(std::function<void(ErrorPtr)> done) {
    // The account region owns this object; the completion keeps it alive.
    auto keep = accountRegion_.shared_from_this();
    return accountRegion_.apiPerformJSONRequest(
        {.path = apiBasePath()}, AnswerShape::object().array("/Policy/Rules"),
        [this, keep, done](const JSON& json, ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done(error);
                return;
            }
            read(json);
            save();
            done(nullptr);
        });
}

RequestOperation::Ptr DataRetrievalPolicy::apiPut(Strategy newStrategy,
                                                  std::int64_t newBytesPerHour,
                                                  std::function<void(ErrorPtr)> done) {
    JSON::Value rule = {{"Strategy", rawValue(newStrategy)}};
    if (newStrategy == Strategy::BytesPerHour) {
        rule["BytesPerHour"] = newBytesPerHour;
    }
    JSON::Value body = {{"Policy", {{"Rules", JSON::Value::array({rule})}}}};
    auto keep = accountRegion_.shared_from_this();
    return accountRegion_.apiPerformRequest(
        {.method = "PUT", .path = apiBasePath(), .parameters = JSON(body)},
        [this, keep, newStrategy, newBytesPerHour, done](ErrorPtr error, RequestOperation::Ptr) {
            if (error) {
                done(error);
                return;
            }
            strategy = newStrategy;
            bytesPerHour = newBytesPerHour;
            done(nullptr);
        });
}

}  // namespace quillon
