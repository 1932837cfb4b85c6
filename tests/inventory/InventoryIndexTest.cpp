// Tests of the inventory index side file: folder totals kept through every kind of change and
// equal to a fresh sum, and searches through the name index equal to a plain scan.
// Threads: the test's thread, as InventoryFixture.
#include <map>
#include <memory>
#include <set>

#include "interfaces/text/CaseFolding.h"
#include "inventory/InventoryFixture.h"
#include "inventory/InventoryImport.h"
#include "inventory/InventoryIndex.h"
#include "inventory/MappingData.h"

namespace quillon::testing {
namespace {

class InventoryIndexTest : public InventoryFixture {
  protected:
    bool current(const InventoryPtr& inventory) {
        bool result = false;
        vault->db().inDatabase(
            [&](Database& db) { result = InventoryIndex::isCurrent(db, inventory->id); });
        return result;
    }

    // The kept totals are current and equal the items' fresh sums, for the whole tree and for
    // each folder's children.
    void expectKeptTotals(const InventoryPtr& inventory, const std::string& where) {
        EXPECT_TRUE(current(inventory)) << where;
        InventoryDir root = inventory->rootDir();
        EXPECT_EQ(sums(root.subtreeTotals()), sums(root.freshTotals())) << where;
        for (const InventoryDir& folder : root.descendants()) {
            EXPECT_EQ(sums(folder.subtreeTotals(1)), sums(folder.freshTotals(1)))
                << where << " " << folder.name();
        }
    }

    InventoryPtr import(const std::vector<std::string>& archives) {
        return InventoryImport(vault).importFromFile(writeFile("doc.json", document(archives)),
                                                     [](int) { return true; });
    }

    ArchivePtr entryOf(Archive::Action action, const std::string& id, const std::string& path,
                       std::int64_t size) {
        auto entry = std::make_shared<Archive>(vault);
        entry->action = action;
        entry->archiveID = id;
        entry->archiveDescription = path;
        entry->size = size;
        entry->treeHash = "t" + id;
        return entry;
    }
    void journalEntry(Archive::Action action, const std::string& id, const std::string& path,
                      std::int64_t size) {
        entryOf(action, id, path, size)->append();
    }
};

TEST_F(InventoryIndexTest, FolderTotalsFollowEveryKindOfChangeAndEqualAFreshSum) {
    InventoryPtr first = import(
        {archiveJSON("a1", "docs/a.txt", "10"), archiveJSON("a2", "docs/deep/b.txt", "20"),
         archiveJSON("a3", "docs/empty/", "1"), archiveJSON("a4", "top.txt", "5"),
         archiveJSON("a5", "pics/2020/c.jpg", "30"), archiveJSON("a6", "pics/2020/c.jpg", "30")});
    ASSERT_TRUE(first);
    expectKeptTotals(first, "import");
    EXPECT_EQ(sums(first->rootDir().subtreeTotals(1)),
              (Sums{{"", {95, 5}}, {"docs", {30, 2}}, {"pics", {60, 2}}}));

    journalEntry(Archive::Action::Add, "n1", "new/deeper/d.txt", 7);
    journalEntry(Archive::Action::Add, "n2", "docs/folder/", 1);
    expectKeptTotals(first, "journal add");
    journalEntry(Archive::Action::Delete, "a2", "", 0);
    journalEntry(Archive::Action::Delete, "a3", "", 0);
    journalEntry(Archive::Action::Delete, "unknown", "", 0);
    journalEntry(Archive::Action::Delete, "a2", "", 0);
    expectKeptTotals(first, "journal delete");
    EXPECT_EQ(sums(first->rootDir().subtreeTotals(0)), (Sums{{"", {82, 5}}}));

    MappingData mapping;
    mapping.map = {{"a1", "moved/x/a.txt"}, {"a5", "moved/c.jpg"}};
    EXPECT_EQ(mapping.importInto(*first), 2);
    expectKeptTotals(first, "mapping");
    EXPECT_EQ(first->items({.search = "moved/x"}).size(), 1u);

    // A newer inventory replaces the first: its side data goes with it; the journal entries
    // made after the new inventory's date apply to it.
    InventoryPtr second = import({archiveJSON("b1", "docs/a.txt", "11")});
    ASSERT_TRUE(second);
    expectKeptTotals(second, "second import");
    EXPECT_FALSE(current(first));
    EXPECT_EQ(queryInt(std::string("SELECT COUNT(*) FROM ") + InventoryIndex::kSchema +
                           ".folder_totals WHERE inventory_id = ?",
                       {first->id}),
              0);

    EXPECT_EQ(sums(second->rootDir().subtreeTotals(0)), (Sums{{"", {18, 2}}}));

    // A write that bypasses the side file leaves it stale: totals are then summed afresh.
    execute(
        "INSERT INTO inventory_items (archive_id, name, base_name, dir_name, size, "
        "inventory_id) VALUES ('x', 'docs/z', 'z', 'docs', 100, ?)",
        {second->id});
    EXPECT_FALSE(current(second));
    EXPECT_EQ(sums(second->rootDir().subtreeTotals(1)),
              (Sums{{"", {118, 3}}, {"docs", {111, 2}}, {"new", {7, 1}}}));
    // And distrusted side data is never used, whatever its fingerprint.
    InventoryPtr third = import({archiveJSON("c1", "a/b.txt", "3")});
    expectKeptTotals(third, "third import");
    vault->db().inDatabase([&](Database& db) { InventoryIndex::distrust(db, third->id); });
    EXPECT_FALSE(current(third));
    EXPECT_EQ(sums(third->rootDir().subtreeTotals(0)), (Sums{{"", {10, 2}}}));
}

// A batch of journal entries (a purge's) checks the side file once and seals it once.
TEST_F(InventoryIndexTest, ABatchOfJournalEntriesLeavesTheKeptTotalsCurrent) {
    InventoryPtr inventory =
        import({archiveJSON("a1", "docs/a.txt", "10"), archiveJSON("a2", "docs/b.txt", "20"),
                archiveJSON("a3", "top.txt", "5")});
    ASSERT_TRUE(inventory);
    ASSERT_TRUE(Archive::appendAll(*vault,
                                   {entryOf(Archive::Action::Delete, "a1", "", 0),
                                    entryOf(Archive::Action::Add, "n1", "new/e.txt", 4),
                                    entryOf(Archive::Action::Delete, "a3", "", 0)},
                                   false));
    expectKeptTotals(inventory, "batch");
    EXPECT_EQ(sums(inventory->rootDir().subtreeTotals(0)), (Sums{{"", {24, 2}}}));
}

// A vault journalled into before any import gets a placeholder inventory, indexed too.
TEST_F(InventoryIndexTest, APlaceholderInventoryKeepsItsTotals) {
    journalEntry(Archive::Action::Add, "p1", "up/one.txt", 4);
    journalEntry(Archive::Action::Add, "p2", "up/two.txt", 6);
    InventoryPtr placeholder = manager().latest();
    ASSERT_TRUE(placeholder);
    expectKeptTotals(placeholder, "placeholder");
    EXPECT_EQ(sums(placeholder->rootDir().subtreeTotals(1)),
              (Sums{{"", {10, 2}}, {"up", {10, 2}}}));
}

// Searches through the name index find what a plain scan of the names finds, in either letter
// case by Unicode folding, with LIKE wildcards and with globs.
TEST_F(InventoryIndexTest, FindThroughTheNameIndexEqualsAPlainScan) {
    const std::vector<std::string> paths = {
        "Café/Crème brûlée.jpg", "cafe/plain.jpg",     "STRASSE/Karte.png", "Straße/karte.PNG",
        "photos/IMG_001.JPG",    "photos/IMGx001.jpg", "quote\"d/name.txt", "ab/c",
        "ÉTÉ/Été 2019.mov"};
    std::vector<std::string> archives;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::string escaped;
        for (char c : paths[i]) {
            escaped += c == '"' ? std::string("\\\"") : std::string(1, c);
        }
        archives.push_back(archiveJSON("id" + std::to_string(i), escaped));
    }
    InventoryPtr inventory = import(archives);
    ASSERT_TRUE(inventory);
    ASSERT_TRUE(current(inventory));

