// FileHasher: the hash cache, file hashing and the directory worker. Threads: as in
// FileHasher.h.
#include "transfers/FileHasher.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "accounts/AccountsDB.h"
#include "foundation/BaseModel.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/MainQueue.h"
#include "foundation/ModelError.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "interfaces/base/Localization.h"
#include "interfaces/db/Database.h"
#include "interfaces/files/TreeHash.h"
#include "settings/PatternMatcher.h"
#include "transfers/FileHash.h"

namespace quillon {

namespace {

// Records are keyed on the canonical path and checked against the file's whole stamp, not on
// the path as typed and the modification second: a typed path names different files in
// different working directories, and a file rewritten within one second at the same size kept
// a stale hash that an upload then stored under. A cache of the older shape is dropped (it is
// only a cache) and made again in this one.
constexpr const char* kSchema =
    "CREATE TABLE hashes (  file_name TEXT,  file_path TEXT,  file_mtime INTEGER,  file_size "
    "INTEGER,  file_tree_hash TEXT,  updated_at INTEGER,  file_mtime_ns INTEGER,  file_ctime "
    "INTEGER,  file_ctime_ns INTEGER,  file_inode INTEGER,  file_device INTEGER,  PRIMARY KEY "
    "(file_name, file_path));CREATE INDEX idx_hashes_file_name ON hashes (file_name);CREATE "
    "INDEX idx_hashes_file_path ON hashes (file_path);CREATE INDEX idx_hashes_file_mtime ON "
    "hashes (file_mtime);CREATE INDEX idx_hashes_file_size ON hashes (file_size);CREATE INDEX "
    "idx_hashes_file_tree_hash ON hashes (file_tree_hash);CREATE INDEX idx_hashes_updated_at ON "
    "hashes (updated_at);";

constexpr double kProgressInterval = 0.3;

// A failure of the file layer becomes a generic error with its text; model errors pass.
ErrorPtr stageError(const ErrorPtr& error) {
    if (error && error->domain() == FileHelpers::kFileErrorDomain) {
        return BaseModel::genericError(error->localizedDescription(), error);
    }
    return error;
}

}  // namespace

FileHasher& FileHasher::sharedInstance() {
    static FileHasher instance;
    return instance;
}

FileHasher::FileHasher() = default;

FileHasher::~FileHasher() {
    {
        std::lock_guard lock(jobsMutex_);
        stopping_ = true;
        for (auto& job : jobs_) {
            job->cancelled = true;
        }
        if (running_) {
            running_->cancelled = true;
        }
    }
    jobsChanged_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
}

ErrorPtr FileHasher::cancelledError() {
    static const ErrorPtr error = std::make_shared<const Error>(
        ModelError::kDomain, -5000, UserInfo{{kLocalizedDescriptionKey, std::string("Cancelled")}});
    return error;
}

std::string FileHasher::databasePath() {
    return appendingPathComponent(AccountsDB::sharedInstance()->appDir(), kDatabaseFileName);
}

std::shared_ptr<DatabaseQueue> FileHasher::dbQueue() {
    std::lock_guard lock(createDBInstanceLock_);
    std::string path = databasePath();
    if (!dbQueue_ || dbQueue_->path() != path) {
        dbQueue_ = std::make_shared<DatabaseQueue>(path);
        dbQueue_->inDatabase([](Database& db) {
            if (db.longForQuery("SELECT COUNT(*) FROM pragma_table_info('hashes') WHERE name = "
                                "'file_inode'")
                    .value_or(0) == 0) {
                db.executeStatements("DROP TABLE IF EXISTS hashes;");
                db.executeStatements(kSchema);
            }
        });
    }
    return dbQueue_;
}

FileHashPtr FileHasher::get(const std::string& path) {
    auto hash = std::make_shared<FileHash>(path);
    dbQueue()->inDatabase([&hash](Database& db) {
        auto rows = db.executeQuery(
            "SELECT file_size, file_mtime, file_mtime_ns, file_ctime, file_ctime_ns, file_inode, "
            "file_device, file_tree_hash FROM hashes WHERE file_name = ? AND file_path = ?",
            {hash->name(), hash->key()});
        if (rows && rows->next()) {
            FileStamp stamp;
            stamp.size = rows->longForColumn("file_size");
            stamp.modified = {rows->longForColumn("file_mtime"),
                              rows->longForColumn("file_mtime_ns")};
            stamp.changed = {rows->longForColumn("file_ctime"),
                             rows->longForColumn("file_ctime_ns")};
            stamp.inode = static_cast<std::uint64_t>(rows->longForColumn("file_inode"));
            stamp.device = static_cast<std::uint64_t>(rows->longForColumn("file_device"));
            hash->cachedStamp = stamp;
            hash->cachedSize = stamp.size;
            hash->treeHash = rows->stringForColumn("file_tree_hash");
        }
    });
    return hash;
}

void FileHasher::save(const FileHash& hash) {
    const FileStamp stamp = hash.cachedStamp.value_or(FileStamp{});
    dbQueue()->inDatabase([&](Database& db) {
        db.executeUpdate(
            "REPLACE INTO hashes (file_size, file_mtime, file_mtime_ns, file_ctime, "
            "file_ctime_ns, file_inode, file_device, file_tree_hash, updated_at, file_name, "
            "file_path) VALUES (:file_size, :file_mtime, :file_mtime_ns, :file_ctime, "
            ":file_ctime_ns, :file_inode, :file_device, :file_tree_hash, :updated_at, "
            ":file_name, :file_path)",
            SqlNamedArgs{{"file_size", sqlInt(stamp.size)},
                         {"file_mtime", sqlInt(stamp.modified.seconds)},
                         {"file_mtime_ns", sqlInt(stamp.modified.nanoseconds)},
                         {"file_ctime", sqlInt(stamp.changed.seconds)},
                         {"file_ctime_ns", sqlInt(stamp.changed.nanoseconds)},
                         {"file_inode", sqlInt(static_cast<std::int64_t>(stamp.inode))},
                         {"file_device", sqlInt(static_cast<std::int64_t>(stamp.device))},
                         {"file_tree_hash", hash.treeHash.value_or("")},
                         {"updated_at", sqlInt(nowSeconds())},
                         {"file_name", hash.name()},
                         {"file_path", hash.key()}});
    });
}

void FileHasher::forget(const std::string& path) {
    FileHash hash(path);
    dbQueue()->inDatabase([&hash](Database& db) {
        db.executeUpdate("DELETE FROM hashes WHERE file_name = ? AND file_path = ?",
                         {hash.name(), hash.key()});
    });
}

FileHashPtr FileHasher::compute(const std::string& path, const TreeHash::Progress& progress,
                                ErrorPtr* error) {
    auto fail = [error](ErrorPtr failure) -> FileHashPtr {
        if (error) {
            *error = std::move(failure);
        }
        return nullptr;
    };
    FileHashPtr hash = get(path);
    if (!hash->needRehash()) {
        return hash;
    }
    ErrorPtr failure;
    const std::string& file = hash->key();
    auto before = FileHelpers::stamp(file, &failure);
    if (!before) {
        return fail(failure);
    }
    auto chunks = TreeHash::chunkHashes(file, progress, &failure);
    if (failure) {
        return fail(failure);
    }
    if (chunks.empty()) {
        return fail(cancelledError());
    }
    if (FileHelpers::stamp(file) != before) {
        return fail(ModelError::fileModifiedDuringHashCalculation().toErrorPtr());
    }
    hash->treeHash = TreeHash::treeHash(chunks);
    hash->cachedStamp = before;
    hash->cachedSize = before->size;
    hash->save();
    return hash;
}

void FileHasher::hashDirectory(std::vector<std::string> directories, DirectoryDone done) {
    if (progressBlock) {
        MainQueue::async([block = progressBlock] { block(Stage::Find, 0, std::nullopt, 0, 0); });
    }
    auto job = std::make_shared<Job>();
    job->directories = std::move(directories);
    job->done = std::move(done);
    {
        std::lock_guard lock(jobsMutex_);
        jobs_.push_back(job);
        if (!worker_.joinable()) {
            worker_ = std::thread([this] { work(); });
        }
    }
    jobsChanged_.notify_all();
}

void FileHasher::cancel() {
    std::lock_guard lock(jobsMutex_);
    for (auto& job : jobs_) {
        job->cancelled = true;
    }
    if (running_) {
        running_->cancelled = true;
    }
}

void FileHasher::reset() {
    std::lock_guard lock(createDBInstanceLock_);
    if (dbQueue_) {
        dbQueue_->close();
        dbQueue_.reset();
    }
    std::string path = databasePath();
    for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
        if (FileHelpers::exists(file)) {
            FileHelpers::deleteFile(file);
        }
    }
}

