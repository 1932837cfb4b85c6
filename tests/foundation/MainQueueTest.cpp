// Tests of the main queue and of the notification centre that posts through it. Each test says
// which threads it uses.
#include "foundation/MainQueue.h"
#include "interfaces/platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace quillon {
namespace {

class MainQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { MainQueue::runOnce(); }
    void TearDown() override { MainQueue::runOnce(); }
};

TEST_F(MainQueueTest, BlocksFromOtherThreadsRunOnTheInitialThreadInOrderWhenPumped) {
    EXPECT_TRUE(MainQueue::isMainThread());
    bool onOther = true;
    std::vector<int> order;
    std::vector<bool> onMain;
    std::thread([&] {
        onOther = MainQueue::isMainThread();
        for (int i = 0; i < 3; ++i) {
            MainQueue::async([&, i] {
                order.push_back(i);
                onMain.push_back(MainQueue::isMainThread());
            });
        }
    }).join();
    EXPECT_FALSE(onOther);
    EXPECT_TRUE(order.empty());  // nothing runs until pumped
    EXPECT_EQ(MainQueue::pendingCount(), 3u);
    EXPECT_EQ(MainQueue::runOnce(), 3u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(onMain, (std::vector<bool>{true, true, true}));
}

TEST_F(MainQueueTest, RunOnceRunAndWaitForPumpTheQueueAsTheySay) {
    int inner = 0;
    MainQueue::async([&] { MainQueue::async([&] { ++inner; }); });
    EXPECT_EQ(MainQueue::runOnce(), 1u);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(MainQueue::runOnce(), 1u);
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(MainQueue::runOnce(), 0u);
    std::atomic<bool> done{false};
    std::jthread worker([&] { MainQueue::async([&] { done = true; }); });
    EXPECT_TRUE(MainQueue::waitFor(done, 30));
    std::atomic<bool> outside{false};
    std::jthread setter([&] { outside = true; });
    EXPECT_TRUE(MainQueue::waitFor(outside, 30));
    std::atomic<bool> never{false};
    EXPECT_FALSE(MainQueue::waitFor(never, 0.05));
    std::atomic<bool> already{true};
    EXPECT_TRUE(MainQueue::waitFor(already, 0));
    int ran = 0;
    MainQueue::async([&] { MainQueue::async([&] { ++ran; }); });
    EXPECT_EQ(MainQueue::run(0.05), 2u);
    EXPECT_EQ(ran, 1);
}

TEST(NotificationCenterTest, DeliversOnThePostingThreadToObserversOfTheName) {
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
    std::thread::id calledOn;
    center.addObserver("X", [&](const Notification&) { calledOn = std::this_thread::get_id(); });
    std::thread::id poster;
    std::thread([&] {
        poster = std::this_thread::get_id();
        center.post("X");
    }).join();
    EXPECT_EQ(calledOn, poster);
}

TEST(NotificationCenterTest, ObserverMayRemoveObserversOrAddOnesForTheNextPost) {
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
    NotificationCenter next;
    int added = 0;
    next.addObserver("N", [&](const Notification&) {
        next.addObserver("N", [&](const Notification&) { ++added; });
    });
    next.post("N");
    EXPECT_EQ(added, 0);
    next.post("N");
    EXPECT_EQ(added, 1);
}

}  // namespace
}  // namespace quillon
