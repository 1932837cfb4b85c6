// Tests of the whole road from an inventory job on the service to a search of its items.
// Threads: the test's thread awaits each step; the simulator is a separate process.
#include "JobFixture.h"
#include "inventory/InventoryImport.h"
#include "support/Simulator.h"

namespace quillon::testing {
namespace {

using InventoryRoadTest = JobFixture;

// Start an inventory job, poll it, download its output, import it, browse and search.
TEST_F(InventoryRoadTest, FromJobToSearchOverTheService) {
    constexpr int kArchives = 24000;
    for (const auto& [size, prefix] :
         {std::pair{3, "road/a/file-"}, std::pair{5, "road/b/deep/file-"}}) {
        sim.seed({{"region", "local-1"},
                  {"vault", kVault},
                  {"count", kArchives / 2},
                  {"size", size},
                  {"prefix", prefix}});
    }
    ASSERT_EQ(await([&](auto done) { accountRegion->vaults().sync(done); }), nullptr);
    vault = accountRegion->vaults().get(kVault);
    ASSERT_TRUE(vault);
    ASSERT_FALSE(vault->vaultARN().empty());
    Job::Ptr job = startInventory();
    ASSERT_TRUE(job);
    ASSERT_TRUE(waitUntilDone(job));

    Download output = download(job, std::nullopt);
    ASSERT_EQ(output.error, nullptr);
    ASSERT_GT(output.bytes.size(), InventoryImport::kBlockSize);
    const std::string path = writeFile("inventory-road.json", output.bytes);

    InventoryImport importer(vault);
    std::vector<int> percents;
    InventoryPtr inventory = importer.importFromFile(path, [&](int percent) {
        percents.push_back(percent);
        return true;
    });
    ASSERT_TRUE(inventory);
    EXPECT_EQ(importer.countArchives(), kArchives);
    EXPECT_GE(percents.size(), 2u);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_EQ(*vault->inventoryManager().latest(), *inventory);

    InventoryDir root = inventory->rootDir();
    ASSERT_EQ(names(root.subdirectories()), (std::vector<std::string>{"road"}));
    InventoryDir road = root.subdirectories()[0];
    EXPECT_EQ(names(road.subdirectories()), (std::vector<std::string>{"road/a", "road/b"}));
    EXPECT_EQ(sizeOf(road), (Size{true, (kArchives / 2) * 3 + (kArchives / 2) * 5, kArchives}));
    InventoryDir deep = road.subdirectories()[1].subdirectories().at(0);
    EXPECT_EQ(deep.name(), "road/b/deep");
    EXPECT_EQ(deep.depth(), 3);
    EXPECT_EQ(inventory->items({.dir = &deep}).size(), static_cast<std::size_t>(kArchives / 2));

    auto found = inventory->items({.search = "deep/file-1999"});
    ASSERT_FALSE(found.empty());
    for (const auto& item : found) {
        EXPECT_NE(item->name.find("road/b/deep/file-1999"), std::string::npos) << item->name;
    }
    auto exact = inventory->getByName(found.front()->name);
    ASSERT_TRUE(exact);
    EXPECT_EQ(inventory->items({.search = "archive:" + exact->archiveID}).size(), 1u);
}

}  // namespace
}  // namespace quillon::testing
