// Tests of DBBuilder: versions, creation, migration and refusal of unusable files.
// Threads: run on the test's thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/BuildInfo.h"
#include "foundation/DBBuilder.h"
#include "foundation/FileHelpers.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

using testing::TempDir;

// Records the hooks the frame calls; the schema is one table with one index.
class RecordingBuilder : public DBBuilder {
  public:
    using DBBuilder::DBBuilder;

    void initializeTables() override {
        calls.push_back("initialize");
        database()->executeStatements(
            "CREATE TABLE t (a TEXT, b INTEGER); CREATE INDEX idx_t_a ON t (a);"
            "INSERT INTO t VALUES ('x', 1), ('y', 2);");
    }
    void performMigration() override {
        calls.push_back("migrate");
        versionSeenByMigration = database()->userVersion();
    }
    bool performMaintenance() override {
        calls.push_back("maintain");
        return maintenanceChanges;
    }

    std::vector<std::string> calls;
    bool maintenanceChanges = false;
    std::uint32_t versionSeenByMigration = 0;
};

class DBBuilderTest : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST(BuildInfoTest, SchemaVersionIsTheLastDotComponent) {
    EXPECT_EQ(BuildInfo::bundleVersion(), "1.0.100");
    EXPECT_EQ(BuildInfo::schemaVersion(BuildInfo::bundleVersion()), 100u);
    EXPECT_EQ(BuildInfo::schemaVersion(std::nullopt), 1u);
    // Unusable texts (from "beta" on) fall back to 1.
    const std::pair<const char*, std::uint32_t> cases[] = {
        {"2.5.77", 77u}, {"2.5", 5u},     {"345", 345u},
        {"1.0.0", 0u},   {"1.2.007", 7u}, {"1.4294967295", 4294967295u},
        {"beta", 1u},    {"1.2.rc1", 1u}, {"", 1u},
        {"1.2.", 1u},    {"1.-5", 1u},    {"1.4294967296", 1u},
        {"1. 5", 1u}};
    for (const auto& [text, version] : cases) {
        EXPECT_EQ(BuildInfo::schemaVersion(text), version) << text;
    }
}

TEST_F(DBBuilderTest, AppVersionFollowsTheBuilderOwnVersionText) {
    RecordingBuilder builder(dir.file("a.db"));
    EXPECT_EQ(builder.appVersion(), 100u);
    builder.setBundleVersion("2.5.77");
    EXPECT_EQ(builder.appVersion(), 77u);
    builder.setBundleVersion(std::nullopt);
    EXPECT_EQ(builder.appVersion(), 1u);
    // Another builder is unaffected.
    EXPECT_EQ(RecordingBuilder(dir.file("b.db")).appVersion(), 100u);
}

TEST_F(DBBuilderTest, MissingFileIsCreatedInitializedMigratedAndStampedUnlessTheBuildNumberIsZero) {
    const std::string path = dir.file("new.db");
    RecordingBuilder builder(path);
    builder.setBundleVersion("2.5.77");
    EXPECT_TRUE(builder.needsMigration());
    EXPECT_FALSE(std::filesystem::exists(path));  // asking does not create the file

    DatabasePtr db = builder.getDB();
    ASSERT_TRUE(db);
    EXPECT_EQ(db, builder.database());
    EXPECT_TRUE(builder.didInitialize());
    EXPECT_TRUE(builder.didChange());
    EXPECT_EQ(builder.calls, (std::vector<std::string>{"initialize", "migrate", "maintain"}));
    EXPECT_EQ(builder.versionSeenByMigration, 0u);
    EXPECT_EQ(db->userVersion(), 77u);
    EXPECT_EQ(db->stringForQuery("PRAGMA journal_mode"), "wal");
    EXPECT_TRUE(db->tableExists("sqlite_stat1"));  // ANALYZE ran
    EXPECT_TRUE(db->indexExists("idx_t_a"));
    EXPECT_FALSE(db->indexExists("idx_t_b"));
    EXPECT_FALSE(db->indexExists("t"));
    // The reopened connection got case-sensitive LIKE back.
    EXPECT_EQ(db->intForQuery("SELECT 'A' LIKE 'a'"), 0);
    EXPECT_FALSE(builder.needsMigration());
    RecordingBuilder zero(dir.file("zero.db"));
    zero.setBundleVersion("1.0.0");
    ASSERT_TRUE(zero.getDB());
    EXPECT_EQ(zero.calls, (std::vector<std::string>{"initialize", "maintain"}));
    EXPECT_TRUE(zero.didChange());
}

