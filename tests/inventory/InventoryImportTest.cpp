// Tests of inventory import: items, folders, damaged documents, cancellation and kill -9.
// Threads: the test's thread; two tests fork a child process that imports and is killed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "InventoryFixture.h"
#include "foundation/FileHelpers.h"
#include "foundation/FileLock.h"
#include "foundation/ModelError.h"
#include "inventory/InventoryImport.h"
#include "vaults/AccountDBBuilder.h"

namespace quillon::testing {
namespace {

class InventoryImportTest : public InventoryFixture {
  protected:
    InventoryPtr importFile(const std::string& path, std::vector<int>* percents = nullptr) {
        return InventoryImport(vault).importFromFile(path, [&](int percent) {
            if (percents) {
                percents->push_back(percent);
            }
            return true;
        });
    }

    InventoryPtr import(const std::string& content, std::vector<int>* percents = nullptr) {
        return importFile(writeFile("inventory.json", content), percents);
    }

    // The case of the model error an import of the file throws, if any.
    std::optional<ModelError::Case> failureOfFile(const std::string& path) {
        try {
            importFile(path);
        } catch (const ModelError& error) {
            return error.caseValue();
        }
        return std::nullopt;
    }

    std::optional<ModelError::Case> failure(const std::string& content) {
        return failureOfFile(writeFile("inventory.json", content));
    }

    // A document of two blocks: its archives "d/fN" fill the first block and spill over.
    std::string twoBlocks() {
        std::string text = header() + "\"ArchiveList\":[";
        for (int i = 0; text.size() <= InventoryImport::kBlockSize; ++i) {
            text +=
                (i ? "," : "") + archiveJSON("A" + std::to_string(i), "d/f" + std::to_string(i));
        }
        return writeFile("two-blocks.json", text + "]}");
    }

    std::vector<std::string> all(const InventoryPtr& inventory) {
        return names(inventory->items({.sort = Inventory::SortDescriptor{"id", true}}));
    }
};

TEST_F(InventoryImportTest, ImportsItemsFoldersAndMarksDone) {
    InventoryPtr older = inventoryWith({{"old.txt", 1}});
    std::vector<int> percents;
    InventoryPtr inventory =
        import(document({archiveJSON("A", "photos/2014/a%20b.jpg"),
                         archiveJSON("B", "photos/", "1"), archiveJSON("C", "docs/x/y/z.txt")}),
               &percents);
    ASSERT_TRUE(inventory);
    EXPECT_TRUE(inventory->done());
    EXPECT_EQ(inventory->inventoryDate, 1620284889);
    EXPECT_EQ(percents, (std::vector<int>{100}));
    EXPECT_EQ(all(inventory),
              (std::vector<std::string>{"photos/2014/a b.jpg", "photos/", "docs/x/y/z.txt"}));
    auto item = inventory->getByArchiveID("A");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->size, 10);
    EXPECT_EQ(item->creationDate, 1577934245);
    EXPECT_EQ(names(inventory->rootDir().subdirectories()),
              (std::vector<std::string>{"docs", "photos"}));
    EXPECT_EQ(rowsOf("directories", inventory->id), 5);
    // Older inventories are pruned.
    EXPECT_FALSE(manager().get(older->id));
    EXPECT_EQ(*manager().latest(), *inventory);
    // The write-ahead log is folded in, not left at its size beside the open connection.
    EXPECT_EQ(FileHelpers::fileSize(vault->db().path() + "-wal"), 0);
}

TEST_F(InventoryImportTest, HeaderProblemsStopBeforeAnythingIsWritten) {
    for (const std::string& invalid :
         {std::string(), std::string("not json at all"),
          "{\"ArchiveList\":[" + archiveJSON("A", "a") + "],\"VaultARN\":\"" + arn() +
              "\",\"InventoryDate\":\"2021-05-06T07:08:09Z\"}",
          "{\"VaultARN\":\"" + arn() + "\",\"InventoryDate\":\"yesterday\",\"ArchiveList\":[]}"}) {
        EXPECT_EQ(failure(invalid), ModelError::Case::invalidImportData) << invalid;
    }
    EXPECT_EQ(failure("{\"VaultARN\":null,\"InventoryDate\":\"2021-05-06T07:08:09Z\","
                      "\"ArchiveList\":[]}"),
              ModelError::Case::importDataARNMismatch);

    try {
        import(header(arn("holidays")) + "\"ArchiveList\":[" + archiveJSON("A", "a") + "]}");
        ADD_FAILURE() << "no error";
    } catch (const ModelError& error) {
        EXPECT_EQ(error.caseValue(), ModelError::Case::importDataARNMismatch);
        EXPECT_EQ(error.importFileARN(), arn("holidays"));
        EXPECT_EQ(error.expectedARN(), arn());
    }
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventories"), 0);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventory_items"), 0);

    // A path that is a folder cannot be read, nor can a missing file.
    EXPECT_EQ(failureOfFile(home.path()), ModelError::Case::fileNotReadable);
    EXPECT_TRUE(failureOfFile(home.file("missing.json")));
}

