// InventoryItem: decoding descriptions and the item and folder rows. Threads: as in
// InventoryItem.h.
#include "inventory/InventoryItem.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/db/Database.h"
#include "interfaces/text/Base64.h"
#include "interfaces/text/PercentEncoding.h"
#include "interfaces/text/UnicodeText.h"
#include "interfaces/text/XMLDocument.h"
#include "inventory/Inventory.h"
#include "vaults/Vault.h"  // IWYU pragma: keep

namespace quillon {

namespace {

constexpr const char* kInsertSQL =
    "INSERT INTO inventory_items (archive_id, archive_description, name, base_name, dir_name, "
    "size, tree_hash, created_at, inventory_id, local_add, local_delete) VALUES (:archive_id, "
    ":archive_description, :name, :base_name, :dir_name, :size, :tree_hash, :created_at, "
    ":inventory_id, :local_add, :local_delete)";

// Foreign tools write absolute paths; the tree is relative.
std::string removingOneLeadingSlash(std::string path) {
    if (!path.empty() && path.front() == '/') {
        path.erase(0, 1);
    }
    return path;
}

// Standard padded Base64 holding UTF-8 text.
std::optional<std::string> decodeBase64Text(std::string_view text) {
    const auto bytes = Base64::decode(text);
    if (!bytes) {
        return std::nullopt;
    }
    std::string decoded(bytes->begin(), bytes->end());
    if (!UnicodeText::isValidUTF8(decoded)) {
        return std::nullopt;
    }
    return decoded;
}

}  // namespace

std::int64_t InventoryItem::numDuplicates() const {
    return inventory ? inventory->numDuplicates(*this) : 0;
}

bool InventoryItem::representsFolder() const {
    return !name.empty() && name.back() == '/' && size == 1;
}

InventoryItemPtr InventoryItem::create(const JSON& json) {
    const auto archiveID = json["ArchiveId"].string();
    const auto description = json["ArchiveDescription"].string();
    const auto creationText = json["CreationDate"].string();
    const auto size = json["Size"].int64();
    const auto treeHash = json["SHA256TreeHash"].string();
    if (!archiveID || !description || !creationText || !size || !treeHash) {
        return nullptr;
    }
    const auto creationDate = awsDateFromString(*creationText);
    if (!creationDate) {
        return nullptr;
    }
    auto item = std::make_shared<InventoryItem>();
    item->archiveID = *archiveID;
    item->archiveDescription = *description;
    item->creationDate = *creationDate;
    item->size = *size;
    item->treeHash = *treeHash;
    item->decodeDescription();
    return item;
}

InventoryItemPtr InventoryItem::createFromResultSet(const ResultSet& rs,
                                                    std::shared_ptr<Inventory> inventory,
                                                    double inventoryDate) {
    auto item = std::make_shared<InventoryItem>();
    item->archiveID = rs.stringForColumn("archive_id").value_or("");
    item->archiveDescription = rs.stringForColumn("archive_description").value_or("");
    item->name = rs.stringForColumn("name").value_or("");
    item->creationDate = rs.intForColumn("created_at");
    if (rs.intForColumn("local_add") == 0) {
        item->inventoryDate = inventoryDate;
    }
    item->size = rs.longForColumn("size");
    item->treeHash = rs.stringForColumn("tree_hash").value_or("");
    item->inventory = std::move(inventory);
    item->decodeDescription();
    return item;
}

InventoryItemPtr InventoryItem::createFromResultSet(const ResultSet& rs,
                                                    std::shared_ptr<Inventory> inventory) {
    const double date = inventory ? inventory->inventoryDate : 0;
    return createFromResultSet(rs, std::move(inventory), date);
}

void InventoryItem::saveToDB(Database& db, std::shared_ptr<Inventory> inventory,
                             bool writeDirectories) {
    this->inventory = std::move(inventory);
    insertToDB(db, this->inventory->id);
    if (writeDirectories) {
        this->inventory->writeDirectoryToDBForItemName(db, name);
    }
}

void InventoryItem::saveTo(std::shared_ptr<Inventory> inventory, bool writeDirectories) {
    auto& queue = inventory->vault()->db();
    queue.inDatabase([&](Database& db) { saveToDB(db, inventory, writeDirectories); });
}

bool InventoryItem::exists() const {
    if (!inventory) {
        return false;
    }
    std::optional<std::int64_t> found;
    inventory->vault()->db().inDatabase([&](Database& db) {
        found = db.longForQuery(
            "SELECT EXISTS(SELECT 1 FROM inventory_items WHERE archive_id = ? AND "
            "inventory_id = ? AND +local_delete IS NULL)",
            {sqlText(archiveID), sqlInt(inventory->id)});
    });
    return found.value_or(0) > 0;
}

void InventoryItem::insertToDB(Database& db, std::int64_t inventoryID) const {
    // The named parameters in the order they appear, bound in place: an import inserts
    // millions of rows through here.
    auto dateOrNull = [](const std::optional<double>& date) -> SqlRef {
        if (!date) {
            return nullptr;
        }
        return static_cast<std::int64_t>(*date);
    };
    db.executeUpdateInPlace(
        kInsertSQL, {archiveID, archiveDescription, name, baseName, dirName, size, treeHash,
                     static_cast<std::int64_t>(creationDate), inventoryID, dateOrNull(localAdd),
                     dateOrNull(localDelete)});
}

std::optional<std::string> InventoryItem::getDownloadFile(const std::string& dir,
                                                          ErrorPtr* error) const {
    std::string relative;
    const std::string folder = deletingLastPathComponent(name);
    std::size_t start = 0;
    while (start <= folder.size()) {
        auto end = folder.find('/', start);
        if (end == std::string::npos) {
            end = folder.size();
        }
        const std::string component = UnicodeText::trimmingWhitespaceAndNewlines(
            std::string_view(folder).substr(start, end - start));
        // "." and ".." would lead out of the download directory.
        if (!component.empty() && component != "." && component != "..") {
            relative = appendingPathComponent(relative, component);
        }
        start = end + 1;
    }
    std::string target = dir;
    if (!relative.empty()) {
        target = appendingPathComponent(dir, relative);
        // The user's download folders, not application data: the usual mode.
        if (ErrorPtr failure = FileHelpers::createDirectory(target, 0755)) {
            if (error != nullptr) {
                *error = failure;
            }
            return std::nullopt;
        }
    }
    std::string fileName = UnicodeText::trimmingWhitespaceAndNewlines(lastPathComponent(name));
    if (fileName.empty()) {
        fileName = archiveID;
    }
    return appendingPathComponent(target, fileName + ".part");
}

void InventoryItem::decodePath() {
    baseName = lastPathComponent(name);
    dirName = trimmingSlashes(deletingLastPathComponent(name));
}

void InventoryItem::decodeDescription() {
    const std::string& d = archiveDescription;
    if (d.size() > kMaxDescriptionBytes) {
        name = archiveID;
        decodePath();
        return;
    }
    std::optional<std::string> foreign;
    if (d.starts_with("<")) {
        foreign = decodeFastGlacierDescription();
    } else if (d.starts_with("key=")) {
        foreign = decodeCrossFTPDescription();
    } else if (d.starts_with("{\"")) {
        foreign = decodeJSONDescription();
    }
    if (foreign) {
        name = std::move(*foreign);
    } else {
        name = PercentEncoding::removingPercentEncoding(d).value_or(d);
    }
    decodePath();
}

std::optional<std::string> InventoryItem::decodeFastGlacierDescription() const {
    const auto document = XMLDocument::fromData(archiveDescription);
    if (!document) {
        return std::nullopt;
    }
    const char* xpath =
        archiveDescription.starts_with("<ArchiveMetadata>") ? "/ArchiveMetadata/Path" : "/m/p";
    const auto text = document->firstNodeText(xpath);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    const auto path = decodeBase64Text(*text);
    if (!path) {
        return std::nullopt;
    }
    return removingOneLeadingSlash(*path);
}

std::optional<std::string> InventoryItem::decodeCrossFTPDescription() const {
    const std::string_view rest = std::string_view(archiveDescription).substr(4);
    const auto path = decodeBase64Text(rest.substr(0, rest.find(';')));
    if (!path) {
        return std::nullopt;
    }
    return removingOneLeadingSlash(*path);
}

std::optional<std::string> InventoryItem::decodeJSONDescription() const {
    const auto json = JSON::tryParse(archiveDescription);
    if (!json) {
        return std::nullopt;
    }
    auto path = (*json)["Path"].string();
    if (!path) {
        path = (*json)["path"].string();
    }
    if (!path) {
        return std::nullopt;
    }
    return removingOneLeadingSlash(*path);
}

bool InventoryItem::operator==(const InventoryItem& other) const {
    return archiveID == other.archiveID && size == other.size && treeHash == other.treeHash;
}

}  // namespace quillon
