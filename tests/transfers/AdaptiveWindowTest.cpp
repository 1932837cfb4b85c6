// Tests of AdaptiveWindow: halving on throttling, one reduction per burst, growth after
// successes, and the pauses' bounds. Threads: the test's thread only.
#include <gtest/gtest.h>

#include "transfers/AdaptiveWindow.h"

namespace quillon {
namespace {

using std::chrono::milliseconds;

TEST(AdaptiveWindowTest, HalvesOncePerBurstPausesLongerInARowAndGrowsBack) {
    AdaptiveWindow window(8, 10, milliseconds(100), milliseconds(350));
    const std::uint64_t early = window.nextTicket();
    const std::uint64_t late = window.nextTicket();
    milliseconds first = window.throttled(late);
    EXPECT_EQ(window.size(), 4);
    EXPECT_GE(first.count(), 50);
    EXPECT_LE(first.count(), 100);
    EXPECT_EQ(window.throttled(early).count(), 0);  // sent before the reduction: same burst
    EXPECT_EQ(window.size(), 4);
    milliseconds second = window.throttled(window.nextTicket());
    EXPECT_EQ(window.size(), 2);
    EXPECT_GE(second.count(), 100);
    EXPECT_LE(second.count(), 200);
    for (int i = 0; i < 3; ++i) {
        window.throttled(window.nextTicket());
    }
    EXPECT_EQ(window.size(), 1);  // never below one
    milliseconds capped = window.throttled(window.nextTicket());
    EXPECT_GE(capped.count(), 175);
    EXPECT_LE(capped.count(), 350);

    // A whole window of successes in a row widens it by one, up to the maximum.
    window.succeeded();
    EXPECT_EQ(window.size(), 2);
    window.succeeded();
    EXPECT_EQ(window.size(), 2);
    window.succeeded();
    EXPECT_EQ(window.size(), 3);
    for (int i = 0; i < 200; ++i) {
        window.succeeded();
    }
    EXPECT_EQ(window.size(), 10);
    // After the successes the pauses start small again.
    EXPECT_LE(window.throttled(window.nextTicket()).count(), 100);
}

}  // namespace
}  // namespace quillon
