#include "interfaces/platform/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quillon {
namespace {

class MainQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { MainQueue::runOnce(); }
    void TearDown() override { MainQueue::runOnce(); }
};

TEST_F(MainQueueTest, MainThreadIsTheInitialThreadOnly) {
    EXPECT_TRUE(MainQueue::isMainThread());
    bool onOther = true;
    std::thread([&] { onOther = MainQueue::isMainThread(); }).join();
    EXPECT_FALSE(onOther);
}

TEST_F(MainQueueTest, BlocksFromOtherThreadsRunOnThePumpingThreadInOrder) {
    std::vector<int> order;
    std::vector<bool> onMain;
    std::thread([&] {
        for (int i = 0; i < 3; ++i) {
            MainQueue::async([&, i] {
                order.push_back(i);
                onMain.push_back(MainQueue::isMainThread());
            });
        }
    }).join();
    EXPECT_TRUE(order.empty());  // nothing runs until pumped
    EXPECT_EQ(MainQueue::pendingCount(), 3u);
    EXPECT_EQ(MainQueue::runOnce(), 3u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(onMain, (std::vector<bool>{true, true, true}));
}

TEST_F(MainQueueTest, RunOnceLeavesBlocksQueuedByBlocksForTheNextTurn) {
    int inner = 0;
    MainQueue::async([&] { MainQueue::async([&] { ++inner; }); });
    EXPECT_EQ(MainQueue::runOnce(), 1u);
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(MainQueue::runOnce(), 1u);
    EXPECT_EQ(inner, 1);
    EXPECT_EQ(MainQueue::runOnce(), 0u);
}

TEST_F(MainQueueTest, WaitForReturnsOnceABlockSetsTheFlag) {
    std::atomic<bool> done{false};
    std::thread worker([&] { MainQueue::async([&] { done = true; }); });
    EXPECT_TRUE(MainQueue::waitFor(done, 30));
    worker.join();
}

TEST_F(MainQueueTest, WaitForSeesAFlagSetOutsideTheQueue) {
    std::atomic<bool> done{false};
    std::thread worker([&] { done = true; });
    EXPECT_TRUE(MainQueue::waitFor(done, 30));
    worker.join();
}

TEST_F(MainQueueTest, WaitForGivesUpAfterItsTimeout) {
    std::atomic<bool> never{false};
    EXPECT_FALSE(MainQueue::waitFor(never, 0.05));
    std::atomic<bool> already{true};
    EXPECT_TRUE(MainQueue::waitFor(already, 0));
}

TEST_F(MainQueueTest, RunKeepsRunningBlocksUntilItsTime) {
    int ran = 0;
    MainQueue::async([&] { MainQueue::async([&] { ++ran; }); });
    EXPECT_EQ(MainQueue::run(0.05), 2u);
    EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace quillon
