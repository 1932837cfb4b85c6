// MainQueue: the process's main queue of blocks, run in order by whoever pumps it.
// Threads: async() and pendingCount() from any thread (a mutex guards the queue); blocks run
//   on the pumping thread, the front end's main thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace quillon {

// The process's main queue: blocks submitted from any thread run, in submission order, on the
// thread that pumps the queue (the front end's main thread). Nothing runs until someone pumps.
class MainQueue {
  public:
    using Block = std::function<void()>;

    static void async(Block block);

    // True on the process's initial thread.
    static bool isMainThread();

    // Runs the blocks queued at the time of the call (not those they queue in turn) without
    // waiting; returns how many ran.
    static std::size_t runOnce();

    // Runs blocks as they arrive until `seconds` have passed; returns how many ran.
    static std::size_t run(double seconds);

    // Pumps the queue until `flag` is true or `timeoutSeconds` have passed; returns the flag.
    static bool waitFor(const std::atomic<bool>& flag, double timeoutSeconds);

    // Blocks submitted and not yet run.
    static std::size_t pendingCount();
};

}  // namespace quillon
