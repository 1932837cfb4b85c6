// Tests of InventoryItemStore: item rows, document entries and folder creation.
// Threads: run on the test's thread.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "InventoryFixture.h"
#include "foundation/FileHelpers.h"
#include "interfaces/base/ConsoleLog.h"
#include "inventory/InventoryItem.h"
#include "support/TempDir.h"
#include "vaults/AccountDBBuilder.h"

namespace quillon {
namespace {

using testing::listedItem;
using testing::TempDir;

constexpr const char* kSelectItems =
    "SELECT archive_id, archive_description, name, created_at, local_add, size, tree_hash "
    "FROM inventory_items WHERE inventory_id = ? ORDER BY id";

class InventoryItemStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto previous = ConsoleLog::setSink([](const std::string&) {});
        AccountDBBuilder builder(dir.file("Store.db"));
        db = builder.getDB();
        ConsoleLog::setSink(previous);
        ASSERT_TRUE(db);
    }

    std::vector<InventoryItemPtr> load(std::int64_t inventoryID, double inventoryDate) {
        std::vector<InventoryItemPtr> items;
        auto rs = db->executeQuery(kSelectItems, {sqlInt(inventoryID)});
        while (rs && rs->next()) {
            items.push_back(InventoryItem::createFromResultSet(*rs, nullptr, inventoryDate));
        }
        return items;
    }

    TempDir dir;
    DatabasePtr db;
};

TEST_F(InventoryItemStoreTest, RowsRoundTripWithPathsFromTheDescriptionAndNullsReadEmpty) {
    // The fraction of the creation date is cut off.
    const InventoryItemPtr listed =
        listedItem("A1", "photos/2014/a%20b.jpg", 5'000'000'000, 1400000000.9);
    listed->insertToDB(*db, 7);

    InventoryItem local = *listed;
    local.archiveID = "A2";
    local.localAdd = 1500000000.5;
    local.localDelete = 1500000100;
    local.insertToDB(*db, 7);
    listed->insertToDB(*db, 8);

    auto row = db->executeQuery(
        "SELECT name, base_name, dir_name, created_at, local_add, local_delete FROM "
        "inventory_items WHERE archive_id = 'A2'");
    ASSERT_TRUE(row && row->next());
    EXPECT_EQ(row->stringForColumn("name"), "photos/2014/a b.jpg");
    EXPECT_EQ(row->stringForColumn("base_name"), "a b.jpg");
    EXPECT_EQ(row->stringForColumn("dir_name"), "photos/2014");
    EXPECT_EQ(row->longForColumn("created_at"), 1400000000);
    EXPECT_EQ(row->longForColumn("local_add"), 1500000000);
    EXPECT_EQ(row->longForColumn("local_delete"), 1500000100);
    row->close();

    const auto items = load(7, 1600000000);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->archiveID, "A1");
    EXPECT_EQ(items[0]->creationDate, 1400000000);
    EXPECT_EQ(items[0]->size, 5'000'000'000);
    EXPECT_EQ(items[0]->treeHash, "h5000000000");
    EXPECT_EQ(items[0]->inventoryDate, 1600000000);
    EXPECT_EQ(items[0]->baseName, "a b.jpg");
    EXPECT_TRUE(*items[0] == *listed);
    // A local addition has no inventory date; local dates are not read back.
    EXPECT_EQ(items[1]->inventoryDate, std::nullopt);
    EXPECT_EQ(items[1]->localAdd, std::nullopt);
    EXPECT_EQ(items[1]->localDelete, std::nullopt);
    EXPECT_FALSE(*items[1] == *listed);
    ASSERT_TRUE(db->executeUpdate(
        "INSERT INTO inventory_items (archive_id, archive_description, name, created_at, size, "
        "tree_hash, local_add, inventory_id) VALUES (NULL, 'key=L2EvYi50eHQ=', 'stale/name', "
        "NULL, NULL, NULL, 0, 3)"));
    const auto stale = load(3, 42);
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_EQ(stale[0]->archiveID, "");
    EXPECT_EQ(stale[0]->treeHash, "");
    EXPECT_EQ(stale[0]->size, 0);
    EXPECT_EQ(stale[0]->name, "a/b.txt");
    EXPECT_EQ(stale[0]->dirName, "a");
    EXPECT_EQ(stale[0]->inventoryDate, 42);  // local_add 0 counts as none
}

TEST(InventoryItemCreateTest, EntryOfAnInventoryDocument) {
    const auto json = JSON::parse(
        R"({"ArchiveId":"id1","ArchiveDescription":"a%2Fb","CreationDate":"2014-01-02T03:04:05Z",)"
        R"("Size":3,"SHA256TreeHash":"ff"})");
    const auto item = InventoryItem::create(json);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->archiveID, "id1");
    EXPECT_EQ(item->name, "a/b");
    EXPECT_EQ(item->creationDate, 1388631845);
    EXPECT_EQ(item->size, 3);
    EXPECT_EQ(item->inventoryDate, std::nullopt);

    for (
        const char* broken : {
            R"({"ArchiveDescription":"a","CreationDate":"2014-01-02T03:04:05Z","Size":3,"SHA256TreeHash":"ff"})",
            R"({"ArchiveId":"i","ArchiveDescription":1,"CreationDate":"2014-01-02T03:04:05Z","Size":3,"SHA256TreeHash":"ff"})",
            R"({"ArchiveId":"i","ArchiveDescription":"a","CreationDate":"yesterday","Size":3,"SHA256TreeHash":"ff"})",
            R"({"ArchiveId":"i","ArchiveDescription":"a","CreationDate":"2014-01-02T03:04:05Z","Size":"3","SHA256TreeHash":"ff"})",
            R"({"ArchiveId":"i","ArchiveDescription":"a","CreationDate":"2014-01-02T03:04:05Z","Size":1.5,"SHA256TreeHash":"ff"})",
            R"({"ArchiveId":"i","ArchiveDescription":"a","CreationDate":"2014-01-02T03:04:05Z","Size":3})",
            R"([1,2])",
        }) {
        EXPECT_EQ(InventoryItem::create(JSON::parse(broken)), nullptr) << broken;
    }
}

