// Tests of FileHasher: reference vectors, the hash cache, directories, skips and cancellation.
// Threads: the test's thread pumps the main queue, where the progress and results arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>

#include "foundation/FileHelpers.h"
#include "foundation/MainQueue.h"
#include "foundation/ModelError.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/platform/UserDefaults.h"
#include "support/ModelState.h"
#include "support/TempDir.h"
#include "support/TreeHashVectors.h"
#include "transfers/FileHasher.h"

namespace quillon::testing {
namespace {

class FileHasherTest : public ::testing::Test {
  protected:
    void SetUp() override { hasher().reset(); }
    void TearDown() override {
        hasher().progressBlock = nullptr;
        hasher().maxDirectoryEntries = FileHasher::kMaxDirectoryEntries;
        hasher().reset();
    }

    static FileHasher& hasher() { return FileHasher::sharedInstance(); }

    std::string write(const std::string& name, std::string_view content) {
        std::string path = home.file(name);
        EXPECT_EQ(FileHelpers::writeFile(path, content), nullptr);
        return path;
    }

    struct DirectoryResult {
        std::vector<FileHashPtr> hashes;
        ErrorPtr error;
        bool finished = false;
    };

    // Hashes the directories and waits for the result; `afterStart` runs once the work is
    // queued.
    DirectoryResult hashDirectory(const std::vector<std::string>& directories,
                                  const std::function<void()>& afterStart = nullptr) {
        DirectoryResult result;
        std::atomic<bool> done{false};
        hasher().hashDirectory(directories, [&](std::vector<FileHashPtr> hashes, ErrorPtr error) {
            result.hashes = std::move(hashes);
            result.error = std::move(error);
            done = true;
        });
        if (afterStart) {
            afterStart();
        }
        result.finished = MainQueue::waitFor(done, 60);
        return result;
    }

    TempDir home;
    FreshModelState state{home.path()};
};

TEST_F(FileHasherTest, EveryReferenceVectorThroughTheHasher) {
    const auto vectors = treeHashVectors();
    ASSERT_GE(vectors.size(), 10u);
    for (const auto& vector : vectors) {
        const auto size = static_cast<std::int64_t>(vector.size);
        std::string path = write("v" + std::to_string(size), referencePattern(vector.size));
        ErrorPtr error;
        auto hash = hasher().compute(path, {}, &error);
        ASSERT_NE(hash, nullptr) << size;
        EXPECT_EQ(hash->treeHash, vector.treeHash) << size;
        EXPECT_EQ(hash->cachedSize, size);
        EXPECT_EQ(hasher().get(path)->treeHash, vector.treeHash);
        EXPECT_EQ(TreeHash::sha256OfFile(path), vector.sha256);
    }
}

TEST_F(FileHasherTest, UnchangedFilesComeFromTheCacheAndChangedOnesAreRehashed) {
    std::string path = write("a.bin", "first");
    ASSERT_NE(hasher().compute(path), nullptr);
    // A planted hash under the file's stamp comes back: the file is not read again, also when
    // named by another path to the same file.
    auto plant = [&] {
        FileHash planted(path);
        planted.cachedStamp = FileHelpers::stamp(path);
        planted.treeHash = "planted";
        hasher().save(planted);
    };
    plant();
    EXPECT_EQ(hasher().compute(path)->treeHash, "planted");
    EXPECT_EQ(hasher().compute(home.path() + "/./x/../a.bin")->treeHash, "planted");

    // Each change that keeps the name: computed again.
    const auto mtime = *FileHelpers::modificationDate(path);
    const struct {
        const char* change;
        std::function<void()> apply;
        const char* content;
    } changes[] = {
        {"rewritten within the same second at the same size",
         [&] {
             write("a.bin", "FIRST");
             FileHelpers::setModificationDate(path, {mtime.seconds, mtime.nanoseconds ^ 1});
         },
         "FIRST"},
        {"replaced by another file of the same size and time",
         [&] {
             std::string other = write("b.bin", "fIrSt");
             FileHelpers::setModificationDate(other, mtime);
             FileHelpers::moveItem(other, path);
         },
         "fIrSt"},
        {"another size", [&] { write("a.bin", "second!"); }, "second!"},
    };
    for (const auto& change : changes) {
        plant();
        change.apply();
        EXPECT_EQ(hasher().compute(path)->treeHash, TreeHash::treeHashOfBuffer(change.content))
            << change.change;
    }
    FileHash noHash(path);
    noHash.cachedStamp = FileHelpers::stamp(path);
    EXPECT_TRUE(noHash.needRehash());

    hasher().forget(path);
    EXPECT_FALSE(hasher().get(path)->cachedStamp.has_value());
    ASSERT_NE(hasher().compute(path), nullptr);
    hasher().reset();
    EXPECT_FALSE(FileHelpers::exists(hasher().databasePath()));
    EXPECT_FALSE(hasher().get(path)->cachedStamp.has_value());
}

TEST_F(FileHasherTest, FailuresCacheNothing) {
    std::string path = write("big.bin", referencePattern(4 * 1048576));
    ErrorPtr error;
    // Stopped through the progress callback.
    EXPECT_EQ(hasher().compute(
                  path, [](int) { return false; }, &error),
              nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), -5000);

