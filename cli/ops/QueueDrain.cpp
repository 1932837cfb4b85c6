// QueueDrain: the last, bounded drain of the main queue when a command ends.
// Threads: as in QueueDrain.h (main thread; the queued blocks run on it).

#include "ops/QueueDrain.h"

#include <cstddef>

#include "foundation/MainQueue.h"

namespace quillon::cli::ops {

std::size_t QueueDrain::drain() noexcept {
    // Blocks may queue blocks; a bound keeps a block that always requeues from holding the exit.
    constexpr int kMaxRounds = 1000;
    std::size_t total = 0;
    try {
        for (int round = 0; round < kMaxRounds; ++round) {
            std::size_t ran = MainQueue::runOnce();
            if (ran == 0) {
                break;
            }
            total += ran;
        }
    } catch (...) {
        // A failing block at exit has no one left to tell; the rest of the queue is dropped.
    }
    return total;
}

}  // namespace quillon::cli::ops
