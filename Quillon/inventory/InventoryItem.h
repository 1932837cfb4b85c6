// InventoryItem: one archive of an inventory, with its decoded path.
// Threads: a plain value, not synchronised; one owner. Its rows go through the vault's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "interfaces/db/Database.h"

namespace quillon {

class Inventory;
class InventoryItem;
using InventoryItemPtr = std::shared_ptr<InventoryItem>;

// One archive of an inventory, with the path decoded from its description. Dates are seconds
// since 1970-01-01 UTC.
class InventoryItem {
  public:
    std::string archiveID;
    // Exactly as the service stores it.
    std::string archiveDescription;
    double creationDate = 0;
    std::int64_t size = 0;
    std::string treeHash;
    // The decoded path; ends in "/" for a folder.
    std::string name;
    // Last path component of `name`.
    std::string baseName;
    // `name` without its last component and without leading or trailing "/".
    std::string dirName;
    // The date of the inventory that listed the archive; none for an archive known only from
    // the local journal.
    std::optional<double> inventoryDate;
    std::optional<double> localAdd;
    std::optional<double> localDelete;
    std::shared_ptr<Inventory> inventory;

    InventoryItem() = default;
    virtual ~InventoryItem() = default;
    InventoryItem(const InventoryItem&) = default;
    InventoryItem(InventoryItem&&) noexcept = default;
    InventoryItem& operator=(const InventoryItem&) = default;
    InventoryItem& operator=(InventoryItem&&) noexcept = default;

    // Other visible items of the inventory with the same tree hash; 0 without an inventory.
    std::int64_t numDuplicates() const;
    // Folder archives are one byte long and named with a trailing "/".
    bool representsFolder() const;

    // An item from one entry of an inventory document: needs the texts "ArchiveId",
    // "ArchiveDescription", "SHA256TreeHash", a service date in "CreationDate" and an
    // integer "Size"; none when any is missing or of another kind.
    static InventoryItemPtr create(const JSON& json);

    // An item from a row with the columns archive_id, archive_description, name, created_at,
    // local_add, size and tree_hash. `inventoryDate` is the date of `inventory`; the item
    // carries it unless the row is a local addition. The path parts always come from the
    // description, never from the name column.
    static InventoryItemPtr createFromResultSet(const ResultSet& rs,
                                                std::shared_ptr<Inventory> inventory,
                                                double inventoryDate);
    // The same with the inventory's own date.
    static InventoryItemPtr createFromResultSet(const ResultSet& rs,
                                                std::shared_ptr<Inventory> inventory);

    // Inserts the item's row into inventory_items under the inventory id (dates in whole
    // seconds, absent local dates as NULL). Failures are not reported.
    void insertToDB(Database& db, std::int64_t inventoryID) const;
    // Sets `inventory` and inserts the row under its id; with `writeDirectories` also the
    // folder rows of `name` and its ancestors. On an open handle of the vault's queue.
    void saveToDB(Database& db, std::shared_ptr<Inventory> inventory, bool writeDirectories);
    // saveToDB in one run of the inventory's vault database queue.
    void saveTo(std::shared_ptr<Inventory> inventory, bool writeDirectories);
    // Whether the inventory holds a row of this archive that is not locally deleted; false
    // without an inventory.
    bool exists() const;

    // The partial-download file of this item below `dir`: the folder part of `name` (each
    // component trimmed of white space, empty ones dropped) is created below `dir`, and the
    // file is the trimmed last component (or the archive id when that is empty) + ".part".
    // Nothing is created for the file itself. None, with the error, when the folder cannot be
    // created.
    std::optional<std::string> getDownloadFile(const std::string& dir,
                                               ErrorPtr* error = nullptr) const;

    // The longest description decoded into a path. The service takes 1024 characters; what is
    // much longer comes from elsewhere, and decoding it (XML, base64, percent escapes) and
    // indexing it would take many times its size.
    static constexpr std::size_t kMaxDescriptionBytes = 65536;

    // Sets `name`, `baseName` and `dirName` from `archiveDescription`; never fails. A
    // description longer than kMaxDescriptionBytes is not decoded: the archive is named by its
    // id.
    void decodeDescription();

    // Same archive id, size and tree hash.
    bool operator==(const InventoryItem& other) const;

  private:
    void decodePath();
    std::optional<std::string> decodeFastGlacierDescription() const;
    std::optional<std::string> decodeCrossFTPDescription() const;
    std::optional<std::string> decodeJSONDescription() const;
};

}  // namespace quillon
