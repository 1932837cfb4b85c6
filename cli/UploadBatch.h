// UploadBatch: one "quillon upload" run over files and folders.
// Threads: main thread; upload progress arrives from client threads through BatchProgress.
#pragma once

// One "quillon upload" run over files and folders: every file is tried, one failure does not
// stop the rest, a file already in the vault (same path, size and tree hash in the journal or
// the imported inventory; or stored, unconfirmed since the last inventory) is skipped unless
// forced, and a summary closes the run. Each stored
// file is printed as soon as the service confirms it. Runs on the main thread.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ArchiveUploader.h"
#include "settings/PatternMatcher.h"
#include "transfers/Archive.h"
#include "vaults/Vault.h"

namespace quillon::cli {

class BatchProgress;
class CliContext;

class UploadBatch {
  public:
    struct Options {
        std::vector<std::string> paths;
        std::string vault;
        std::string folder;
        bool force = false;   // upload files that are already in the vault
        bool dryRun = false;  // only list what would be sent
    };

    UploadBatch(CliContext& context, Options options);

    // Fails the command (exit status 2) after the summary when any file failed.
    void run();

  private:
    enum class Outcome { Pending, Stored, Skipped, Failed };

    struct Entry {
        std::string path;
        std::string archivePath;  // the folder plus the path below the argument
        std::int64_t size = 0;
        Outcome outcome = Outcome::Pending;
        std::string archiveId;
        std::string treeHash;
        std::string reason;  // why it failed or was skipped
    };

    void collect();
    void add(const std::string& path, const std::string& relative);
    void fail(Entry& entry, const std::string& reason);
    // Hashes, checks and sends one file; throws when it fails.
    void send(Entry& entry, ArchiveUploader& uploader, const ArchiveUploader::Progress& progress);
    // send(), then says what became of the file.
    void process(Entry& entry, ArchiveUploader& uploader, BatchProgress& progress);
    void loadJournal();
    // Whether the journal or the imported inventory holds an archive of this path and size.
    bool mayBeStored(const Entry& entry, const std::string& description) const;
    // Why a file of this path, size and tree hash is not sent: in the vault under an archive
    // id, or stored, unconfirmed (no id); an empty reason when it is to be sent.
    struct Stored {
        std::string archiveId;
        std::string reason;
    };
    Stored alreadyStored(const Entry& entry, const std::string& description) const;
    void finish();

    CliContext& context_;
    Options options_;
    VaultPtr vault_;
    std::vector<Entry> entries_;
    PatternMatcher skipPatterns_;
    std::multimap<std::string, ArchivePtr> journal_;  // stored archives by description
};

}  // namespace quillon::cli
