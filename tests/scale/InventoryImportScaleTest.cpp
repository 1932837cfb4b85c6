// Tests of inventory import at scale: hundreds of thousands of archives.
// Threads: run on the test's thread, as InventoryFixture.
#include <fstream>

#include "inventory/InventoryFixture.h"
#include "inventory/InventoryImport.h"

namespace quillon::testing {
namespace {

using InventoryImportScaleTest = InventoryFixture;

// A syntax error deep into a large document keeps every archive before it.
TEST_F(InventoryImportScaleTest, SyntaxErrorAfterAHundredThousandArchives) {
    constexpr int kArchives = 100000;
    std::vector<std::string> list = numberedArchives(
        kArchives,
        [](int i) {
            return "f" + std::to_string(i % 100) + "/g" + std::to_string(i % 7) + "/file-" +
                   std::to_string(i) + ".dat";
        },
        [](int i) { return i; });
    list.push_back("{\"ArchiveId\":\"after\" \"ArchiveDescription\":\"x\"}");
    for (int i = 0; i < 1000; ++i) {
        list.push_back(archiveJSON("late-" + std::to_string(i), "late", "1", "\"b\""));
    }
    InventoryImport importer(vault);
    InventoryPtr inventory =
        importer.importFromFile(writeFile("big.json", document(list)), [](int) { return true; });
    ASSERT_TRUE(inventory);
    EXPECT_TRUE(inventory->done());
    EXPECT_EQ(importer.countArchives(), kArchives);
    EXPECT_EQ(rowsOf("items", inventory->id), kArchives);
    EXPECT_EQ(rowsOf("directories", inventory->id), 100 + 700);
    EXPECT_FALSE(inventory->getByArchiveID("late-0"));
    EXPECT_EQ(inventory->getByArchiveID("id-99999")->name, "f99/g4/file-99999.dat");
}

// 200,000 archives in 1,000 folders below 10 top folders: the import (large enough to go
// without the item indexes and build them at its end) keeps every index, and counts,
// listings and folder totals agree with the document.
TEST_F(InventoryImportScaleTest, TwoHundredThousandArchivesCountListAndTotal) {
    constexpr int kArchives = 200000;
    const std::vector<std::string> list = numberedArchives(
        kArchives,
        [](int i) {
            return "top" + std::to_string(i % 10) + "/sub" + std::to_string(i % 1000) + "/" +
                   std::string(120, 'x') + std::to_string(i) + ".dat";
        },
        [](int i) { return 2 + i % 5; });
    const std::string path = writeFile("large.json", document(list));
    ASSERT_GE(std::ifstream(path, std::ios::ate).tellg(), InventoryImport::indexRebuildMinBytes);
    InventoryImport importer(vault);
    InventoryPtr inventory = importer.importFromFile(path, [](int) { return true; });
    ASSERT_TRUE(inventory);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = "
                       "'inventory_items'"),
              10);
    EXPECT_EQ(inventory->countItems({}), kArchives);
    EXPECT_EQ(inventory->countItems({.search = "^x"}), kArchives);
    InventoryDir top(inventory, "top3", "");
    EXPECT_EQ(top.subdirectories().size(), 100u);
    InventoryDir sub(inventory, "sub3", "top3");
    EXPECT_EQ(inventory->items({.dir = &sub}).size(), 200u);
    auto totals = inventory->rootDir().subtreeTotals();
    // Sizes 2..6 in turn: 4 on average.
    EXPECT_EQ(totals[""].count, kArchives);
    EXPECT_EQ(totals[""].size, 4 * kArchives);
    EXPECT_EQ(totals["top3"].count, kArchives / 10);
    EXPECT_EQ(totals["top3/sub3"].count, 200);
    EXPECT_EQ(totals["top3/sub3"].size, queryInt("SELECT SUM(size) FROM inventory_items WHERE "
                                                 "dir_name = 'top3/sub3'"));
    EXPECT_EQ(inventory->getByArchiveID("id-199999")->name,
              "top9/sub999/" + std::string(120, 'x') + "199999.dat");
}

}  // namespace
}  // namespace quillon::testing
