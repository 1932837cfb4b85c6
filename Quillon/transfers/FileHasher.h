// FileHasher: file tree hashes and their cache. Threads: any thread; a mutex guards the cache
//   queue and another the directory jobs, run by one worker thread; results on the main queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/db/Database.h"
#include "interfaces/files/TreeHash.h"
#include "transfers/FileHash.h"

namespace quillon {

// Computes Glacier tree hashes of files and remembers them in "Hashes.db" in the application
// directory, keyed by the canonical path and validated by the file's stamp (size, times to the
// nanosecond, inode), so that an unchanged file is read only once. Also hashes whole directory
// trees on a worker thread of its own, reporting progress and the result on the main queue.
class FileHasher {
  public:
    enum class Stage { Find = 0, Hash = 1 };
    // Stage, percent done, the entry just handled (none while finding), processed, total.
    using ProgressBlock = std::function<void(Stage, int percent, std::optional<std::string> path,
                                             std::int64_t processed, std::int64_t total)>;
    using DirectoryDone = std::function<void(std::vector<FileHashPtr>, ErrorPtr)>;

    static constexpr std::int64_t kMaxDirectoryEntries = 150000;
    static constexpr const char* kDatabaseFileName = "Hashes.db";
    static constexpr const char* kSkipPatternKey = "uploadSkipPattern";

    static FileHasher& sharedInstance();

    FileHasher();
    ~FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;

    // Frostvale, -5000, "Cancelled".
    static ErrorPtr cancelledError();

    // Set from the main thread while no directory is being hashed.
    ProgressBlock progressBlock;
    // Entries a directory walk may find before it fails; tests lower it.
    std::int64_t maxDirectoryEntries = kMaxDirectoryEntries;

    // The file's record with its tree hash, from the cache when the file is unchanged.
    // Otherwise hashes it (on all cores) and caches the result. None with `error` set when the
    // file cannot be read, when `progress` stopped the work (cancelledError), or when the file
    // changed size or time while it was read (fileModifiedDuringHashCalculation); nothing is
    // cached then.
    FileHashPtr compute(const std::string& path, const TreeHash::Progress& progress = {},
                        ErrorPtr* error = nullptr);

    // Finds every entry below the directories, then hashes the regular files whose names the
    // skip patterns allow, newest-found first. Returns at once; progressBlock and `done` run on
    // the main queue.
    void hashDirectory(std::vector<std::string> directories, DirectoryDone done);
    // Cancels queued and running directory work; it ends with cancelledError.
    void cancel();
    // Closes and deletes the cache database; the next use starts an empty one.
    void reset();

    // The cached record of a file (empty fields when there is none).
    FileHashPtr get(const std::string& path);
    void save(const FileHash& hash);
    // Drops the cached record of a file: its hash turned out wrong (the service computed
    // another one for the same bytes).
    void forget(const std::string& path);
    std::string databasePath();

  private:
    struct Job {
        std::vector<std::string> directories;
        DirectoryDone done;
        std::atomic<bool> cancelled{false};
    };

    // The hash cache's queue, shared with the caller: a queue replaced meanwhile (another
    // application directory, reset()) stays alive until its last user lets go.
    std::shared_ptr<DatabaseQueue> dbQueue();
    void runJob(Job& job);
    void work();

    std::mutex createDBInstanceLock_;
    std::shared_ptr<DatabaseQueue> dbQueue_;

    std::mutex jobsMutex_;
    std::condition_variable jobsChanged_;
    std::deque<std::shared_ptr<Job>> jobs_;
    std::shared_ptr<Job> running_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace quillon
