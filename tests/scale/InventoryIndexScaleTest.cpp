// Tests of the inventory index at scale: a large import killed with SIGKILL, then folder totals
// against fresh sums, searches against a plain scan and duplicates against a GROUP BY.
// Threads: the test's thread; one test forks a child process that imports and is killed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "interfaces/text/CaseFolding.h"
#include "inventory/InventoryFixture.h"
#include "inventory/InventoryImport.h"
#include "inventory/InventoryIndex.h"
#include "vaults/AccountDBBuilder.h"

namespace quillon::testing {
namespace {

class InventoryIndexScaleTest : public InventoryFixture {
  protected:
    // `count` archives below 4 top folders, 40 years and 25 subfolders; one name in 100 holds
    // "Needle" (in either case), one in 3 a tree hash shared with other archives.
    static std::string scaleDocument(int count, int first = 0) {
        std::vector<std::string> list;
        list.reserve(static_cast<std::size_t>(count));
        for (int n = first; n < first + count; ++n) {
            const std::string path =
                "top" + std::to_string(n % 4) + "/" + std::to_string(1980 + n % 40) + "/sub" +
                std::to_string(n % 25) + "/" +
                (n % 100 == 7 ? (n % 200 == 7 ? "NEEDLE-" : "needle-") : "f-") + std::to_string(n) +
                std::string(60, 'x');
            std::string hash = std::to_string(n % 3 == 0 ? n % 997 : n);
            hash = std::string(64 - hash.size(), '0') + hash;
            list.push_back(archiveJSON("id-" + std::to_string(n), path, std::to_string(2 + n % 7),
                                       "\"" + hash + "\""));
        }
        return document(list);
    }

    InventoryPtr importFile(const std::string& path) {
        return InventoryImport(vault).importFromFile(path, [](int) { return true; });
    }

    bool current(const InventoryPtr& inventory) {
        bool result = false;
        vault->db().inDatabase(
            [&](Database& db) { result = InventoryIndex::isCurrent(db, inventory->id); });
        return result;
    }

    // Kept totals are current and equal the fresh sums, find equals a scan of every name (in
    // either case), dupes equals a GROUP BY.
    void expectIndexAgrees(const InventoryPtr& inventory, const std::string& where) {
        ASSERT_TRUE(current(inventory)) << where;
        InventoryDir root = inventory->rootDir();
        EXPECT_EQ(sums(root.subtreeTotals()), sums(root.freshTotals())) << where;
        InventoryDir year(inventory, "1999", "top3");
        EXPECT_EQ(sums(year.subtreeTotals(1)), sums(year.freshTotals(1))) << where;

        std::vector<std::string> all;
        vault->db().inDatabase([&](Database& db) {
            auto rows = db.executeQuery(
                "SELECT name FROM inventory_items WHERE inventory_id = ? AND local_delete IS NULL",
                {inventory->id});
            while (rows && rows->next()) {
                all.emplace_back(rows->textForColumn(0));
            }
        });
        for (const auto& [term, fold] : std::vector<std::pair<std::string, bool>>{
                 {"needle-", false}, {"NEEDLE-", false}, {"needle-", true}, {"12345x", false}}) {
            std::vector<std::string> scanned;
            for (const std::string& name : all) {
                if ((fold ? CaseFolding::fold(name).find(CaseFolding::fold(term))
                          : name.find(term)) != std::string::npos) {
                    scanned.push_back(name);
                }
            }
            std::vector<std::string> found =
                names(inventory->items({.search = term, .limit = -1, .ignoreCase = fold}));
            std::sort(found.begin(), found.end());
            std::sort(scanned.begin(), scanned.end());
            EXPECT_EQ(found, scanned) << where << " " << term;
            EXPECT_FALSE(found.empty()) << term;
        }

        std::vector<std::pair<std::string, std::int64_t>> grouped;
        vault->db().inDatabase([&](Database& db) {
            auto rows = db.executeQuery(
                "SELECT tree_hash, COUNT(*) FROM inventory_items WHERE inventory_id = ? AND "
                "local_delete IS NULL AND NOT (size = 1 AND name LIKE '%/') GROUP BY tree_hash "
                "HAVING COUNT(*) > 1 ORDER BY tree_hash",
                {inventory->id});
            while (rows && rows->next()) {
                grouped.emplace_back(rows->textForColumn(0), rows->longForColumn(1));
            }
        });
        std::vector<std::pair<std::string, std::int64_t>> dupes;
        for (const auto& group : inventory->duplicateGroups()) {
            dupes.emplace_back(group.front()->treeHash, static_cast<std::int64_t>(group.size()));
        }
        EXPECT_EQ(dupes, grouped) << where;
        EXPECT_EQ(dupes.size(), 997u) << where;
    }
};

// A 200,000-archive import (past the size that goes without item indexes) killed in its middle:
// the next opening finds a sound file with exactly the schema, and the previous inventory
// visible with kept totals that equal a fresh sum. Imported in full afterwards, with journal
// entries on top, the new inventory's index agrees with every plain computation.
TEST_F(InventoryIndexScaleTest, KillNineDuringALargeImportKeepsThePreviousInventoryAndIndex) {
    InventoryPtr previous = importFile(writeFile("previous.json", scaleDocument(20000, 500000)));
    ASSERT_TRUE(previous);
    expectIndexAgrees(previous, "previous");
    const std::string big = writeFile("big.json", scaleDocument(200000));
    ASSERT_GE(std::ifstream(big, std::ios::ate).tellg(), InventoryImport::indexRebuildMinBytes);
    const std::string schema = dumpQuery(vault->db(),
                                         "SELECT type, name, sql FROM sqlite_master WHERE name "
                                         "NOT LIKE 'sqlite_stat%' ORDER BY name");

    vault->db().close();  // the child opens a connection of its own
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed at its eighth batch, items and index writer both under way.
        int batches = 0;
        ConsoleLog::setSink([&batches](const std::string& line) {
            if (line.find(" items and ") != std::string::npos && ++batches == 8) {
                ::kill(::getpid(), SIGKILL);
            }
        });
        InventoryImport(vault).importFromFile(big, [](int) { return true; });
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    ASSERT_TRUE(AccountDBBuilder(account->dbFile()).getDBQueue());
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM pragma_integrity_check WHERE integrity_check = 'ok'"),
              1);
    EXPECT_EQ(dumpQuery(vault->db(),
                        "SELECT type, name, sql FROM sqlite_master WHERE name NOT LIKE "
                        "'sqlite_stat%' ORDER BY name"),
              schema);
    ASSERT_TRUE(manager().latest());
    EXPECT_EQ(manager().latest()->id, previous->id);
    EXPECT_EQ(previous->countItems({}), 20000);
    expectIndexAgrees(previous, "after the kill");

    InventoryPtr inventory = importFile(big);
    ASSERT_TRUE(inventory);
    Archive added(vault);
    added.archiveID = "up";
    added.archiveDescription = "top1/1999/sub3/needle-1-uploaded";
    added.size = 1000;
    added.treeHash = std::string(64, 'f');
    added.append();
    Archive deleted(vault);
    deleted.action = Archive::Action::Delete;
    deleted.archiveID = "id-107";
    deleted.append();
    expectIndexAgrees(inventory, "complete");
    EXPECT_EQ(inventory->rootDir().subtreeTotals(0)[""].count, 200000);
}

}  // namespace
}  // namespace quillon::testing
