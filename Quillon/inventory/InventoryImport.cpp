// InventoryImport: parsing blocks and writing their archives. Threads: as in InventoryImport.h.
#include "inventory/InventoryImport.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "accounts/AccountRegion.h"  // IWYU pragma: keep
#include "accounts/Region.h"         // IWYU pragma: keep
#include "foundation/FileHelpers.h"
#include "foundation/ModelError.h"
#include "foundation/Support.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/db/Database.h"
#include "interfaces/text/YAJLParser.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryIndex.h"
#include "inventory/InventoryIndexWriter.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "vaults/AccountDBBuilder.h"
#include "vaults/Vault.h"

namespace quillon {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::optional<std::int64_t> parseInt64(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto result = std::from_chars(text.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// A large import touches the pages of every index of inventory_items at random.
constexpr std::int64_t kImportCacheKiB = std::int64_t{16} * 1024;
// Building an index from sorted keys; also the size of each sorter's batches in memory.
constexpr std::int64_t kIndexBuildCacheKiB = std::int64_t{4} * 1024;

}  // namespace

InventoryImport::InventoryImport(VaultPtr vault) : vault_(std::move(vault)) {}

InventoryPtr InventoryImport::importFromFile(const std::string& path, const Progress& progress) {
    InventoryPtr imported;
    try {
        imported = run(path, progress);
    } catch (...) {
        abandon();
        throw;
    }
    if (!imported) {
        abandon();
    }
    return imported;
}

void InventoryImport::abandon() {
    if (!rebuildIndexes_ || !inventory_) {
        return;
    }
    vault_->db().inTransaction([this](Database& db, bool&) {
        const bool unfinished =
            db.longForQuery(
                  "SELECT count(*) FROM inventories WHERE id = ? AND import_done_at IS "
                  "NULL",
                  {inventory_->id})
                .value_or(0) > 0;
        if (unfinished) {
            inventory_->deleteFromDB(db);
        }
        AccountDBBuilder::restoreInventoryItemIndexes(db);
    });
}

InventoryPtr InventoryImport::run(const std::string& path, const Progress& progress) {
    WidenedCache cache(vault_->db(), kImportCacheKiB);
    // However the import ends, the index writer stops and the connection gets its side file
    // back.
    struct Reattach {
        InventoryImport& owner;
        ~Reattach() {
            owner.indexWriter_.reset();
            owner.vault_->db().inDatabase([](Database& db) { InventoryIndex::attach(db); });
        }
    } reattach{*this};
    std::uint64_t storageFailures = 0;
    vault_->db().inDatabase([&](Database& db) { storageFailures = db.storageFailures(); });
    YAJLParser parser;
    parser.setDelegate(this);
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw ModelError::fileNotReadable(FileHelpers::makeError(errno, "open", path));
    }
    const std::int64_t size = FileHelpers::fileSize(path).value_or(0);
    fileSize_ = size;
    const auto start = std::chrono::steady_clock::now();
    std::int64_t bytesRead = 0;
    std::vector<char> block(kBlockSize);
    for (;;) {
        const std::size_t length = std::fread(block.data(), 1, block.size(), file.get());
        if (length == 0) {
            if (std::ferror(file.get())) {
                throw ModelError::fileNotReadable(FileHelpers::makeError(errno, "read", path));
            }
            parser.finish();
            commitArchives();
            break;
        }
        parser.parse(block.data(), length);
        bytesRead += static_cast<std::int64_t>(length);
        int percent = 0;
        if (size >= 1) {
            percent =
                static_cast<int>(static_cast<float>(bytesRead) / static_cast<float>(size) * 100.0f);
        }
        if (progress && !progress(percent)) {
            return nullptr;
        }
        commitArchives();
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    NSLog("Vault %@: Inventory importFromFile size=%@ Parse took: %@s",
          {vault_->name, std::to_string(size), std::to_string(elapsed)});

    if (!completeInventory(storageFailures)) {
        throw ModelError::dbWriteError();
    }
    vault_->inventoryManager().reclaimSpace();
    return inventory_;
}  // namespace quillon

void InventoryImport::beginInventory(double date) {
    vault_->db().inTransaction([&](Database& db, bool&) {
        // An archive takes about 400 bytes of the document.
        const std::int64_t estimate = fileSize_ / 400;
        if (fileSize_ >= indexRebuildMinBytes) {
            const std::int64_t others =
                db.longForQuery(
                      "SELECT COUNT(*) FROM inventory_items WHERE inventory_id NOT IN (SELECT id "
                      "FROM inventories WHERE vault = ? AND region = ?)",
                      {vault_->name, vault_->accountRegion()->region()->id()})
                    .value_or(0);
            rebuildIndexes_ = estimate >= others;
        }
        inventory_ = vault_->inventoryManager().createInDB(db, date);
        // The inventory row and the dropped indexes commit together: an import stopped from
        // here on leaves an incomplete inventory, which the next opening removes before it
        // builds the indexes again.
        if (rebuildIndexes_) {
            NSLog("Vault %@: Import without item indexes, about %@ archives",
                  {vault_->name, std::to_string(estimate)});
            AccountDBBuilder::dropInventoryItemIndexes(db);
        }
    });
    // The side file's part is written by a worker of its own; this connection leaves the
    // side file meanwhile, so that its transactions never wait for each other.
    vault_->db().inDatabase([&](Database& db) {
        if (!writesIndex) {
            InventoryIndex::forget(db, inventory_->id);
        } else if (InventoryIndex::attached(db)) {
            InventoryIndex::detach(db);
            indexWriter_ =
                std::make_unique<InventoryIndexWriter>(db.databasePath(), inventory_->id);
        }
    });
}

bool InventoryImport::completeInventory(std::uint64_t storageFailures) {
    // The side data of the new inventory is complete when its writer is.
    bool indexed = false;
    if (indexWriter_) {
        indexed = indexWriter_->finish();
        indexWriter_.reset();
    }
    vault_->db().inDatabase([](Database& db) { InventoryIndex::attach(db); });
    // A write that never reached the file (a full disk, an I/O error) leaves a partial
    // inventory: it is not marked done and the previous inventory stays.
    bool stored = true;
    vault_->db().inTransaction([&](Database& db, bool& rollback) {
        if (db.storageFailures() != storageFailures) {
            stored = false;
            rollback = true;
            return;
        }
        std::optional<std::int64_t> keep;
        if (replacesNewer_ && inventory_) {
            keep = inventory_->id;
        }
        if (rebuildIndexes_) {
            // Old items go while there are no indexes to update, then each index is built in
            // one pass over what remains; the journal is applied on the indexed table.
            if (inventory_) {
                inventory_->markDoneInDB(db);
            }
            vault_->inventoryManager().removeOldInventoriesFromDB(db, keep);
            // The index builds sort every row ten times: a helper thread takes the second core.
            // Each sort keeps up to a page cache's worth of keys in memory per thread, and the
            // builds append pages in order: a narrow cache holds the memory to a third of the
            // import's wide one and sorts as fast (the import's cache comes back at its end).
            db.executeUpdate("PRAGMA threads = 2");
            db.executeUpdate("PRAGMA cache_size = -" + std::to_string(kIndexBuildCacheKiB));
            AccountDBBuilder::restoreInventoryItemIndexes(db);
            db.executeUpdate("PRAGMA cache_size = -" + std::to_string(kImportCacheKiB));
            db.executeUpdate("PRAGMA threads = 0");
            // An older document than the latest stored one was pruned just now: its journal
            // rows would have no inventory left to belong to.
            if (inventory_ && vault_->inventoryManager().getFromDB(db, inventory_->id)) {
                if (indexed) {
                    InventoryIndex::seal(db, inventory_->id);
                }
                inventory_->reconcileLocalArchivesInDB(db);
            }
            return;
        }
        if (inventory_) {
            if (indexed) {
                InventoryIndex::seal(db, inventory_->id);
            }
            inventory_->reconcileLocalArchivesInDB(db);
            inventory_->markDoneInDB(db);
        }
        vault_->inventoryManager().removeOldInventoriesFromDB(db, keep);
    });
    vault_->db().inDatabase(
        [&](Database& db) { stored = stored && db.storageFailures() == storageFailures; });
    return stored;
}

void InventoryImport::commitArchives() {
    if (!inventory_) {
        std::optional<double> date;
        if (!vaultARN_.empty() && !inventoryDate_.empty()) {
            date = awsDateFromString(inventoryDate_);
        }
        if (!date) {
            throw ModelError::invalidImportData();
        }
        const std::string expected = vault_->vaultARN();
        if (vaultARN_ != expected) {
            throw ModelError::importDataARNMismatch(vaultARN_, expected);
        }
        beginInventory(*date);
        if (!inventory_) {
            // The inventory row could not be written (a busy or full file).
            throw ModelError::dbWriteError();
        }
    }
    vault_->db().inTransaction([this](Database& db, bool&) {
        NSLog("Vault %@: Import %@ items and %@ dirs to %@",
              {vault_->name, std::to_string(items_.size()), std::to_string(directories_.size()),
               std::to_string(inventory_->id)});
        std::vector<InventoryIndexWriter::Entry> entries;
        entries.reserve(items_.size());
        for (InventoryItem& item : items_) {
            item.inventory = inventory_;
            item.insertToDB(db, inventory_->id);
            if (indexWriter_) {
                entries.push_back({db.lastInsertRowId(), std::move(item.name),
                                   std::move(item.dirName), std::move(item.baseName), item.size});
            }
        }
        if (indexWriter_) {
            indexWriter_->add(std::move(entries));
        }
        if (writtenDirectories_.size() > kWrittenDirectoriesLimit) {
            writtenDirectories_.clear();
        }
        for (const std::string& directory : directories_) {
            // A folder once written stays (with its ancestors) for the whole import.
            if (writtenDirectories_.insert(directory).second) {
                inventory_->writeDirectoryToDB(db, directory);
            }
        }
    });
    items_.clear();
    directories_.clear();
}

void InventoryImport::commitArchive() {
    auto field = [this](std::size_t index) -> const std::string* {
        return present_[index] ? &fields_[index] : nullptr;
    };
    const std::string* archiveID = field(0);
    const std::string* description = field(1);
    const std::string* creation = field(2);
    const std::string* sizeText = field(3);
    const std::string* treeHash = field(4);
    if (!archiveID || !description || !creation || !sizeText || !treeHash) {
        return;
    }
    const auto creationDate = awsDateFromString(*creation);
    const auto size = parseInt64(*sizeText);
    if (!creationDate || !size) {
        return;
    }
    InventoryItem& item = items_.emplace_back();
    item.archiveID = *archiveID;
    item.archiveDescription = *description;
    item.creationDate = *creationDate;
    item.size = *size;
    item.treeHash = *treeHash;
    item.decodeDescription();
    const std::string& folder = item.representsFolder() ? item.name : item.dirName;
    if (!folder.empty()) {
        directories_.insert(folder);
    }
}

void InventoryImport::parserDidStartDictionary() {
    if (parserState_ == ImportParserState::archives) {
        clearArchive();
    }
}

void InventoryImport::clearArchive() {
    present_.fill(false);
    valuesInArchive_ = 0;
}

void InventoryImport::parserDidEndDictionary() {
    if (parserState_ == ImportParserState::archives && valuesInArchive_ > 0) {
        ++countArchives_;
        commitArchive();
        clearArchive();
    }
}

void InventoryImport::parserDidMapKey(std::string_view key) {
    currentKey_.assign(key);
    currentField_ = kArchiveKeys.size();
    for (std::size_t i = 0; i < kArchiveKeys.size(); ++i) {
        if (key == kArchiveKeys[i]) {
            currentField_ = i;
            break;
        }
    }
    if (key == "ArchiveList") {
        parserState_ = ImportParserState::archives;
    }
}

void InventoryImport::parserDidAdd(const YAJLValue& value) {
    if (parserState_ == ImportParserState::meta) {
        if (currentKey_ == "VaultARN") {
            vaultARN_.assign(value.text);
        } else if (currentKey_ == "InventoryDate") {
            inventoryDate_.assign(value.text);
        }
        return;
    }
    ++valuesInArchive_;
    if (currentField_ < kArchiveKeys.size()) {
        // A description past the bound is kept only as far as it shows that it is too long;
        // the item then goes by its archive id (InventoryItem::decodeDescription).
        std::string_view text = value.text;
        if (kArchiveKeys[currentField_] == "ArchiveDescription") {
            text = text.substr(0, InventoryItem::kMaxDescriptionBytes + 1);
        }
        fields_[currentField_].assign(text);
        present_[currentField_] = true;
    }
}

}  // namespace quillon
