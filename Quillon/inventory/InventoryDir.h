// InventoryDir: one folder of an inventory's tree as a browser shows it.
// Threads: not thread-safe; one owner. Reads go through the vault's database queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "inventory/InventoryItem.h"

namespace quillon {

class Inventory;

// One folder of an inventory's tree as a browser shows it. The root has empty names.
class InventoryDir {
  public:
    InventoryDir(std::shared_ptr<Inventory> inventory, std::string baseName, std::string dirName);

    const std::string& baseName() const { return baseName_; }
    const std::string& dirName() const { return dirName_; }
    // The folder path without leading or trailing "/"; empty for the root.
    std::string name() const;
    const std::shared_ptr<Inventory>& inventory() const { return inventory_; }

    // The 1-byte folder archive "<name>/" of this folder, if there is one; none for the root.
    InventoryItemPtr inventoryItem() const;

    // Always true for the root. Setting a new value stores it in the folder row.
    bool expanded() const;
    void setExpanded(bool expanded);
    // 0 for the root, else the number of path components.
    int depth();
    // Whether the folder row exists.
    bool exists() const;
    // Child folders, ordered by base name byte-wise.
    std::vector<InventoryDir> subdirectories() const;
    // Every folder below this one (this one not included), in one query, ordered by name
    // byte-wise: each folder's children in base-name order, as subdirectories() lists them.
    std::vector<InventoryDir> descendants() const;

    // Total size and count of the visible files in the folder and below (1-byte archives
    // excluded); for the root only top-level files. `done(false, 0, 0)` when the query fails.
    void calculateSize(const std::function<void(bool, std::int64_t, std::int64_t)>& done) const;

    // Size and count of visible files.
    struct Totals {
        std::int64_t size = 0;
        std::int64_t count = 0;
    };
    // Folder names to totals, found by std::string or std::string_view alike.
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept {
            return std::hash<std::string_view>{}(name);
        }
    };
    using TotalsMap = std::unordered_map<std::string, Totals, NameHash, std::equal_to<>>;
    static constexpr int kAllLevels = std::numeric_limits<int>::max();
    // Totals of the visible files (1-byte archives excluded) in this folder and below it, by
    // exact path (no wildcards), keyed by folder name: one entry for this folder and for every
    // folder at most `levels` below it that holds files (1: the children), each covering its
    // whole subtree. The root's entry ("") covers the whole inventory. One pass over the
    // items of the subtree: the root's in row order, a folder's in folder order.
    // Taken from the totals kept in the inventory index while they match the items, else
    // added up as freshTotals does.
    TotalsMap subtreeTotals(int levels = kAllLevels) const;
    // The same, always added up from the items.
    TotalsMap freshTotals(int levels = kAllLevels) const;

  private:
    std::shared_ptr<Inventory> inventory_;
    std::string baseName_;
    std::string dirName_;
    bool expanded_ = false;
    int depth_ = -1;
};

}  // namespace quillon