// A current file is only maintained, and maintenance that changes something analyses and
// stamps; older and newer stored versions both migrate to the app version.
TEST_F(DBBuilderTest, StoredVersionDecidesBetweenMaintenanceAndMigration) {
    const std::string path = dir.file("versions.db");
    ASSERT_TRUE(RecordingBuilder(path).getDB());  // a file at the compiled-in version
    using Calls = std::vector<std::string>;
    const struct {
        std::uint32_t stored;
        bool maintenanceChanges;
        Calls calls;
        std::uint32_t versionSeenByMigration;
        bool changed;
    } cases[] = {
        {100, false, {"maintain"}, 0, false},
        {100, true, {"maintain"}, 0, true},
        {5, false, {"migrate", "maintain"}, 5, true},
        {500, false, {"migrate", "maintain"}, 500, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        {
            Database db(path);
            ASSERT_TRUE(db.open());
            ASSERT_TRUE(db.setUserVersion(c.stored));
            ASSERT_TRUE(db.executeUpdate("DELETE FROM sqlite_stat1"));
        }
        RecordingBuilder builder(path);
        builder.maintenanceChanges = c.maintenanceChanges;
        EXPECT_EQ(builder.needsMigration(), c.stored != 100);
        DatabasePtr db = builder.getDB();
        ASSERT_TRUE(db);
        EXPECT_EQ(builder.calls, c.calls);
        EXPECT_EQ(builder.versionSeenByMigration, c.versionSeenByMigration);
        EXPECT_FALSE(builder.didInitialize());
        EXPECT_EQ(builder.didChange(), c.changed);
        // ANALYZE only after a change.
        EXPECT_EQ(db->intForQuery("SELECT count(*) FROM sqlite_stat1") > 0, c.changed);
        EXPECT_EQ(db->intForQuery("SELECT 'A' LIKE 'a'"), 0);
        db->close();
        Database reopened(path);
        ASSERT_TRUE(reopened.open());
        EXPECT_EQ(reopened.userVersion(), 100u);
    }
}

TEST_F(DBBuilderTest, JunkFilesAndUnusablePathsGiveNoDatabaseAndStayAsTheyWere) {
    const std::string path = dir.file("junk.db");
    std::string junk = "not a database\n";
    for (int i = 0; i < 200; ++i) {
        junk += static_cast<char>(i);
    }
    std::ofstream(path, std::ios::binary) << junk;

    std::ofstream(dir.file("plain")) << "x";
    std::filesystem::create_directory(dir.file("folder.db"));
    for (const std::string& file : {path, dir.file("plain") + "/x.db", dir.file("folder.db")}) {
        SCOPED_TRACE(file);
        RecordingBuilder builder(file);
        EXPECT_TRUE(builder.needsMigration());
        EXPECT_FALSE(builder.getDB());
        EXPECT_FALSE(builder.getDBQueue());
        EXPECT_TRUE(builder.calls.empty());
        EXPECT_FALSE(builder.didInitialize());
        EXPECT_FALSE(builder.didChange());
    }
    EXPECT_EQ(FileHelpers::readFile(path), junk);
    EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
    EXPECT_EQ(FileHelpers::readFile(dir.file("plain")), "x");
}

TEST_F(DBBuilderTest, QueueIsOpenedOnTheSamePathAfterTheBuild) {
    const std::string path = dir.file("queue.db");
    RecordingBuilder builder(path);
    DatabaseQueuePtr queue = builder.getDBQueue();
    ASSERT_TRUE(queue);
    EXPECT_EQ(queue->path(), path);
    EXPECT_FALSE(builder.database()->isOpen());
    queue->inDatabase([](Database& db) {
        EXPECT_EQ(db.intForQuery("SELECT count(*) FROM t"), 2);
        EXPECT_EQ(db.userVersion(), 100u);
        EXPECT_EQ(db.intForQuery("SELECT 'A' LIKE 'a'"), 0);
    });
}

}  // namespace
}  // namespace quillon