    auto found = [&](const Inventory::ItemQuery& query) {
        auto list = names(inventory->items(query));
        return std::set<std::string>(list.begin(), list.end());
    };
    // What a scan finds: every path tested in C++.
    auto scan = [&](const std::function<bool(const std::string&)>& keep) {
        std::set<std::string> out;
        for (const std::string& path : paths) {
            if (keep(path)) {
                out.insert(path);
            }
        }
        return out;
    };
    auto contains = [](const std::string& term, bool fold) {
        return [term, fold](const std::string& path) {
            return fold ? CaseFolding::fold(path).find(CaseFolding::fold(term)) != std::string::npos
                        : path.find(term) != std::string::npos;
        };
    };
    const std::vector<std::pair<std::string, bool>> searches = {
        {"Crème", false},    {"crème", true},   {"café", true},     {"CAFÉ", true},
        {"Café", false},     {"strasse", true}, {"STRASSE", false}, {"karte", true},
        {"quote\"d", false}, {"été", true},     {"ab/", false},     {"xyz", true}};
    for (const auto& [term, fold] : searches) {
        EXPECT_EQ(found({.search = term, .ignoreCase = fold}), scan(contains(term, fold)))
            << term << " " << fold;
    }
    EXPECT_EQ(found({.search = "straße", .ignoreCase = true}),
              (std::set<std::string>{"STRASSE/Karte.png", "Straße/karte.PNG"}));
    // "_" stays a LIKE wildcard; globs match the whole path.
    EXPECT_EQ(found({.search = "IMG_001"}),
              (std::set<std::string>{"photos/IMG_001.JPG", "photos/IMGx001.jpg"}));
    EXPECT_EQ(found({.glob = "photos/*.jpg"}), (std::set<std::string>{"photos/IMGx001.jpg"}));
    EXPECT_EQ(found({.ignoreCase = true, .glob = "photos/*.jpg"}),
              (std::set<std::string>{"photos/IMG_001.JPG", "photos/IMGx001.jpg"}));
    EXPECT_EQ(found({.ignoreCase = true, .glob = "*[ée]t[ée]*"}),
              (std::set<std::string>{"ÉTÉ/Été 2019.mov"}));

    // The same searches with the index distrusted read every name and find the same.
    std::vector<std::set<std::string>> indexed;
    for (const auto& [term, fold] : searches) {
        indexed.push_back(found({.search = term, .ignoreCase = fold}));
    }
    vault->db().inDatabase([&](Database& db) { InventoryIndex::distrust(db, inventory->id); });
    for (std::size_t i = 0; i < searches.size(); ++i) {
        EXPECT_EQ(found({.search = searches[i].first, .ignoreCase = searches[i].second}),
                  indexed[i])
            << searches[i].first;
    }
}

}  // namespace
}  // namespace quillon::testing
