// InventoryIndexWriter: fills the side file's totals and name index of an inventory being
// imported, on a thread of its own, while the import writes the items.
// Threads: add() and finish() from the importing thread only; the worker thread owns its own
//   connection; the queue between them is guarded by a mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon {

// The import hands over each batch of stored items (with their row ids); a worker with its own
// connection to the side file adds their names to the inventory's name index and their sizes
// to its folder totals, one transaction per batch, so that the second core does this work
// while the first parses and stores. At most two batches wait, so memory stays bounded.
class InventoryIndexWriter {
  public:
    struct Entry {
        std::int64_t itemID = 0;
        std::string name;
        std::string dirName;
        std::string baseName;
        std::int64_t size = 0;
    };

    // `storePath` is Store.db; the inventory's side tables exist (InventoryIndex::start).
    InventoryIndexWriter(std::string storePath, std::int64_t inventoryID);
    // Stops the worker; what it has not written is dropped.
    ~InventoryIndexWriter();
    InventoryIndexWriter(const InventoryIndexWriter&) = delete;
    InventoryIndexWriter& operator=(const InventoryIndexWriter&) = delete;

    // Blocks while two batches wait.
    void add(std::vector<Entry> batch);
    // Waits until every batch is written; false when a write failed (the side data of the
    // inventory is then not to be trusted).
    bool finish();

  private:
    void run();

    std::string storePath_;
    std::int64_t inventoryID_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<Entry>> batches_;
    bool closing_ = false;
    bool aborted_ = false;
    bool stopped_ = false;
    bool failed_ = false;
    std::thread worker_;
};

}  // namespace quillon
