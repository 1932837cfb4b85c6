// InventoryWriter: streams an inventory job's JSON output, whole or a byte range of it.
// Threads: reads only the job, which is immutable once stored; any thread, one per request.
#pragma once

#include <cstdint>

#include "sim/BlobPart.h"
#include "sim/JobStore.h"

namespace quillon::sim {

// Writes an inventory job's output, the JSON document with "VaultARN" and "InventoryDate"
// before "ArchiveList", piece by piece so that no whole document is ever held.
class InventoryWriter {
  public:
    explicit InventoryWriter(const Job& job) : job_(job) {}

    bool write(const ByteSink& sink) const;
    uint64_t size() const;
    // Only bytes [offset, offset + length) of the document reach `sink`.
    bool writeRange(uint64_t offset, uint64_t length, const ByteSink& sink) const;

  private:
    const Job& job_;
};

}  // namespace quillon::sim
