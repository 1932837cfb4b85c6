// VaultApi: vault, tag and retrieval policy handlers. Threads: as in VaultApi.h.
#include "sim/VaultApi.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "sim/Exchange.h"
#include "sim/VaultStore.h"

namespace quillon::sim {

namespace {

bool validVaultName(const std::string& name) {
    static const std::regex kPattern("[A-Za-z0-9_.-]{1,255}");
    return std::regex_match(name, kPattern);
}

std::optional<nlohmann::json> parseBody(Exchange& exchange) {
    nlohmann::json document = nlohmann::json::parse(exchange.body(), nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        exchange.error(400, "SerializationException", "Could not parse the request body as JSON");
        return std::nullopt;
    }
    return document;
}

}  // namespace

void VaultApi::vaultNotFound(Exchange& exchange, const std::string& arn) {
    exchange.error(404, "ResourceNotFoundException", "Vault not found for ARN: " + arn);
}

bool VaultApi::pageLimit(Exchange& exchange, size_t fallback, size_t& limit) {
    limit = fallback;
    if (!exchange.hasQuery("limit")) {
        return true;
    }
    std::string text = exchange.query("limit");
    try {
        size_t used = 0;
        long value = std::stol(text, &used);
        if (used == text.size() && value >= 1 && value <= 1000) {
            limit = static_cast<size_t>(value);
            return true;
        }
    } catch (const std::exception&) {
    }
    exchange.error(400, "InvalidParameterValueException",
                   "Invalid limit value: " + text + ". Limit must be between 1 and 1000.");
    return false;
}

nlohmann::ordered_json VaultApi::describeJson(const VaultInfo& info) const {
    nlohmann::ordered_json vault;
    vault["CreationDate"] = info.creationDate;
    vault["LastInventoryDate"] = nullptr;
    if (!info.lastInventoryDate.empty()) {
        vault["LastInventoryDate"] = info.lastInventoryDate;
    }
    vault["NumberOfArchives"] = info.numberOfArchives;
    vault["SizeInBytes"] = info.sizeInBytes;
    vault["VaultARN"] = info.arn;
    vault["VaultName"] = info.name;
    return vault;
}

void VaultApi::list(Exchange& exchange) {
    size_t limit = 0;
    if (!pageLimit(exchange, kDefaultPage, limit)) {
        return;
    }
    // The marker is the ARN of the first vault of the next page.
    std::string from;
    if (exchange.hasQuery("marker")) {
        std::string marker = exchange.query("marker");
        std::string prefix = vaults_.arn(exchange.region(), "");
        if (marker.compare(0, prefix.size(), prefix) != 0 || marker.size() == prefix.size()) {
            exchange.error(400, "InvalidParameterValueException", "Invalid marker: " + marker);
            return;
        }
        from = marker.substr(prefix.size());
    }
    std::string next;
    auto page = vaults_.list(exchange.region(), from, limit, next);
    nlohmann::ordered_json document;
    document["Marker"] = next.empty()
                             ? nlohmann::ordered_json()
                             : nlohmann::ordered_json(vaults_.arn(exchange.region(), next));
    document["VaultList"] = nlohmann::ordered_json::array();
    for (const auto& info : page) {
        document["VaultList"].push_back(describeJson(info));
    }
    exchange.json(200, document);
}

void VaultApi::create(Exchange& exchange, const std::string& name) {
    if (!validVaultName(name)) {
        exchange.error(400, "InvalidParameterValueException",
                       "The specified vault name is not valid: " + name);
        return;
    }
    vaults_.create(exchange.region(), name);
    exchange.empty(201);
    exchange.setHeader("Location", "/" + exchange.segments()[0] + "/vaults/" + name);
}

void VaultApi::describe(Exchange& exchange, const std::string& name) {
    auto info = vaults_.describe(exchange.region(), name);
    if (!info) {
        vaultNotFound(exchange, vaults_.arn(exchange.region(), name));
        return;
    }
    exchange.json(200, describeJson(*info));
}

void VaultApi::remove(Exchange& exchange, const std::string& name) {
    switch (vaults_.remove(exchange.region(), name)) {
        case VaultStore::Outcome::Done:
            exchange.empty(204);
            return;
        case VaultStore::Outcome::NotEmpty:
            exchange.error(
                400, "InvalidParameterValueException",
                "Vault not empty or recently written to: " + vaults_.arn(exchange.region(), name));
            return;
        default:
            vaultNotFound(exchange, vaults_.arn(exchange.region(), name));
    }
}

void VaultApi::tags(Exchange& exchange, const std::string& name) {
    auto tags = vaults_.tags(exchange.region(), name);
    if (!tags) {
        vaultNotFound(exchange, vaults_.arn(exchange.region(), name));
        return;
    }
    nlohmann::ordered_json document;
    document["Tags"] = nlohmann::ordered_json::object();
    for (const auto& [key, value] : *tags) {
        document["Tags"][key] = value;
    }
    exchange.json(200, document);
}

void VaultApi::changeTags(Exchange& exchange, const std::string& name) {
    std::string operation = exchange.query("operation");
    if (operation != "add" && operation != "remove") {
        exchange.error(400, "InvalidParameterValueException",
                       "The operation parameter must be add or remove");
        return;
    }
    auto document = parseBody(exchange);
    if (!document) {
        return;
    }
    VaultStore::Outcome outcome;
    if (operation == "add") {
        const auto& given = (*document)["Tags"];
        if (!given.is_object()) {
            exchange.error(400, "MissingParameterValueException",
                           "Required parameter Tags is missing");
            return;
        }
        std::map<std::string, std::string> tags;
        for (const auto& [key, value] : given.items()) {
            if (!value.is_string() || key.empty() || key.size() > 128 ||
                value.get<std::string>().size() > 256) {
                exchange.error(400, "InvalidParameterValueException", "Invalid tag: " + key);
                return;
            }
            tags[key] = value.get<std::string>();
        }
        outcome = vaults_.addTags(exchange.region(), name, tags);
    } else {
        const auto& given = (*document)["TagKeys"];
        if (!given.is_array()) {
            exchange.error(400, "MissingParameterValueException",
                           "Required parameter TagKeys is missing");
            return;
        }
        std::vector<std::string> keys;
        for (const auto& key : given) {
            if (!key.is_string()) {
                exchange.error(400, "InvalidParameterValueException", "Tag keys must be text");
                return;
            }
            keys.push_back(key.get<std::string>());
        }
        outcome = vaults_.removeTags(exchange.region(), name, keys);
    }
    switch (outcome) {
        case VaultStore::Outcome::Done:
            exchange.empty(204);
            return;
        case VaultStore::Outcome::LimitExceeded:
            exchange.error(400, "LimitExceededException",
                           "The quota for the number of tags that can be assigned to this "
                           "resource has been reached.");
            return;
        default:
            vaultNotFound(exchange, vaults_.arn(exchange.region(), name));
    }
}

void VaultApi::policy(Exchange& exchange) {
    RetrievalPolicy policy = vaults_.policy(exchange.region());
    nlohmann::ordered_json rule;
    if (policy.bytesPerHour) {
        rule["BytesPerHour"] = *policy.bytesPerHour;
    }
    rule["Strategy"] = policy.strategy;
    nlohmann::ordered_json document;
    document["Policy"]["Rules"] = nlohmann::ordered_json::array({rule});
    exchange.json(200, document);
}

void VaultApi::setPolicy(Exchange& exchange) {
    auto document = parseBody(exchange);
    if (!document) {
        return;
    }
    const auto& rules = (*document)["Policy"]["Rules"];
    if (!rules.is_array() || rules.size() != 1 || !rules[0].is_object()) {
        exchange.error(400, "InvalidParameterValueException",
                       "The policy must hold exactly one rule");
        return;
    }
    const auto& rule = rules[0];
    RetrievalPolicy policy;
    policy.strategy = rule.value("Strategy", "");
    if (policy.strategy == "BytesPerHour") {
        if (!rule.contains("BytesPerHour") || !rule["BytesPerHour"].is_number_integer() ||
            rule["BytesPerHour"].get<int64_t>() < 1) {
            exchange.error(400, "InvalidParameterValueException",
                           "BytesPerHour must be a positive whole number for the BytesPerHour "
                           "strategy");
            return;
        }
        policy.bytesPerHour = rule["BytesPerHour"].get<int64_t>();
    } else if (policy.strategy == "FreeTier" || policy.strategy == "None") {
        if (rule.contains("BytesPerHour") && !rule["BytesPerHour"].is_null()) {
            exchange.error(400, "InvalidParameterValueException",
                           "BytesPerHour is only allowed with the BytesPerHour strategy");
            return;
        }
    } else {
        exchange.error(400, "InvalidParameterValueException",
                       "Invalid data retrieval strategy: " + policy.strategy);
        return;
    }
    vaults_.setPolicy(exchange.region(), std::move(policy));
    exchange.empty(204);
}

}  // namespace quillon::sim
