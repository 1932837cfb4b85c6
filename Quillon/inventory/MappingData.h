// MappingData: archive paths from another client's database, applied to an inventory.
// Threads: the caller's thread; importInto posts progress to the main queue, whose answer
//   reaches the import through an atomic flag.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace quillon {

class Inventory;

// Archive paths kept by another Glacier client in a SQLite database of its own (table
// "file_info_tb", columns "archiveID" and "basePath"), read into memory so that an imported
// inventory can show them.
class MappingData {
  public:
    // Processed rows, total rows, rows updated so far; false asks to stop.
    using Progress =
        std::function<bool(std::int64_t processed, std::int64_t total, std::int64_t updated)>;

    std::map<std::string, std::string> map;

    // Fills the map from the database file, opened read-only and never written; returns the
    // number of entries. Throws ModelError::invalidFileFormat for a file that is not such a
    // database or yields no mapping.
    std::int64_t load(const std::string& path);
    std::optional<std::string> descForId(const std::string& archiveID) const;

    // Rewrites the descriptions (and so the paths) of the inventory's items that the mapping
    // knows and rebuilds their folders; returns the number of items updated. Progress is
    // submitted to the main queue every 100 rows; a false answer there ends the import with
    // ModelError::importCancelled at the next row (rows updated before stay updated).
    std::int64_t importInto(Inventory& inventory, const Progress& progress = {}) const;
};

}  // namespace quillon