void FileHasher::work() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(jobsMutex_);
            jobsChanged_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            job = jobs_.front();
            jobs_.pop_front();
            running_ = job;
        }
        runJob(*job);
        std::lock_guard lock(jobsMutex_);
        running_.reset();
    }
}

void FileHasher::runJob(Job& job) {
    ProgressBlock progress = progressBlock;
    auto report = [&progress](Stage stage, int percent, std::optional<std::string> path,
                              std::int64_t processed, std::int64_t total) {
        if (progress) {
            MainQueue::async([progress, stage, percent, path, processed, total] {
                progress(stage, percent, path, processed, total);
            });
        }
    };
    PatternMatcher matcher(kSkipPatternKey);
    ErrorPtr error;

    // Find.
    struct Entry {
        std::string path;
        bool isDirectory;
    };
    std::vector<Entry> found;
    std::int64_t count = 0;
    for (const std::string& directory : job.directories) {
        if (job.cancelled) {
            error = cancelledError();
            break;
        }
        ErrorPtr walkError = FileHelpers::enumerateTree(
            directory, [&](const std::string& relative, bool isDirectory) {
                ++count;
                report(Stage::Find, 0, std::nullopt, count, 0);
                if (count > maxDirectoryEntries) {
                    error = BaseModel::genericError(
                        Localization::string("filehasher_directory_too_many_files"));
                    return false;
                }
                if (job.cancelled) {
                    error = cancelledError();
                    return false;
                }
                found.push_back({appendingPathComponent(directory, relative), isDirectory});
                return true;
            });
        if (!error && walkError) {
            error = stageError(walkError);
        }
        if (error) {
            break;
        }
    }

    // Hash.
    std::vector<FileHashPtr> results;
    if (!error) {
        auto total = static_cast<std::int64_t>(found.size());
        std::int64_t processed = 0;
        auto lastReport = std::chrono::steady_clock::time_point{};
        while (!found.empty()) {
            if (job.cancelled) {
                error = cancelledError();
                break;
            }
            Entry entry = std::move(found.back());
            found.pop_back();
            bool skip = entry.isDirectory || !FileHelpers::regularFileExists(entry.path) ||
                        !matcher.allowedByPattern(lastPathComponent(entry.path));
            if (!skip) {
                ErrorPtr hashError;
                auto hash = compute(
                    entry.path, [&job](int) { return !job.cancelled.load(); }, &hashError);
                if (!hash) {
                    error = stageError(hashError);
                    break;
                }
                results.push_back(std::move(hash));
            }
            ++processed;
            auto now = std::chrono::steady_clock::now();
            bool throttled = now - lastReport < std::chrono::duration<double>(kProgressInterval) &&
                             processed > 5 && processed < total - 5;
            if (!throttled) {
                lastReport = now;
                int percent = total > 0 ? static_cast<int>(processed * 100 / total) : 0;
                report(Stage::Hash, percent, entry.path, processed, total);
            }
        }
    }

    // Done.
    MainQueue::async([done = job.done, results = std::move(results), error] {
        if (done) {
            done(results, error);
        }
    });
}

}  // namespace quillon
