// UploadBatch: one "quillon upload" run over files and folders.
// Threads: main thread; upload progress arrives from client threads through BatchProgress.
#pragma once

// One "quillon upload" run over files and folders: every file is tried, one failure does not
// stop the rest, a file already in the vault (same path, size and tree hash in the journal or
// the imported inventory) is skipped unless forced, and a summary closes the run. Each stored
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
    // The archive id under which this path, size and tree hash are already in the vault.
    std::string alreadyStored(const Entry& entry, const std::string& description) const;
    void finish();

    CliContext& context_;
    Options options_;
    VaultPtr vault_;
    std::vector<Entry> entries_;
    PatternMatcher skipPatterns_;
    std::multimap<std::string, ArchivePtr> journal_;  // stored archives by description
};

}  // namespace quillon::cli
