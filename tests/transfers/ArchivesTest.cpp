// Tests of the archive journal, single uploads, deletion and folder archives.
// Threads: the test's thread awaits each completion; the simulator is a separate process.
#include "TransfersFixture.h"
#include "foundation/FileLock.h"
#include "foundation/MainQueue.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/platform/NotificationCenter.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryItem.h"
#include "support/ScopedHome.h"

namespace quillon::testing {
namespace {

class ArchivesTest : public TransfersFixture {};

TEST_F(ArchivesTest, JournalKeepsEntriesPerVaultAndReadsOddRowsSafely) {
    auto other = vaultNamed("other");
    Archive added(vault);
    added.archiveID = "A1";
    added.archiveDescription = "a/b.txt";
    added.size = 42;
    added.treeHash = "abc";
    added.creationDate = 1000.9;
    {
        CommitCounter counter(account->db());
        added.append();
        EXPECT_EQ(counter.commits(), 1);  // the entry and the placeholder inventory together
    }
    Archive elsewhere(other);
    elsewhere.archiveID = "B1";
    elsewhere.append();
    execute(
        "INSERT INTO archives (action, archive_id, description, size, tree_hash, created_at, "
        "region, vault) VALUES ('weird', 'A2', '', 0, '', 2000, 'local-1', 'photos')");

    auto entries = vault->archives().all();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->archiveID, "A1");
    EXPECT_EQ(entries[0]->creationDate, 1000);  // whole seconds
    EXPECT_EQ(entries[0]->size, 42);
    EXPECT_EQ(entries[1]->action, Archive::Action::Add);  // anything but "delete"
    EXPECT_FALSE(Archive::actionFromRawValue("weird").has_value());

    account->db().inDatabase([&](Database& db) {
        auto after = vault->archives().archivesAfterFromDB(db, 1000.5);
        ASSERT_EQ(after.size(), 1u);  // 1000 is not after 1000.5 cut to 1000
        EXPECT_EQ(after[0]->archiveID, "A2");
        auto foreignRow = db.longForQuery("SELECT id FROM archives WHERE archive_id = 'B1'");
        EXPECT_EQ(vault->archives().getFromDB(db, foreignRow.value_or(0)), nullptr);
    });

    // Applied at once to a placeholder inventory, since the vault had none.
    auto latest = vault->inventoryManager().latest();
    ASSERT_NE(latest, nullptr);
    EXPECT_EQ(latest->inventoryDate, 0);
    ASSERT_NE(latest->getByArchiveID("A1"), nullptr);

    vault->archives().clear();
    EXPECT_TRUE(vault->archives().all().empty());
    EXPECT_EQ(other->archives().all().size(), 1u);
}

TEST_F(ArchivesTest, UploadStreamsTheFileJournalsItAndTheServiceListsIt) {
    std::string content = referencePattern(3 * 1048576 + 5);
    std::string path = writeFile("data.bin", content);
    std::vector<ArchivePtr> announced;
    auto token = NotificationCenter::defaultCenter().addObserver(
        NVArchiveUploadDoneNotification, [&](const Notification& note) {
            announced.push_back(std::any_cast<ArchivePtr>(note.object));
        });
    auto result = upload(path, Archive::encodeArchiveDescription("dir/data.bin"));
    NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_EQ(result.error, nullptr);
    EXPECT_EQ(result.treeHash, TreeHash::treeHashOfBuffer(content));
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0]->archiveID, result.archiveID);

    auto log = sim.requestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back()["signature"], "valid");

    auto entries = vault->archives().all();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->size, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(entries[0]->archiveDescription, "dir/data.bin");
    auto item = vault->inventoryManager().latest()->getByName("dir/data.bin");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->archiveID, result.archiveID);

    auto listed = serviceInventory();
    ASSERT_TRUE(listed.contains(result.archiveID));
    EXPECT_EQ(listed[result.archiveID].first, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(listed[result.archiveID].second, result.treeHash);
}

// Uploads that end together note their archives from several worker threads at once, the
// first of them opening the vault's log.
TEST_F(ArchivesTest, UploadsEndingTogetherEachReachTheJournalAndTheVaultLog) {
    constexpr int kUploads = 4;
    auto pending = std::make_shared<std::atomic<int>>(kUploads);
    auto allDone = std::make_shared<std::atomic<bool>>(false);
    for (int i = 0; i < kUploads; ++i) {
        const std::string name = "f" + std::to_string(i);
        vault->archives().apiUpload(
            writeFile(name, std::string(1000 + i, 'x')), name, nullptr,
            [pending, allDone](const std::string&, const std::string&, ErrorPtr error) {
                EXPECT_EQ(error, nullptr);
                *allDone = --*pending == 0;
            });
    }
    ASSERT_TRUE(MainQueue::waitFor(*allDone, std::chrono::duration<double>(kWait).count()));
    MainQueue::runOnce();
    EXPECT_EQ(vault->archives().all().size(), static_cast<std::size_t>(kUploads));
    auto text = FileHelpers::readFile(vault->directory() + "/vault.log");
    ASSERT_TRUE(text);
    for (int i = 0; i < kUploads; ++i) {
        EXPECT_NE(text->find(" (f" + std::to_string(i) + ")"), std::string::npos) << *text;
    }
}

