// QueueDrain: runs what is left on the main queue when a command ends.
//
// Work finished on a client thread reports to the main thread through the main queue: the vault
// log's "Archive added" and "Archive deleted" lines, notifications. A command that has its
// answer stops pumping the queue, so without a last drain those blocks die with the process.
//
// Threads: created and destroyed on the main thread, around the whole run of a command.
#pragma once

#include <cstddef>

namespace quillon::cli::ops {

class QueueDrain {
  public:
    QueueDrain() = default;
    QueueDrain(const QueueDrain&) = delete;
    QueueDrain& operator=(const QueueDrain&) = delete;
    ~QueueDrain() { drain(); }

    // Runs queued blocks, and those they queue in turn, until the queue is empty (at most a
    // bounded number of rounds). Never throws. Returns how many ran.
    static std::size_t drain() noexcept;
};

}  // namespace quillon::cli::ops
