// Tests of mapping data from another client's database: its rows, paths and progress.
// Threads: the test's thread, which pumps the main queue.
#include "InventoryFixture.h"
#include "foundation/MainQueue.h"
#include "foundation/ModelError.h"
#include "inventory/MappingData.h"

namespace quillon::testing {
namespace {

class MappingDataTest : public InventoryFixture {
  protected:
    // A database file made by these statements; its path.
    std::string databaseFile(const std::string& statements) {
        std::string path = home.file("mapping" + std::to_string(++created) + ".db");
        Database db(path);
        EXPECT_TRUE(db.open());
        EXPECT_TRUE(db.executeStatements(statements));
        return path;
    }

    // Another client's database: rows of (archiveID, basePath), NULL for an absent text.
    std::string mappingFile(
        const std::vector<std::pair<std::string, std::optional<std::string>>>& rows) {
        std::string sql =
            "CREATE TABLE file_info_tb (archiveID TEXT, basePath TEXT, extra INTEGER);";
        for (const auto& [id, base] : rows) {
            sql += "INSERT INTO file_info_tb (archiveID, basePath) VALUES ('" + id + "', " +
                   (base ? "'" + *base + "'" : "NULL") + ");";
        }
        return databaseFile(sql);
    }

    static std::int64_t load(MappingData& mapping, const std::string& path) {
        try {
            return mapping.load(path);
        } catch (const ModelError& error) {
            EXPECT_EQ(error.caseValue(), ModelError::Case::invalidFileFormat);
            return -1;
        }
    }

    int created = 0;
};

TEST_F(MappingDataTest, LaterRowsWinAndForeignFilesStayUntouched) {
    MappingData mapping;
    EXPECT_EQ(load(mapping, mappingFile({{"A", "old/a.txt"},
                                         {"B", "b.txt"},
                                         {"A", "new/a.txt"},
                                         {"B", std::nullopt},
                                         {"C", "c/"}})),
              2);
    EXPECT_EQ(mapping.descForId("A"), "new/a.txt");
    EXPECT_FALSE(mapping.descForId("B").has_value());

    MappingData onlyNulls;
    EXPECT_EQ(load(onlyNulls, mappingFile({{"X", std::nullopt}})), -1);

    MappingData foreign;
    for (const std::string& path :
         {writeFile("notes.txt", "this is not a database at all"),
          databaseFile("CREATE TABLE t (x INTEGER); INSERT INTO t VALUES (1);")}) {
        const auto before = FileHelpers::readFile(path);
        ASSERT_TRUE(before);
        EXPECT_EQ(load(foreign, path), -1) << path;
        EXPECT_EQ(FileHelpers::readFile(path), before) << path;
    }
    EXPECT_EQ(load(foreign, home.file("missing.db")), -1);
    EXPECT_FALSE(FileHelpers::exists(home.file("missing.db")));
}

TEST_F(MappingDataTest, ImportRewritesPathsAndFoldersAndReportsProgress) {
    std::vector<std::pair<std::string, std::int64_t>> items;
    for (int i = 0; i < 250; ++i) {
        items.emplace_back("opaque " + std::to_string(i), i == 0 ? 1 : 100);
    }
    auto inventory = inventoryWith(items, 1700000000);
    std::string path = mappingFile(
        {{"A0", "folder/"}, {"A1", "docs/2026/report.pdf"}, {"unknown", "elsewhere.txt"}});
    std::string before = *FileHelpers::readFile(path);

    MappingData mapping;
    ASSERT_EQ(load(mapping, path), 3);
    std::vector<std::int64_t> processed;
    CommitCounter counter(account->db());
    std::int64_t updated =
        mapping.importInto(*inventory, [&](std::int64_t done, std::int64_t total, std::int64_t) {
            EXPECT_EQ(total, 250);
            processed.push_back(done);
            return true;
        });
    EXPECT_EQ(updated, 2);
    EXPECT_EQ(counter.commits(), 1);  // every update and folder in one transaction
    MainQueue::runOnce();
    EXPECT_EQ(processed, (std::vector<std::int64_t>{100, 200}));
    EXPECT_EQ(FileHelpers::readFile(path), before);
    EXPECT_EQ(FileHelpers::fileSize(account->db().path() + "-wal"), 0);  // folded in

    auto report = inventory->getByArchiveID("A1");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->name, "docs/2026/report.pdf");
    EXPECT_EQ(report->dirName, "docs/2026");
    // The new folders get their rows: listing a parent shows them.
    auto root = inventory->rootDir().subdirectories();
    EXPECT_EQ(names(root), (std::vector<std::string>{"docs", "folder"}));
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(names(root[0].subdirectories()), (std::vector<std::string>{"docs/2026"}));
    EXPECT_NE(inventory->getByName("folder/"), nullptr);
}

}  // namespace
}  // namespace quillon::testing
