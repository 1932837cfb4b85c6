#include <fstream>

#include "inventory/InventoryFixture.h"
#include "inventory/InventoryImport.h"

namespace quillon::testing {
namespace {

using InventoryImportScaleTest = InventoryFixture;

// A syntax error deep into a large document keeps every archive before it.
TEST_F(InventoryImportScaleTest, SyntaxErrorAfterAHundredThousandArchives) {
    constexpr int kArchives = 100000;
    const std::string path = home.path() + "/big.json";
    {
        std::ofstream out(path, std::ios::binary);
        out << "{\"VaultARN\":\"" << arn() << "\",\"InventoryDate\":\"2021-05-06T07:08:09Z\","
            << "\"ArchiveList\":[";
        for (int i = 0; i < kArchives; ++i) {
            out << (i ? "," : "") << "{\"ArchiveId\":\"id-" << i << "\",\"ArchiveDescription\":\"f"
                << i % 100 << "/g" << i % 7 << "/file-" << i
                << ".dat\",\"CreationDate\":\"2020-01-02T03:04:05Z\",\"Size\":" << i
                << ",\"SHA256TreeHash\":\"" << std::string(64, 'a') << "\"}";
        }
        out << ",{\"ArchiveId\":\"after\" \"ArchiveDescription\":\"x\"}";
        for (int i = 0; i < 1000; ++i) {
            out << ",{\"ArchiveId\":\"late-" << i << "\",\"ArchiveDescription\":\"late\","
                << "\"CreationDate\":\"2020-01-02T03:04:05Z\",\"Size\":1,"
                << "\"SHA256TreeHash\":\"b\"}";
        }
        out << "]}";
    }
    InventoryImport importer(vault);
    InventoryPtr inventory = importer.importFromFile(path, [](int) { return true; });
    ASSERT_TRUE(inventory);
    EXPECT_TRUE(inventory->done());
    EXPECT_EQ(importer.countArchives(), kArchives);
    EXPECT_EQ(
        queryInt("SELECT COUNT(*) FROM inventory_items WHERE inventory_id = ?", {inventory->id}),
        kArchives);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventory_directories WHERE inventory_id = ?",
                       {inventory->id}),
              100 + 700);
    EXPECT_FALSE(inventory->getByArchiveID("late-0"));
    EXPECT_EQ(inventory->getByArchiveID("id-99999")->name, "f99/g4/file-99999.dat");
}

// 200,000 archives in 1,000 folders below 10 top folders: the import (large enough to go
// without the item indexes and build them at its end) keeps every index, and counts,
// listings and folder totals agree with the document.
TEST_F(InventoryImportScaleTest, TwoHundredThousandArchivesCountListAndTotal) {
    constexpr int kArchives = 200000;
    const std::string path = home.path() + "/large.json";
    {
        std::ofstream out(path, std::ios::binary);
        out << "{\"VaultARN\":\"" << arn() << "\",\"InventoryDate\":\"2021-05-06T07:08:09Z\","
            << "\"ArchiveList\":[";
        for (int i = 0; i < kArchives; ++i) {
            out << (i ? "," : "") << "{\"ArchiveId\":\"id-" << i
                << "\",\"ArchiveDescription\":\"top" << i % 10 << "/sub" << i % 1000 << "/"
                << std::string(120, 'x') << i << ".dat\",\"CreationDate\":"
                << "\"2020-01-02T03:04:05Z\",\"Size\":" << 2 + i % 5 << ",\"SHA256TreeHash\":\""
                << std::string(64, 'a') << "\"}";
        }
        out << "]}";
    }
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
