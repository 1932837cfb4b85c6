// NotificationCenter: named notifications delivered to their observers.
// Threads: any thread; a mutex guards the observers, and each observer is called on the posting
//   thread without the lock held (so it may add or remove observers).
#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace quillon {

struct Notification {
    std::string name;
    std::any object;
    std::map<std::string, std::any> userInfo;
};

// Delivers posted notifications to the observers of their name, synchronously on the posting
// thread, in the order the observers were added.
class NotificationCenter {
  public:
    using Observer = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Returns a token for removeObserver; never 0.
    Token addObserver(const std::string& name, Observer observer);
    // Unknown tokens are ignored. An observer may remove itself (or others) while it is called;
    // a removed observer is not called again, not even later in the same post.
    void removeObserver(Token token);

    void post(const std::string& name, std::any object = {},
              std::map<std::string, std::any> userInfo = {});

    std::size_t observerCount(const std::string& name) const;

  private:
    struct Entry {
        std::string name;
        std::shared_ptr<Observer> observer;
    };

    mutable std::mutex mutex_;
    Token nextToken_ = 1;
    std::map<Token, Entry> entries_;
};

}  // namespace quillon
