// InventoryIndexWriter: the worker loop and its bounded queue. Threads: as in
// InventoryIndexWriter.h.
#include "inventory/InventoryIndexWriter.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"
#include "inventory/InventoryDir.h"
#include "inventory/InventoryIndex.h"

namespace quillon {

namespace {

constexpr std::size_t kWaitingBatches = 2;

}  // namespace

InventoryIndexWriter::InventoryIndexWriter(std::string storePath, std::int64_t inventoryID)
    : storePath_(std::move(storePath)), inventoryID_(inventoryID), worker_([this] { run(); }) {}

InventoryIndexWriter::~InventoryIndexWriter() {
    {
        std::lock_guard lock(mutex_);
        aborted_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

void InventoryIndexWriter::add(std::vector<Entry> batch) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return batches_.size() < kWaitingBatches || stopped_; });
    if (stopped_) {
        return;
    }
    batches_.push_back(std::move(batch));
    changed_.notify_all();
}

bool InventoryIndexWriter::finish() {
    {
        std::unique_lock lock(mutex_);
        closing_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return batches_.empty() && stopped_; });
    }
    return !failed_;
}

void InventoryIndexWriter::run() {
    // Store.db only carries the side file: this connection writes nothing else, so it never
    // waits for the import's transactions.
    Database db(":memory:");
    bool usable = db.open() && InventoryIndex::attach(db, storePath_);
    if (usable) {
        db.executeUpdate("PRAGMA " + std::string(InventoryIndex::kSchema) + ".cache_size = -16384");
    }
    const std::uint64_t failures = db.storageFailures();
    std::chrono::steady_clock::duration busy{};
    std::int64_t names = 0;
    for (;;) {
        std::vector<Entry> batch;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !batches_.empty() || closing_ || aborted_; });
            if (batches_.empty() || aborted_) {
                break;
            }
            batch = std::move(batches_.front());
            batches_.pop_front();
            changed_.notify_all();
        }
        if (!usable) {
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        names += static_cast<std::int64_t>(batch.size());
        std::unordered_map<std::string, InventoryDir::Totals> folders;
        db.beginTransaction();
        for (const Entry& entry : batch) {
            InventoryIndex::addName(db, inventoryID_, entry.itemID, entry.name);
            if (InventoryIndex::countsAsFile(entry.size, entry.baseName)) {
                InventoryDir::Totals& folder = folders[entry.dirName];
                folder.size += entry.size;
                folder.count += 1;
            }
        }
        for (const auto& [folder, totals] : folders) {
            InventoryIndex::addToTotals(db, inventoryID_, folder, totals);
        }
        if (!db.commit()) {
            db.rollback();
            usable = false;
        }
        busy += std::chrono::steady_clock::now() - start;
    }
    NSLog("Inventory index of inventory %@: %@ names in %@ s of work",
          {std::to_string(inventoryID_), std::to_string(names),
           std::to_string(std::chrono::duration<double>(busy).count())});
    const bool failed = !usable || db.storageFailures() != failures;
    if (failed) {
        NSLog("Inventory index of inventory %@ could not be written: %@",
              {std::to_string(inventoryID_), db.lastErrorMessage()});
    }
    std::lock_guard lock(mutex_);
    failed_ = failed || aborted_;
    stopped_ = true;
    batches_.clear();
    changed_.notify_all();
}

}  // namespace quillon
