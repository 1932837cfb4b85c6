// InventoryWriter: an inventory job's output document. Threads: as in InventoryWriter.h.
#include "sim/InventoryWriter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "sim/BlobPart.h"

namespace quillon::sim {

namespace {

std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump();
}

}  // namespace

bool InventoryWriter::write(const ByteSink& sink) const {
    auto put = [&](const std::string& text) { return sink(text.data(), text.size()); };
    if (!put("{\"VaultARN\":" + quoted(job_.vaultArn) +
             ",\"InventoryDate\":" + quoted(job_.inventory->date) + ",\"ArchiveList\":[")) {
        return false;
    }
    std::string item;
    bool first = true;
    for (const auto& archive : job_.inventory->archives) {
        item.clear();
        if (!first) {
            item += ',';
        }
        first = false;
        item += "{\"ArchiveId\":" + quoted(archive->id);
        item += ",\"ArchiveDescription\":" + quoted(archive->description);
        item += ",\"CreationDate\":" + quoted(archive->creationDate);
        item += ",\"Size\":" + std::to_string(archive->blob->size());
        item += ",\"SHA256TreeHash\":" + quoted(archive->blob->treeHash()) + "}";
        if (!put(item)) {
            return false;
        }
    }
    return put("]}");
}

uint64_t InventoryWriter::size() const {
    uint64_t total = 0;
    write([&](const char*, size_t length) {
        total += length;
        return true;
    });
    return total;
}

bool InventoryWriter::writeRange(uint64_t offset, uint64_t length, const ByteSink& sink) const {
    uint64_t position = 0;
    uint64_t end = offset + length;
    bool sinkFailed = false;
    write([&](const char* data, size_t size) {
        uint64_t pieceEnd = position + size;
        if (pieceEnd > offset && position < end) {
            uint64_t from = std::max(position, offset);
            uint64_t to = std::min(pieceEnd, end);
            if (!sink(data + (from - position), static_cast<size_t>(to - from))) {
                sinkFailed = true;
                return false;
            }
        }
        position = pieceEnd;
        return position < end;
    });
    return !sinkFailed && position >= end;
}

}  // namespace quillon::sim