TEST_F(InventoryImportTest, OddArchivesAreSkippedOneByOne) {
    const std::string longDescription(10000, 'd');
    InventoryPtr inventory = import(document({
        archiveJSON("text-size", "t", "\"12\""),
        archiveJSON("null-size", "n", "null"),
        archiveJSON("null-hash", "nh", "3", "null"),
        archiveJSON("huge-size", "hs", "123456789012345678901234567890"),
        archiveJSON("fraction", "f", "1.5"),
        archiveJSON("bad-date", "bd", "3", "\"h\"", "\"2020-13-45\""),
        "{\"ArchiveId\":\"no-hash\",\"ArchiveDescription\":\"x\",\"CreationDate\":"
        "\"2020-01-02T03:04:05Z\",\"Size\":4}",
        archiveJSON("latin1", "caf\xE9/cr\xE8me"),
        archiveJSON("long", longDescription),
        "{\"ArchiveId\":\"nested\",\"Extra\":{\"deep\":[1,[2,{\"x\":null}]]}}",
        archiveJSON("escaped", "a\\\"b\\u00e9\\/c"),
        archiveJSON("last", "z", "7"),
    }));
    ASSERT_TRUE(inventory);
    // A null prints as "<null>", which is a text like any other.
    EXPECT_EQ(all(inventory), (std::vector<std::string>{"t", "nh", "caf\xE9/cr\xE8me",
                                                        longDescription, "a\"b\xC3\xA9/c", "z"}));
    EXPECT_EQ(inventory->getByArchiveID("null-hash")->treeHash, "<null>");
    EXPECT_EQ(inventory->getByArchiveID("text-size")->size, 12);
    // Bytes that are not UTF-8 are kept as they came, and the folder is theirs.
    auto latin = inventory->getByArchiveID("latin1");
    EXPECT_EQ(latin->archiveDescription, "caf\xE9/cr\xE8me");
    EXPECT_EQ(names(inventory->rootDir().subdirectories()),
              (std::vector<std::string>{"a\"b\xC3\xA9", "caf\xE9"}));
}