TEST(DownloadFileTest, FoldersAreTrimmedAndCreatedAndAFileInTheWayIsReported) {
    TempDir dir;
    InventoryItem item;
    item.archiveID = "ARCHIVE";
    item.name = " a /b/ c.txt";
    EXPECT_EQ(item.getDownloadFile(dir.path()), dir.path() + "/a/b/c.txt.part");
    EXPECT_TRUE(FileHelpers::directoryExists(dir.path() + "/a/b"));
    EXPECT_FALSE(FileHelpers::exists(dir.path() + "/a/b/c.txt.part"));

    item.name = "docs/";
    EXPECT_EQ(item.getDownloadFile(dir.path()), dir.path() + "/docs.part");
    item.name = "";
    EXPECT_EQ(item.getDownloadFile(dir.path()), dir.path() + "/ARCHIVE.part");
    item.name = "x/ \t/";
    EXPECT_EQ(item.getDownloadFile(dir.path()), dir.path() + "/x/ARCHIVE.part");
    // Components that lead upwards are dropped.
    item.name = "../../etc/../z.txt";
    EXPECT_EQ(item.getDownloadFile(dir.path()), dir.path() + "/etc/z.txt.part");
    TempDir blocked;
    std::ofstream(blocked.file("a")) << "x";
    InventoryItem blockedItem;
    blockedItem.name = "a/b/c.txt";
    ErrorPtr error;
    EXPECT_EQ(blockedItem.getDownloadFile(blocked.path(), &error), std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), FileHelpers::kFileErrorDomain);
    // Without folders nothing needs creating.
    blockedItem.name = "c.txt";
    EXPECT_EQ(blockedItem.getDownloadFile(blocked.file("a")), blocked.file("a") + "/c.txt.part");
}

}  // namespace
}  // namespace quillon
