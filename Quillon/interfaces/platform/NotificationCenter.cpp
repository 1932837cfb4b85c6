// NotificationCenter: observer registration and synchronous delivery. Threads: as in
// NotificationCenter.h.
#include "interfaces/platform/NotificationCenter.h"

#include <any>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quillon {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name,
                                                          Observer observer) {
    std::lock_guard lock(mutex_);
    Token token = nextToken_++;
    entries_.emplace(token, Entry{name, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    entries_.erase(token);
}

void NotificationCenter::post(const std::string& name, std::any object,
                              std::map<std::string, std::any> userInfo) {
    Notification notification{name, std::move(object), std::move(userInfo)};
    std::vector<Token> tokens;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, entry] : entries_) {
            if (entry.name == name) {
                tokens.push_back(token);
            }
        }
    }
    for (Token token : tokens) {
        std::shared_ptr<Observer> observer;
        {
            std::lock_guard lock(mutex_);
            auto it = entries_.find(token);
            if (it == entries_.end()) {
                continue;
            }
            observer = it->second.observer;  // stays alive even if removed during the call
        }
        if (*observer) {
            (*observer)(notification);
        }
    }
}

std::size_t NotificationCenter::observerCount(const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [token, entry] : entries_) {
        count += entry.name == name ? 1 : 0;
    }
    return count;
}

}  // namespace quillon
