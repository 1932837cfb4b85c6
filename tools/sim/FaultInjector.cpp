// FaultInjector: arming and taking faults. Threads: as in FaultInjector.h.
#include "sim/FaultInjector.h"

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillon::sim {

void FaultInjector::arm(const nlohmann::json& description) {
    if (!description.is_object()) {
        throw std::invalid_argument("a fault is a JSON object");
    }
    Rule rule;
    rule.description = description;
    rule.remaining = description.value("count", 1L);
    if (rule.remaining == 0 || rule.remaining < -1) {
        throw std::invalid_argument("count must be positive or -1");
    }
    rule.passThrough = description.value("after", 0L);
    if (rule.passThrough < 0) {
        throw std::invalid_argument("after must not be negative");
    }
    rule.method = description.value("method", "");
    rule.path = description.value("path", "");
    Fault& fault = rule.fault;
    fault.kindName = description.value("kind", "respond");
    if (fault.kindName == "respond") {
        fault.kind = Fault::Kind::Respond;
    } else if (fault.kindName == "drop") {
        fault.kind = Fault::Kind::Drop;
    } else if (fault.kindName == "lose") {
        fault.kind = Fault::Kind::Lose;
    } else if (fault.kindName == "wrong-tree-hash") {
        fault.kind = Fault::Kind::WrongTreeHash;
    } else if (fault.kindName == "delay") {
        fault.kind = Fault::Kind::Delay;
    } else {
        throw std::invalid_argument("unknown fault kind " + fault.kindName);
    }
    fault.status = description.value("status", 500);
    if (fault.status < 100 || fault.status > 599) {
        throw std::invalid_argument("status out of range");
    }
    if (description.contains("body")) {
        if (!description["body"].is_string()) {
            throw std::invalid_argument("body must be text");
        }
        fault.body = description["body"].get<std::string>();
    }
    if (description.contains("code")) {
        fault.code = description["code"];
    }
    fault.message = description.value("message", fault.message);
    fault.type = description.value("type", fault.status >= 500 ? "Server" : "Client");
    fault.contentType = description.value("contentType", fault.contentType);
    fault.delayMs = description.value("delayMs", 0);
    std::lock_guard lock(mutex_);
    rules_.push_back(std::move(rule));
}

void FaultInjector::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

std::optional<Fault> FaultInjector::take(const std::string& method, const std::string& target) {
    std::lock_guard lock(mutex_);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (!it->method.empty() && it->method != method) {
            continue;
        }
        if (!it->path.empty() && target.find(it->path) == std::string::npos) {
            continue;
        }
        if (it->passThrough > 0) {
            --it->passThrough;
            return std::nullopt;
        }
        Fault fault = it->fault;
        if (it->remaining > 0 && --it->remaining == 0) {
            rules_.erase(it);
        }
        return fault;
    }
    return std::nullopt;
}

nlohmann::json FaultInjector::pending() const {
    std::lock_guard lock(mutex_);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& rule : rules_) {
        nlohmann::json item = rule.description;
        item["remaining"] = rule.remaining;
        list.push_back(std::move(item));
    }
    return list;
}

}  // namespace quillon::sim
