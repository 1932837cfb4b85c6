// InventoryImport: a downloaded inventory document streamed into a stored inventory.
// Threads: not thread-safe; one object per file, run on the caller's thread; writes go
//   through the vault's database queue. indexRebuildMinBytes is unguarded (tests set it first).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "interfaces/text/YAJLParser.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryIndexWriter.h"
#include "inventory/InventoryItem.h"

namespace quillon {

class Vault;
using VaultPtr = std::shared_ptr<Vault>;

// Turns a downloaded inventory document into a stored inventory of the vault: the file is
// read in 5 MiB blocks through the streaming parser, and each block's archives are written in
// one transaction before the next block is read, so memory stays bounded by one block and its
// items. One object serves one file.
class InventoryImport : private YAJLParserDelegate {
  public:
    enum class ImportParserState { meta, archives };

    static constexpr std::size_t kBlockSize = 5242880;
    // A document at least this large whose archives would at least double the items of the
    // account's other vaults is imported without the item indexes, which are then built in
    // one pass in the transaction that completes the import (see AccountDBBuilder). Changed
    // only by tests, before any import runs.
    static inline std::int64_t indexRebuildMinBytes = std::int64_t{32} * 1024 * 1024;
    // Whether imports fill the inventory index (InventoryIndex); changed only by benchmarks
    // that measure what it costs. Without it, views add up and scan the items.
    static inline bool writesIndex = true;

    // Receives the percentage of the file read so far; returning false stops the import.
    using Progress = std::function<bool(int percent)>;

    explicit InventoryImport(VaultPtr vault);

    // The stored, completed inventory; none when `progress` asked to stop (an inventory row
    // created meanwhile stays incomplete and invisible). Throws ModelError: fileNotReadable
    // when the file cannot be read, invalidImportData when the first block lacks the header
    // (vault ARN and a valid inventory date before "ArchiveList"), importDataARNMismatch for
    // another vault's inventory, in both cases before anything is written. A syntax error ends
    // the document: the archives before it are kept. Archives with a missing or malformed
    // field are skipped.
    // Throws ModelError dbWriteError when a write could not be stored: the previous inventory
    // stays, and the incomplete one goes (at once when the import dropped the item indexes,
    // which are then built again; else at the next opening). The caller holds the vault's writer
    // lock (Vault::writerLockPath) for the whole import.
    InventoryPtr importFromFile(const std::string& path, const Progress& progress);

    // Makes the imported inventory replace every other one, a newer one included (by default
    // the newest inventory stays, even when it is not the one imported).
    void setReplacesNewer(bool replaces) { replacesNewer_ = replaces; }

    const VaultPtr& vault() const { return vault_; }
    const InventoryPtr& inventory() const { return inventory_; }
    const std::string& vaultARN() const { return vaultARN_; }
    const std::string& inventoryDate() const { return inventoryDate_; }
    // Archive objects seen, skipped ones included.
    std::int64_t countArchives() const { return countArchives_; }

  private:
    InventoryPtr run(const std::string& path, const Progress& progress);
    // After an import that failed or was stopped: its incomplete inventory goes, and the item
    // indexes it dropped are built again at once rather than at the next opening.
    void abandon();
    void commitArchives();
    void commitArchive();

    void parserDidStartDictionary() override;
    void parserDidEndDictionary() override;
    void parserDidMapKey(std::string_view key) override;
    void parserDidAdd(const YAJLValue& value) override;

    VaultPtr vault_;
    InventoryPtr inventory_;
    std::string vaultARN_;
    std::string inventoryDate_;
    bool replacesNewer_ = false;
    ImportParserState parserState_ = ImportParserState::meta;
    std::string currentKey_;
    // The fields of the archive object being read, by their place in kArchiveKeys, kept from
    // object to object so that their text reuses its memory; `valuesInArchive_` counts every
    // value of the object, other keys included.
    static constexpr std::array<std::string_view, 5> kArchiveKeys = {
        "ArchiveId", "ArchiveDescription", "CreationDate", "Size", "SHA256TreeHash"};
    std::array<std::string, kArchiveKeys.size()> fields_;
    std::array<bool, kArchiveKeys.size()> present_{};
    std::size_t currentField_ = kArchiveKeys.size();
    std::int64_t valuesInArchive_ = 0;
    void clearArchive();
    std::int64_t countArchives_ = 0;
    std::vector<InventoryItem> items_;
    std::unordered_set<std::string> directories_;
    // Folder paths written by earlier batches, so that a folder is written once rather than
    // once per batch; forgotten when it grows past kWrittenDirectoriesLimit (writing a folder
    // again changes nothing).
    static constexpr std::size_t kWrittenDirectoriesLimit = 65536;
    std::unordered_set<std::string> writtenDirectories_;
    bool rebuildIndexes_ = false;
    // Fills the new inventory's totals and name index beside the item inserts.
    std::unique_ptr<InventoryIndexWriter> indexWriter_;
    std::int64_t fileSize_ = 0;

    void beginInventory(double date);
    // False when a write of the import never reached the file; nothing is then committed.
    bool completeInventory(std::uint64_t storageFailures);
};

}  // namespace quillon
