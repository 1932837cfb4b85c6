#include "interfaces/platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace quillon {
namespace {

TEST(NotificationCenterTest, DeliversToObserversOfTheNameWithObjectAndUserInfo) {
    NotificationCenter center;
    std::vector<std::string> seen;
    auto a = center.addObserver("A", [&](const Notification& n) {
        seen.push_back("a:" + std::any_cast<std::string>(n.object) + ":" +
                       std::to_string(std::any_cast<int>(n.userInfo.at("count"))));
    });
    center.addObserver("B", [&](const Notification&) { seen.push_back("b"); });
    EXPECT_NE(a, 0u);
    center.post("A", std::string("vault"), {{"count", 3}});
    EXPECT_EQ(seen, (std::vector<std::string>{"a:vault:3"}));
    center.removeObserver(a);
    center.removeObserver(a);  // unknown tokens are ignored
    center.post("A", std::string("vault"));
    EXPECT_EQ(seen.size(), 1u);
}

TEST(NotificationCenterTest, ObserversRunOnThePostingThread) {
    NotificationCenter center;
    std::thread::id calledOn;
    center.addObserver("X", [&](const Notification&) { calledOn = std::this_thread::get_id(); });
    std::thread::id poster;
    std::thread t([&] {
        poster = std::this_thread::get_id();
        center.post("X");
    });
    t.join();
    EXPECT_EQ(calledOn, poster);
}

TEST(NotificationCenterTest, ObserverMayRemoveItselfOrALaterObserverWhileCalled) {
    NotificationCenter center;
    int first = 0;
    int second = 0;
    NotificationCenter::Token self = 0;
    NotificationCenter::Token later = 0;
    self = center.addObserver("N", [&](const Notification&) {
        ++first;
        center.removeObserver(self);
        center.removeObserver(later);
    });
    later = center.addObserver("N", [&](const Notification&) { ++second; });
    center.post("N");
    center.post("N");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(center.observerCount("N"), 0u);
}

TEST(NotificationCenterTest, ObserverAddedDuringAPostWaitsForTheNextPost) {
    NotificationCenter center;
    int added = 0;
    center.addObserver("N", [&](const Notification&) {
        center.addObserver("N", [&](const Notification&) { ++added; });
    });
    center.post("N");
    EXPECT_EQ(added, 0);
    center.post("N");
    EXPECT_EQ(added, 1);
}

}  // namespace
}  // namespace quillon
