#include "inventory/InventoryDir.h"

#include "interfaces/db/Database.h"
#include "inventory/Inventory.h"
#include "vaults/Vault.h"

namespace quillon {

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

std::unordered_map<std::string, InventoryDir::Totals> InventoryDir::subtreeTotals() const {
    const std::string path = name();
    std::unordered_map<std::string, Totals> totals;
    totals[path];
    // The root's totals read every row of the inventory, in row order; a folder's read the
    // range of its subtree in the folder index (up to `path` + "0", as in descendants).
    std::string sql = "SELECT dir_name, COUNT(*) count, SUM(size) size FROM inventory_items WHERE ";
    SqlNamedArgs args{{"inventory_id", inventory_->id}};
    if (path.empty()) {
        sql += Inventory::kAllRowsOf;
        sql += "AND size != 1 AND +local_delete IS NULL AND base_name NOT LIKE '%/' ";
        sql += "GROUP BY +dir_name";
    } else {
        sql += "inventory_id = :inventory_id AND dir_name >= :path AND dir_name < :after ";
        sql += "AND size != 1 AND +local_delete IS NULL AND base_name NOT LIKE '%/' ";
        sql += "GROUP BY dir_name";
        args["path"] = path;
        args["after"] = path + "0";
    }
    const std::string below = path + "/";
    inventory_->vault()->db().inDatabase([&](Database& db) {
        auto rows = db.executeQuery(sql, args);
        while (rows && rows->next()) {
            std::string folder = rows->stringForColumn(0).value_or("");
            if (!path.empty() && folder != path && folder.compare(0, below.size(), below) != 0) {
                continue;
            }
            const Totals here{rows->longForColumn(2), rows->longForColumn(1)};
            // The folder and each ancestor up to `path` take the files in.
            for (;;) {
                Totals& total = totals[folder];
                total.size += here.size;
                total.count += here.count;
                if (folder.size() <= path.size()) {
                    break;
                }
                const auto slash = folder.rfind('/');
                folder.resize(slash == std::string::npos ? 0 : slash);
            }
        }
    });
    return totals;
}

}  // namespace quillon
