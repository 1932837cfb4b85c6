// VaultVerify: the local walk with a lookup per file, then the inventory walk with a look on
// disk per archive. Threads: as in VaultVerify.h.
#include "transfers/VaultVerify.h"

#include <sys/stat.h>

#include <cerrno>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/PathComponents.h"
#include "interfaces/db/Database.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryManager.h"
#include "transfers/FileHash.h"
#include "transfers/FileHasher.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

constexpr std::int64_t kPageSize = 512;

// A regular file itself, not a link to one: the only kind compared.
bool isRegularFile(const std::string& path, std::int64_t* size = nullptr) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if (size) {
        *size = st.st_size;
    }
    return true;
}

struct Stored {
    std::int64_t size = 0;
    std::string treeHash;
};

// The text just above every text that starts with `prefix` (which ends in "/").
std::string prefixEnd(const std::string& prefix) {
    std::string end = prefix;
    end.back() = static_cast<char>(end.back() + 1);
    return end;
}

}  // namespace

VaultVerify::VaultVerify(VaultPtr vault, std::string directory, std::string folder)
    : vault_(std::move(vault)), directory_(std::move(directory)) {
    std::string trimmed = trimmingSlashes(folder);
    prefix_ = trimmed.empty() ? std::string() : trimmed + "/";
}

void VaultVerify::result(Report& report, Verdict verdict, const std::string& path) {
    switch (verdict) {
        case Verdict::Same:
            ++report.same;
            break;
        case Verdict::Changed:
            ++report.changed;
            break;
        case Verdict::Missing:
            ++report.missing;
            break;
        case Verdict::Extra:
            ++report.extra;
            break;
    }
    if (onResult) {
        onResult(verdict, path);
    }
}

ErrorPtr VaultVerify::run(Report& report) {
    report = Report{};
    Vault& vault = *vault_;
    InventoryPtr inventory = vault.inventoryManager().latest();
    if (!inventory || inventory->inventoryDate == 0) {
        return BaseModel::genericError("Vault " + vault.name +
                                       " has no imported inventory: retrieve one and import it "
                                       "first.");
    }
    if (!FileHelpers::directoryExists(directory_)) {
        return FileHelpers::makeError(ENOTDIR, "Cannot read directory", directory_);
    }
    const std::int64_t inventoryID = inventory->id;

    // Every local file, looked up by its vault path.
    ErrorPtr walkError = FileHelpers::enumerateTree(directory_, [&](const std::string& relative,
                                                                    bool isDirectory) {
        std::int64_t size = 0;
        const std::string path = appendingPathComponent(directory_, relative);
        if (isDirectory || !isRegularFile(path, &size)) {
            return true;
        }
        std::vector<Stored> stored;
        vault.db().inDatabase([&](Database& db) {
            auto rows = db.executeQuery(
                "SELECT size, tree_hash FROM inventory_items WHERE inventory_id = ? AND "
                "name = ? AND +local_delete IS NULL",
                {sqlInt(inventoryID), prefix_ + relative});
            while (rows && rows->next()) {
                stored.push_back({rows->longForColumn(0), rows->stringForColumn(1).value_or("")});
            }
        });
        if (stored.empty()) {
            result(report, Verdict::Missing, relative);
            return true;
        }
        bool sameSize = false;
        for (const Stored& archive : stored) {
            sameSize = sameSize || archive.size == size;
        }
        if (!sameSize) {
            result(report, Verdict::Changed, relative);
            return true;
        }
        ErrorPtr hashError;
        FileHashPtr hash = FileHasher::sharedInstance().compute(path, {}, &hashError);
        if (!hash || !hash->treeHash) {
            if (onUnreadable) {
                onUnreadable(relative, hashError);
            }
            result(report, Verdict::Changed, relative);
            return true;
        }
        bool same = false;
        for (const Stored& archive : stored) {
            same = same || (archive.size == size && archive.treeHash == *hash->treeHash);
        }
        result(report, same ? Verdict::Same : Verdict::Changed, relative);
        return true;
    });
    if (walkError) {
        return walkError;
    }

    // Every archive below the folder, in pages by path, looked for on disk.
    std::string after = prefix_;
    std::int64_t afterID = 0;
    std::string lastExtra;
    while (true) {
        std::vector<std::pair<std::int64_t, std::string>> page;
        vault.db().inDatabase([&](Database& db) {
            SqlArgs args{sqlInt(inventoryID), after, after, sqlInt(afterID)};
            std::string range;
            if (!prefix_.empty()) {
                range = " AND name < ?";
                args.push_back(prefixEnd(prefix_));
            }
            args.push_back(sqlInt(kPageSize));
            auto rows = db.executeQuery(
                "SELECT id, name FROM inventory_items WHERE inventory_id = ? AND name >= ? AND "
                "NOT (name = ? AND id <= ?) AND +local_delete IS NULL" +
                    range + " ORDER BY name, id LIMIT ?",
                args);
            while (rows && rows->next()) {
                page.emplace_back(rows->longForColumn(0), rows->stringForColumn(1).value_or(""));
            }
        });
        for (const auto& [id, name] : page) {
            if (name.size() <= prefix_.size() || name.back() == '/' ||
                name.compare(0, prefix_.size(), prefix_) != 0) {
                continue;
            }
            std::string relative = name.substr(prefix_.size());
            if (relative != lastExtra &&
                !isRegularFile(appendingPathComponent(directory_, relative))) {
                result(report, Verdict::Extra, relative);
                lastExtra = relative;
            }
        }
        if (static_cast<std::int64_t>(page.size()) < kPageSize) {
            break;
        }
        afterID = page.back().first;
        after = page.back().second;
    }
    return nullptr;
}

}  // namespace quillon