TEST_F(InventoryImportTest, DamagedDocumentsKeepWhatCameBefore) {
    const std::string full = document({archiveJSON("A", "a"), archiveJSON("B", "b")});
    const std::string list = "\"ArchiveList\":[" + archiveJSON("A", "a");
    const struct {
        const char* what;
        std::string content;
        std::vector<std::string> names;
    } cases[] = {
        {"truncated in an archive", full.substr(0, full.size() - 20), {"a"}},
        {"a syntax error ends it", header() + list + ",}" + archiveJSON("B", "b"), {"a"}},
        {"deep nesting is just more events",
         header() + "\"Other\":" + std::string(100000, '[') + std::string(100000, ']') + "," +
             list + "," + std::string(50000, '[') + "]}",
         {"a"}},
        {"empty", document({}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        InventoryPtr inventory = import(c.content);
        ASSERT_TRUE(inventory);
        EXPECT_TRUE(inventory->done());
        EXPECT_EQ(all(inventory), c.names);
    }
    EXPECT_EQ(manager().all().size(), 1u);
}

TEST_F(InventoryImportTest, TokensSplitAcrossBlocks) {
    // Pad so that the archive id of the second archive straddles the 5 MiB boundary.
    const std::string prefix = header() + "\"Pad\":\"";
    const std::string afterPad =
        "\",\"ArchiveList\":[" + archiveJSON("A", std::string(100, 'p')) + ",";
    const std::string splitID = std::string(60, 'S');
    // The id starts 30 bytes before the boundary, after the 14 of {"ArchiveId":".
    std::size_t padding = InventoryImport::kBlockSize - prefix.size() - afterPad.size() - 44;
    std::string content = prefix + std::string(padding, ' ') + afterPad +
                          archiveJSON(splitID, "s/t", "1234567") + "," + archiveJSON("C", "c") +
                          "]}";
    ASSERT_GT(content.size(), InventoryImport::kBlockSize);
    std::vector<int> percents;
    InventoryPtr inventory = import(content, &percents);
    ASSERT_TRUE(inventory);
    EXPECT_EQ(percents.size(), 2u);
    EXPECT_EQ(percents.back(), 100);
    auto split = inventory->getByArchiveID(splitID);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->size, 1234567);
    EXPECT_EQ(all(inventory).size(), 3u);
}

// Stopped at the second block: no inventory and no error; the previous inventory stays the one
// listed and browsed, and the first block's rows sit under a row nothing lists.
TEST_F(InventoryImportTest, ACancelledImportLeavesThePreviousOneInPlace) {
    InventoryPtr previous = inventoryWith({{"old/a.txt", 3}});
    InventoryImport importer(vault);
    int calls = 0;
    EXPECT_FALSE(importer.importFromFile(twoBlocks(), [&](int) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
    ASSERT_TRUE(importer.inventory());
    EXPECT_FALSE(importer.inventory()->done());
    const std::vector<InventoryPtr> listed = manager().all();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(*listed[0], *previous);
    EXPECT_EQ(*manager().latest(), *previous);
    EXPECT_EQ(all(manager().latest()), (std::vector<std::string>{"old/a.txt"}));
    EXPECT_EQ(names(manager().latest()->rootDir().subdirectories()),
              (std::vector<std::string>{"old"}));
    // The second block's archives were never written.
    EXPECT_EQ(rowsOf("items", importer.inventory()->id), importer.countArchives() - 1);
}

TEST_F(InventoryImportTest, TheLocalJournalIsAppliedOnTop) {
    // Made after the inventory date (2021-05-06): applied.
    journal("add", "UP", "new/file.txt", 1700000000);
    journal("delete", "A", "", 1700000001);
    // Made before: the service's inventory already shows it.
    journal("add", "OLD", "old.txt", 1500000000);
    InventoryPtr inventory = import(document({archiveJSON("A", "docs/a.txt")}));
    ASSERT_TRUE(inventory);
    EXPECT_EQ(all(inventory), (std::vector<std::string>{"new/file.txt"}));
    EXPECT_EQ(names(inventory->rootDir().subdirectories()), (std::vector<std::string>{"new"}));
    EXPECT_EQ(names(inventory->items({.withLocal = false})),
              (std::vector<std::string>{"docs/a.txt"}));
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM archives"), 3);
}

// The whole schema of the vault's database file, statistics aside: a line per entry.
std::string schemaOf(DatabaseQueue& queue) {
    return dumpQuery(queue,
                     "SELECT type, name, sql FROM sqlite_master WHERE name NOT LIKE 'sqlite_stat%' "
                     "ORDER BY name");
}

// A large import goes without the item indexes and builds them when it completes. Killed at
// any point, the next opening of the file brings back exactly the schema, with the previous
// inventory in place; run to its end, it leaves the same schema and the journal applied.
TEST_F(InventoryImportTest, AnImportWithoutIndexesSurvivesKillNine) {
    InventoryImport::indexRebuildMinBytes = 0;
    InventoryPtr previous = inventoryWith({{"old/a.txt", 3}, {"old/b.txt", 4}});
    journal("add", "UP", "new/file.txt", 1700000000);
    const std::vector<std::string> archives = numberedArchives(
        300, [](int i) { return "f" + std::to_string(i % 7) + "/n" + std::to_string(i); });
    const std::string path = writeFile("large.json", document(archives));
    const std::string file = vault->db().path();
    const std::string schema = schemaOf(vault->db());
    ASSERT_GT(std::count(schema.begin(), schema.end(), '\n'), 30);

    // Each point is a diagnostic line the import writes: the first batch (indexes already
    // dropped), the end of the parse, and inside the completing transaction once the indexes
    // are built again.
    for (const char* point : {" items and ", "Parse took", "reconcileLocalArchivesInDB"}) {
        vault->db().close();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ConsoleLog::setSink([point](const std::string& line) {
                if (line.find(point) != std::string::npos) {
                    ::kill(::getpid(), SIGKILL);
                }
            });
            InventoryImport(vault).importFromFile(path, [](int) { return true; });
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << point;

        AccountDBBuilder builder(file);
        ASSERT_TRUE(builder.getDBQueue()) << point;
        EXPECT_EQ(queryInt("SELECT COUNT(*) FROM pragma_integrity_check WHERE "
                           "integrity_check = 'ok'"),
                  1)
            << point;
        EXPECT_EQ(schemaOf(vault->db()), schema) << point;
        ASSERT_TRUE(manager().latest()) << point;
        EXPECT_EQ(manager().latest()->id, previous->id) << point;
        EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventory_items"), 2) << point;
        EXPECT_EQ(names(previous->items({.search = "old/"})).size(), 2u) << point;
        EXPECT_EQ(previous->rootDir().subtreeTotals(0)[""].size, 7) << point;
    }

    InventoryPtr inventory = import(document(archives));
    InventoryImport::indexRebuildMinBytes = 32 * 1024 * 1024;
    ASSERT_TRUE(inventory);
    EXPECT_EQ(schemaOf(vault->db()), schema);
    EXPECT_EQ(inventory->countItems({}), 301);
    EXPECT_TRUE(inventory->getByName("new/file.txt"));
    EXPECT_EQ(inventory->getByArchiveID("id-299")->name, "f5/n299");
    EXPECT_FALSE(manager().get(previous->id));
}

// A large import that is stopped gives its indexes back at once, not at the next opening; one
// of a document older than the stored inventory leaves no journal rows under the inventory it
// pruned.
TEST_F(InventoryImportTest, AStoppedLargeImportRestoresTheIndexesAndAnOlderOneLeavesNoOrphans) {
    InventoryImport::indexRebuildMinBytes = 0;
    InventoryPtr newer = inventoryWith({{"old/a.txt", 3}}, 1700000000);
    const std::string schema = schemaOf(vault->db());
    InventoryImport stopped(vault);
    EXPECT_FALSE(stopped.importFromFile(twoBlocks(), [](int) { return false; }));
    EXPECT_EQ(schemaOf(vault->db()), schema);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventories WHERE import_done_at IS NULL"), 0);

    journal("add", "UP", "new/file.txt", 1750000000);
    EXPECT_TRUE(import(document({archiveJSON("A", "docs/a.txt")})));
    InventoryImport::indexRebuildMinBytes = 32 * 1024 * 1024;
    EXPECT_EQ(manager().latest()->id, newer->id);
    EXPECT_EQ(queryInt("SELECT COUNT(*) FROM inventory_items WHERE inventory_id NOT IN (SELECT id "
                       "FROM inventories)"),
              0);
    EXPECT_EQ(schemaOf(vault->db()), schema);
}

// Another process imports, pauses after its first block is stored and is then killed: while it
// lives, opening the database spares its items and folders (and the item indexes it dropped);
// once it is dead, the next open removes them, the previous inventory stays whole and the file
// is sound.
TEST_F(InventoryImportTest, MaintenanceSparesALiveImportAndCleansUpAKilledOne) {
    InventoryImport::indexRebuildMinBytes = 0;
    InventoryPtr previous = inventoryWith({{"old.txt", 1}});
    const std::string path = twoBlocks();
    const std::string lockPath = vault->writerLockPath();
    int paused[2];
    ASSERT_EQ(pipe(paused), 0);
    vault->db().close();  // the child opens a connection of its own
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            FileLock writer(lockPath);
            writer.lock();
            InventoryImport importer(vault);
            int blocks = 0;
            importer.importFromFile(path, [&](int) {
                if (++blocks == 2) {
                    (void)!write(paused[1], "x", 1);
                    ::pause();
                }
                return true;
            });
        } catch (...) {
        }
        _exit(1);
    }
    close(paused[1]);
    char signal = 0;
    ASSERT_EQ(read(paused[0], &signal, 1), 1);
    close(paused[0]);
    const std::string unfinished =
        "SELECT COUNT(*) FROM inventories WHERE import_done_at IS NULL AND inventory_date > 0";
    auto openWithMaintenance = [&] { ASSERT_TRUE(AccountDBBuilder(account->dbFile()).getDB()); };

    // Rows of an inventory table that are not the previous inventory's.
    auto others = [&](const std::string& table) {
        return queryInt("SELECT COUNT(*) FROM inventory_" + table + " WHERE inventory_id != ?",
                        {previous->id});
    };
    const std::string nameIndex =
        "SELECT COUNT(*) FROM sqlite_master WHERE name = 'idx_inventory_items_name_2'";
    openWithMaintenance();
    EXPECT_EQ(queryInt(unfinished), 1);
    EXPECT_GT(others("items"), 0);
    EXPECT_GT(others("directories"), 0);
    EXPECT_EQ(queryInt(nameIndex), 0);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    openWithMaintenance();
    InventoryImport::indexRebuildMinBytes = 32 * 1024 * 1024;
    EXPECT_EQ(queryInt(nameIndex), 1);
    EXPECT_EQ(queryInt(unfinished), 0);
    EXPECT_EQ(others("items"), 0);
    EXPECT_EQ(others("directories"), 0);
    EXPECT_EQ(rowsOf("items", previous->id), 1);
    EXPECT_EQ(manager().latest()->id, previous->id);
    vault->db().inDatabase(
        [](Database& db) { EXPECT_EQ(db.stringForQuery("PRAGMA integrity_check"), "ok"); });
}

}  // namespace
}  // namespace quillon::testing