    // Written to while it is read.
    error = nullptr;
    bool appended = false;
    auto grow = [&](int) {
        if (!appended) {
            appended = true;
            FILE* file = fopen(path.c_str(), "ab");
            fputs("more", file);
            fclose(file);
        }
        return true;
    };
    EXPECT_EQ(hasher().compute(path, grow, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(),
              ModelError::fileModifiedDuringHashCalculation().description());

    // A directory where a file should be, and a missing file.
    for (const std::string& unreadable : {home.path(), home.file("missing")}) {
        error = nullptr;
        EXPECT_EQ(hasher().compute(unreadable, {}, &error), nullptr);
        EXPECT_NE(error, nullptr) << unreadable;
    }
    DatabaseQueue(hasher().databasePath()).inDatabase([](Database& db) {
        EXPECT_EQ(db.longForQuery("SELECT COUNT(*) FROM hashes").value_or(-1), 0);
    });
}

TEST_F(FileHasherTest, DirectoriesAreHashedWithSkipPatternsProgressAndLimits) {
    ASSERT_EQ(FileHelpers::createDirectory(home.file("tree/sub")), nullptr);
    write("tree/a.txt", "a");
    write("tree/sub/b.txt", "bb");
    write("tree/sub/skip.tmp", "skip me");
    UserDefaults::standard()->setString(FileHasher::kSkipPatternKey, "*.tmp");
    std::vector<std::pair<FileHasher::Stage, std::int64_t>> reports;
    hasher().progressBlock = [&](FileHasher::Stage stage, int, std::optional<std::string>,
                                 std::int64_t processed, std::int64_t) {
        EXPECT_TRUE(MainQueue::isMainThread());
        reports.emplace_back(stage, processed);
    };
    auto result = hashDirectory({home.file("tree")});
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.error, nullptr);
    std::set<std::string> hashed;
    for (const auto& hash : result.hashes) {
        hashed.insert(hash->name());
    }
    EXPECT_EQ(hashed, (std::set<std::string>{"a.txt", "b.txt"}));
    MainQueue::runOnce();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), std::make_pair(FileHasher::Stage::Hash, std::int64_t{4}));

    hasher().maxDirectoryEntries = 3;
    auto tooMany = hashDirectory({home.file("tree")});
    ASSERT_NE(tooMany.error, nullptr);
    EXPECT_TRUE(tooMany.hashes.empty());

    hasher().maxDirectoryEntries = FileHasher::kMaxDirectoryEntries;
    auto notADirectory = hashDirectory({home.file("tree/a.txt")});
    ASSERT_NE(notADirectory.error, nullptr);
    EXPECT_EQ(notADirectory.error->domain(), "Frostvale");
}

TEST_F(FileHasherTest, CancelEndsDirectoryWorkWithTheCancelledError) {
    ASSERT_EQ(FileHelpers::createDirectory(home.file("many")), nullptr);
    for (int i = 0; i < 40; ++i) {
        write("many/f" + std::to_string(i), referencePattern(2 * 1048576 + i));
    }
    auto result = hashDirectory({home.file("many")}, [] { hasher().cancel(); });
    ASSERT_TRUE(result.finished);
    ASSERT_NE(result.error, nullptr);
    EXPECT_EQ(result.error->code(), -5000);
    EXPECT_LT(result.hashes.size(), 40u);
}

}  // namespace
}  // namespace quillon::testing