// Another process imports the vault: the journal write waits for it, but not on the client's
// only worker, which serves the account's next request meanwhile.
TEST_F(ArchivesTest, AJournalWriteWaitingForAnImportHoldsUpNoOtherRequest) {
    FileLock importer(vault->writerLockPath());
    ASSERT_TRUE(importer.lock());
    account->glacierManager().operationQueue().setMaxConcurrentOperationCount(1);
    auto uploaded = std::make_shared<std::atomic<bool>>(false);
    vault->archives().apiUpload(writeFile("w.txt", "waits"), "w.txt", nullptr,
                                [uploaded](const std::string&, const std::string&, ErrorPtr error) {
                                    EXPECT_EQ(error, nullptr);
                                    *uploaded = true;
                                });
    EXPECT_EQ(await([&](auto done) { vault->apiDescribe(done); }), nullptr);
    EXPECT_FALSE(*uploaded);
    importer.unlock();
    ASSERT_TRUE(MainQueue::waitFor(*uploaded, std::chrono::duration<double>(kWait).count()));
    EXPECT_EQ(journalCount(), 1);
}

TEST_F(ArchivesTest, FailedUploadsReportClearlyAndJournalNothing) {
    std::string path = writeFile("a.txt", "hello");
    // The service answers with another tree hash: its id and hash still come back.
    sim.injectFault({{"kind", "wrong-tree-hash"}});
    auto mismatch = upload(path, "a.txt");
    ASSERT_NE(mismatch.error, nullptr);
    EXPECT_EQ(mismatch.error->domain(), "Frostvale");
    EXPECT_EQ(mismatch.error->code(), 1);
    EXPECT_FALSE(mismatch.archiveID.empty());
    EXPECT_NE(mismatch.treeHash, TreeHash::treeHashOfBuffer("hello"));

    // No byte of the answer arrives (nor of the request sent again): no id, nothing journalled.
    sim.injectFault({{"kind", "lose"}, {"count", 2}});
    auto dropped = upload(path, "a.txt");
    sim.clearFaults();
    ASSERT_NE(dropped.error, nullptr);
    EXPECT_TRUE(dropped.archiveID.empty());

    sim.clearRequestLog();
    auto missing = upload(home.file("nope"), "x");
    ASSERT_NE(missing.error, nullptr);
    auto directory = upload(home.path(), "x");  // a directory where a file should be
    ASSERT_NE(directory.error, nullptr);
    EXPECT_TRUE(sim.requestLog().empty());
    EXPECT_EQ(journalCount(), 0);

    // The answer's head names the archive, then the connection breaks: the archive is stored,
    // under the id that arrived.
    sim.injectFault({{"kind", "drop"}});
    auto cut = upload(path, "a.txt");
    EXPECT_EQ(cut.error, nullptr);
    EXPECT_EQ(cut.treeHash, TreeHash::treeHashOfBuffer("hello"));
    EXPECT_TRUE(serviceInventory().contains(cut.archiveID));
    EXPECT_EQ(journalCount(), 1);
}

TEST_F(ArchivesTest, DeleteJournalsTheDescriptionTheInventoryKnows) {
    auto kept = upload(writeFile("k.txt", "keep"), "k.txt");
    ASSERT_EQ(kept.error, nullptr);
    auto deleteArchive = [&](const std::string& id, InventoryItemPtr* item) {
        return await([&](auto done) { vault->archives().apiDelete(id, into(*item, done)); });
    };
    InventoryItemPtr item;
    ASSERT_EQ(deleteArchive(kept.archiveID, &item), nullptr);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->name, "k.txt");
    EXPECT_EQ(vault->inventoryManager().latest()->getByName("k.txt"), nullptr);
    auto entries = vault->archives().all();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1]->action, Archive::Action::Delete);
    EXPECT_EQ(entries[1]->archiveDescription, "k.txt");

    EXPECT_NE(deleteArchive("unknown-id", &item), nullptr);  // the service knows no such archive
    EXPECT_EQ(journalCount(), 2);
    EXPECT_FALSE(serviceInventory().contains(kept.archiveID));
}

TEST_F(ArchivesTest, FoldersAreOneByteArchivesAndExistingOnesAreRefused) {
    std::string tmpdir = home.file("tmp");
    ASSERT_EQ(FileHelpers::createDirectory(tmpdir), nullptr);
    ScopedEnv temporaryFiles("TMPDIR", tmpdir);
    auto createFolder = [&](const std::string& name) {
        return await(
            [&](auto done) { vault->archives().apiCreateFolder(name, false, false, false, done); });
    };
    ASSERT_EQ(createFolder("photos 2026"), nullptr);
    EXPECT_TRUE(FileHelpers::listDirectory(tmpdir).empty());  // the temporary file is gone
    auto entries = vault->archives().all();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->archiveDescription, "photos 2026/");
    EXPECT_EQ(entries[0]->size, 1);
    EXPECT_EQ(entries[0]->treeHash, TreeHash::treeHashOfBuffer("0"));

    ASSERT_NE(createFolder("photos 2026"), nullptr);
    bool called = false;
    EXPECT_EQ(vault->archives().apiCreateFolder("photos 2026", true, false, false,
                                                [&](ErrorPtr) { called = true; }),
              nullptr);
    ASSERT_NE(createFolder("bad\xff"), nullptr);
    EXPECT_FALSE(called);
    EXPECT_EQ(journalCount(), 1);
}

}  // namespace
}  // namespace quillon::testing
