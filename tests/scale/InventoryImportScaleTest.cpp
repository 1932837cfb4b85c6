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

}  // namespace
}  // namespace quillon::testing
