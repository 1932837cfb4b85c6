// InventoryDir: folder listing, sizes and the tree walk. Threads: as in InventoryDir.h.
#include "inventory/InventoryDir.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interfaces/db/Database.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryIndex.h"
#include "inventory/InventoryItem.h"
#include "vaults/Vault.h"  // IWYU pragma: keep

namespace quillon {

namespace {

// Adds up files by folder, as rows come in any order, for InventoryDir::subtreeTotals: each
// folder is cut to at most `levels` components below the top folder, and at the end every
// folder's files count in it and in each ancestor up to the top.
class FolderTotalsAdder {
  public:
    FolderTotalsAdder(std::string top, int levels) : top_(std::move(top)), levels_(levels) {}
    void add(std::string_view folder, InventoryDir::Totals files);
    InventoryDir::TotalsMap finish();

  private:
    std::optional<std::string_view> cut(std::string_view folder) const;

    std::string top_;
    int levels_;
    InventoryDir::TotalsMap own_;
    std::string last_;
    InventoryDir::Totals* current_ = nullptr;
};

// The folder that a row's files count in: its own, or its ancestor `levels` below the top;
// none for a folder outside the top's subtree.
std::optional<std::string_view> FolderTotalsAdder::cut(std::string_view folder) const {
    // Only this folder and the names below it count ("a/b" for "a", not "a.b").
    if (folder.size() <= top_.size()) {
        if (folder != top_) {
            return std::nullopt;
        }
        return folder;
    }
    std::size_t at = 0;
    if (!top_.empty()) {
        if (folder[top_.size()] != '/' || folder.compare(0, top_.size(), top_) != 0) {
            return std::nullopt;
        }
        at = top_.size() + 1;
    }
    if (levels_ == InventoryDir::kAllLevels) {
        return folder;
    }
    if (levels_ <= 0) {
        return folder.substr(0, top_.size());
    }
    for (int level = 1;; ++level) {
        const std::size_t slash = folder.find('/', at);
        if (slash == std::string_view::npos) {
            return folder;
        }
        if (level == levels_) {
            return folder.substr(0, slash);
        }
        at = slash + 1;
    }
}

void FolderTotalsAdder::add(std::string_view folder, InventoryDir::Totals files) {
    const std::optional<std::string_view> cutTo = cut(folder);
    if (!cutTo) {
        return;
    }
    const std::string_view key = *cutTo;
    // Rows of one folder often come one after another: no lookup for those.
    if (current_ == nullptr || key != last_) {
        last_.assign(key);
        auto found = own_.find(key);
        if (found == own_.end()) {
            found = own_.emplace(last_, InventoryDir::Totals{}).first;
        }
        current_ = &found->second;
    }
    current_->size += files.size;
    current_->count += files.count;
}

InventoryDir::TotalsMap FolderTotalsAdder::finish() {
    InventoryDir::TotalsMap totals;
    totals[top_];
    // Each folder's files count in it and in every ancestor up to the top.
    std::string folder;
    for (const auto& [name, files] : own_) {
        folder = name;
        for (;;) {
            auto found = totals.find(folder);
            if (found == totals.end()) {
                found = totals.emplace(folder, InventoryDir::Totals{}).first;
            }
            found->second.size += files.size;
            found->second.count += files.count;
            if (folder.size() <= top_.size()) {
                break;
            }
            const auto slash = folder.rfind('/');
            folder.resize(slash == std::string::npos ? 0 : slash);
        }
    }
    own_.clear();
    current_ = nullptr;
    return totals;
}

}  // namespace

InventoryDir::InventoryDir(std::shared_ptr<Inventory> inventory, std::string baseName,
                           std::string dirName)
    : inventory_(std::move(inventory)),
      baseName_(std::move(baseName)),
      dirName_(std::move(dirName)) {}

std::string InventoryDir::name() const {
    return dirName_.empty() ? baseName_ : dirName_ + "/" + baseName_;
}

InventoryItemPtr InventoryDir::inventoryItem() const {
    const std::string path = name();
    if (path.empty()) {
        return nullptr;
    }
    InventoryItemPtr item = inventory_->getByName(path + "/");
    return item && item->size == 1 ? item : nullptr;
}

bool InventoryDir::expanded() const {
    return name().empty() || expanded_;
}

void InventoryDir::setExpanded(bool expanded) {
    if (expanded == expanded_) {
        return;
    }
    expanded_ = expanded;
    inventory_->vault()->db().inDatabase([&](Database& db) {
        db.executeUpdate(
            "UPDATE inventory_directories SET expanded = :expanded WHERE inventory_id = "
            ":inventory_id AND name = :name",
            SqlNamedArgs{{"expanded", sqlBool(expanded)},
                         {"inventory_id", inventory_->id},
                         {"name", name()}});
    });
}

int InventoryDir::depth() {
    if (depth_ < 0) {
        const std::string path = name();
        depth_ = 0;
        if (!path.empty()) {
            depth_ = 1;
            for (char c : path) {
                depth_ += c == '/' ? 1 : 0;
            }
        }
    }
    return depth_;
}

bool InventoryDir::exists() const {
    std::int64_t found = 0;
    inventory_->vault()->db().inDatabase([&](Database& db) {
        found = db.longForQuery(
                      "SELECT EXISTS(SELECT 1 FROM inventory_directories WHERE name = ? AND "
                      "inventory_id = ?)",
                      {name(), inventory_->id})
                    .value_or(0);
    });
    return found > 0;
}

std::vector<InventoryDir> InventoryDir::subdirectories() const {
    std::vector<InventoryDir> result;
    const std::string path = name();
    inventory_->vault()->db().inDatabase([&](Database& db) {
        auto rows = db.executeQuery(
            "SELECT base_name, expanded FROM inventory_directories WHERE dir_name = ? AND "
            "inventory_id = ? ORDER BY +base_name",
            {path, inventory_->id});
        while (rows && rows->next()) {
            auto base = rows->stringForColumn("base_name");
            if (!base) {
                continue;
            }
            InventoryDir child(inventory_, *base, path);
            child.expanded_ = rows->intForColumn("expanded") > 0;
            result.push_back(std::move(child));
        }
    });
    return result;
}

void InventoryDir::calculateSize(
    const std::function<void(bool, std::int64_t, std::int64_t)>& done) const {
    const std::string path = name();
    inventory_->vault()->db().inDatabase([&](Database& db) {
        // The folder's own files and those below it, as two index ranges: one OR of both
        // lets the planner walk the whole inventory instead. The two never overlap (a name
        // that matches "<path>/%" is longer than the path).
        auto row = db.executeQuery(
            "SELECT COUNT(*) count, SUM(size) size FROM (SELECT size FROM inventory_items WHERE "
            "inventory_id = :inventory_id AND dir_name = :path AND base_name NOT LIKE '%/' AND "
            "size != 1 AND +local_delete IS NULL UNION ALL SELECT size FROM inventory_items WHERE "
            "inventory_id = :inventory_id AND dir_name LIKE :below AND base_name NOT LIKE '%/' "
            "AND size != 1 AND +local_delete IS NULL)",
            SqlNamedArgs{{"inventory_id", inventory_->id}, {"path", path}, {"below", path + "/%"}});
        if (!row || !row->next()) {
            done(false, 0, 0);
            return;
        }
        done(true, row->longForColumn("size"), row->longForColumn("count"));
    });
}

std::vector<InventoryDir> InventoryDir::descendants() const {
    std::vector<InventoryDir> result;
    const std::string path = name();
    // Every folder name below `path` starts with `path` + "/", within the range up to `path` +
    // "0" ("0" follows "/"); siblings such as "path.x" in it are skipped.
    std::string sql =
        "SELECT base_name, dir_name, expanded FROM inventory_directories WHERE inventory_id = "
        ":inventory_id ";
    SqlNamedArgs args{{"inventory_id", inventory_->id}};
    if (!path.empty()) {
        sql += "AND name > :below AND name < :after ";
        args["below"] = path + "/";
        args["after"] = path + "0";
    }
    sql += "ORDER BY +name";
    const std::string below = path + "/";
    inventory_->vault()->db().inDatabase([&](Database& db) {
        auto rows = db.executeQuery(sql, args);
        while (rows && rows->next()) {
            auto base = rows->stringForColumn("base_name");
            std::string parent = rows->stringForColumn("dir_name").value_or("");
            if (!base ||
                (!path.empty() && parent != path && parent.compare(0, below.size(), below) != 0)) {
                continue;
            }
            InventoryDir folder(inventory_, std::move(*base), std::move(parent));
            folder.expanded_ = rows->intForColumn("expanded") > 0;
            result.push_back(std::move(folder));
        }
    });
    return result;
}

InventoryDir::TotalsMap InventoryDir::subtreeTotals(int levels) const {
    const std::string path = name();
    std::optional<TotalsMap> kept;
    inventory_->vault()->db().inDatabase([&](Database& db) {
        kept = InventoryIndex::subtreeTotals(db, inventory_->id, path, levels);
    });
    return kept ? std::move(*kept) : freshTotals(levels);
}

InventoryDir::TotalsMap InventoryDir::freshTotals(int levels) const {
    const std::string path = name();
    // Files without GROUP BY: the root's rows come in row order, and sorting a million of
    // them by folder costs more than adding them up here.
    std::string sql;
    SqlNamedArgs args{{"inventory_id", inventory_->id}};
    if (path.empty()) {
        sql = std::string("SELECT dir_name, size FROM inventory_items WHERE ") +
              Inventory::kAllRowsOf;
    } else {
        // The range of the subtree in the folder index (up to `path` + "0", as in
        // descendants), grouped in that order.
        sql =
            "SELECT dir_name, SUM(size), COUNT(*) FROM inventory_items WHERE inventory_id = "
            ":inventory_id AND dir_name >= :path AND dir_name < :after ";
        args["path"] = path;
        args["after"] = path + "0";
    }
    sql += "AND size != 1 AND +local_delete IS NULL AND base_name NOT LIKE '%/' ";
    if (!path.empty()) {
        sql += "GROUP BY dir_name";
    }
    FolderTotalsAdder adder(path, levels);
    inventory_->vault()->db().inDatabase([&](Database& db) {
        auto rows = db.executeQuery(sql, args);
        // A row of the root is one file.
        const bool grouped = rows && rows->columnCount() == 3;
        while (rows && rows->next()) {
            adder.add(rows->textForColumn(0),
                      {rows->longForColumn(1), grouped ? rows->longForColumn(2) : 1});
        }
    });
    return adder.finish();
}

}  // namespace quillon
