// InventoryDocument: the self-description of a downloaded inventory document, checked whole.
// Threads: see below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillon {

// What a downloaded inventory document says about itself, read from end to end with the
// streaming parser before any of it is imported (memory stays bounded by one block): a
// document is usable only when it is one complete, well-formed JSON object with its vault ARN,
// a valid inventory date and an "ArchiveList" array. Import only what passes: a document cut
// short, or damaged anywhere (a stray NUL byte included), would otherwise replace the stored
// inventory with part of itself.
//
// Thread rules: a plain value; read() touches nothing but the file.
struct InventoryDocument {
    std::string vaultARN;
    double inventoryDate = 0;   // seconds since 1970
    std::int64_t archives = 0;  // archive objects in the list

    // The document at `path`, or none with a sentence in `problem` saying what is wrong.
    static std::optional<InventoryDocument> read(const std::string& path, std::string& problem);
};

}  // namespace quillon
