// UploadBatch: one "quillon upload" run over files and folders: every file is tried, one failure
// does not stop the rest, a file already in the vault (same path, size and tree hash in the
// journal or the imported inventory; or stored, unconfirmed since the last inventory) is skipped
// unless forced, and a one-line summary closes the run. Each stored file is printed as soon as
// the service confirms it; what was skipped is told one line per file only under --verbose, so a
// run over an unchanged tree says one line, and nothing under --quiet. Links are left out unless
// followed; FIFOs, devices and sockets always are. One run at a time holds the lock of its
// arguments in the vault (a second run waits, or with --no-wait gives up at once with exit
// status 75), and every file is claimed before it is looked up and sent (UploadClaims), so
// overlapping runs never store a file twice.
// Threads: main thread; upload progress arrives from client threads through BatchProgress.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ArchiveUploader.h"
#include "foundation/FileLock.h"
#include "settings/PatternMatcher.h"
#include "transfers/Archive.h"
#include "transfers/UploadClaims.h"
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
        bool noWait = false;  // another run over the same files: give up instead of waiting
        bool followSymlinks = false;
        // After a changed file is stored and journalled, delete the archives of its older
        // versions (same path, other size or tree hash).
        bool replaceModified = false;
    };

    // The exit status of a run that gave up because another one holds the lock.
    static constexpr int kBusyExit = 75;

    UploadBatch(CliContext& context, Options options);

    // Fails the command (exit status 2) after the summary when any file failed.
    void run();

  private:
    enum class Outcome { Pending, Stored, Skipped, Failed };

    // An archive that holds an older version of a file.
    struct Version {
        std::string archiveId;
        double creationDate = 0;  // seconds since 1970
    };

    struct Entry {
        std::string path;
        std::string archivePath;  // the folder plus the path below the argument
        std::int64_t size = 0;
        Outcome outcome = Outcome::Pending;
        std::string archiveId;
        std::string treeHash;
        std::string reason;             // why it failed or was skipped
        std::vector<Version> replaces;  // with --replace-modified
    };

    // Held for the whole run: the lock of these arguments in this vault.
    void lockArguments();

    void collect();
    void add(const std::string& path, const std::string& relative);
    void skip(Entry entry, const std::string& reason);
    // The archive paths of the empty files the last run warned about, one a line: each is
    // warned about once, until it has content again.
    std::string emptyFilesPath() const;
    void fail(Entry& entry, const std::string& reason);
    // Hashes, checks and sends one file; throws when it fails.
    void send(Entry& entry, ArchiveUploader& uploader, const ArchiveUploader::Progress& progress);
    // send(), then says what became of the file.
    void process(Entry& entry, ArchiveUploader& uploader, BatchProgress& progress);
    void loadJournal();
    // Adds what other runs journalled since the journal was read.
    void refreshJournal();
    // Replaces the journal's unanswered stores of one description with what the journal holds
    // now.
    void refreshUnconfirmed(const std::string& description);
    void note(const Archive& archive);
    // Whether the journal or the imported inventory holds an archive of this path and size.
    bool mayBeStored(const Entry& entry, const std::string& description) const;
    // Why a file of this path, size and tree hash is not sent: in the vault under an archive
    // id, or stored, unconfirmed (no id); an empty reason when it is to be sent.
    struct Stored {
        std::string archiveId;
        std::string reason;
    };
    Stored alreadyStored(const Entry& entry, const std::string& description) const;
    // The archives of this path with another size or tree hash, from the journal and the
    // imported inventory.
    std::vector<Version> olderVersions(const Entry& entry, const std::string& description) const;
    // Deletes the older versions of a stored file; false when one could not be deleted.
    bool deleteOlderVersions(Entry& entry);
    // "ID (stored DATE, N days ago: ...)" for the dry run and the notes.
    static std::string versionText(const Version& version);
    void finish();

    CliContext& context_;
    Options options_;
    VaultPtr vault_;
    std::vector<Entry> entries_;
    PatternMatcher skipPatterns_;
    std::multimap<std::string, ArchivePtr> journal_;  // stored archives by description
    std::set<std::string> deleted_;                   // archive ids journalled as deleted
    double journalRead_ = 0;                          // when, in seconds since 1970
    int replaceFailures_ = 0;
    std::set<std::string> emptyBefore_;  // warned about by the last run
    std::set<std::string> emptyNow_;
    std::set<std::string> withContent_;
    std::unique_ptr<FileLock> lock_;
    std::unique_ptr<UploadClaims> claims_;
};

}  // namespace quillon::cli
