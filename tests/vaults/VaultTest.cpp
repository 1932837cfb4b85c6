// Tests of Vault: names, values, saving, deletion and its notice, inventory files, the service.
// Threads: the test's thread, which pumps the main queue; the simulator is a separate process.
#include "VaultFixture.h"
#include "foundation/BaseModel.h"
#include "foundation/FileHelpers.h"
#include "foundation/Support.h"
#include "interfaces/base/Localization.h"
#include "interfaces/platform/NotificationCenter.h"
#include "vaults/Tags.h"
#include "vaults/ValidationError.h"

namespace quillon::testing {
namespace {

class VaultTest : public VaultFixture {
  protected:
    void saveAll(const std::vector<VaultPtr>& vaults) {
        account->db().inDatabase([&](Database& db) {
            for (const auto& vault : vaults) {
                vault->saveToDB(db);
            }
        });
    }

    ErrorPtr create(const std::string& name) {
        VaultPtr vault = vaultNamed(name);
        return await([&](auto done) { vault->apiCreate(done); });
    }
};

TEST_F(VaultTest, NamesAreCheckedForLengthAndCharactersWithoutARequest) {
    auto codeOf = [](const std::string& name) -> std::int64_t {
        try {
            Vault::validateName(name);
            return 0;
        } catch (const ValidationError& error) {
            EXPECT_EQ(error.error().domain(), "Frostvale");
            return error.code();
        }
    };
    EXPECT_EQ(codeOf(std::string(255, 'a')), 0);
    EXPECT_EQ(codeOf("A-z_0.9"), 0);
    EXPECT_EQ(codeOf(std::string(256, 'a')), 1);
    EXPECT_EQ(codeOf(std::string(254, 'a') + "\xC3\xA9"), 1);  // 255 characters, 256 bytes
    EXPECT_EQ(codeOf(std::string(253, 'a') + "\xC3\xA9"), 2);
    for (std::string bad : {"", "with blank", "a/b", "a:b", "tab\t", "%"}) {
        EXPECT_EQ(codeOf(bad), 2) << bad;
    }
    // A long name failing at its end is answered at once (no backtracking).
    EXPECT_EQ(codeOf(std::string(27, 'a') + "!"), 2);

    ErrorPtr error = create("no/slashes");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 2);
    EXPECT_EQ(error->localizedDescription(),
              Localization::string("error.vault_name_has_invalid_chars"));
    error = create(std::string(256, 'x'));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 1);
    EXPECT_TRUE(sim.requestLog().empty());
}

TEST_F(VaultTest, ValuesComeFromTheServiceDescription) {
    VaultPtr empty = vaultNamed("plain");
    EXPECT_TRUE(empty->isEmpty());
    EXPECT_EQ(empty->description(), Localization::string("empty_vault"));
    EXPECT_FALSE(empty->creationDate());

    VaultPtr full = vaultNamed("full", {{"SizeInBytes", 1572864},
                                        {"NumberOfArchives", 3},
                                        {"VaultARN", "arn:x"},
                                        {"CreationDate", "2024-02-03T04:05:06.789Z"},
                                        {"LastInventoryDate", 17}});
    EXPECT_EQ(full->description(), "3 archives, 1.5 MB");
    EXPECT_EQ(full->vaultARN(), "arn:x");
    EXPECT_EQ(full->creationDate().value_or(0),
              awsDateFromString("2024-02-03T04:05:06.789Z").value());
    EXPECT_FALSE(full->lastInventoryDate());
    EXPECT_EQ(full->hashKey(), "full,local-1");
    EXPECT_EQ(*full, *Vault::create(JSON(JSON::Value{{"VaultName", "full"}}),
                                    AccountRegion::create(account, region("local-1"))));
    EXPECT_FALSE(*full == *Vault::create(JSON(JSON::Value{{"VaultName", "full"}}),
                                         AccountRegion::create(account, region("local-2"))));
    EXPECT_EQ(Vault::create(JSON(JSON::Value{{"VaultName", 5}}), accountRegion), nullptr);
}

TEST_F(VaultTest, SavingKeepsPositionsAndAppendsNewVaults) {
    VaultPtr first = vaultNamed("first", {{"CreationDate", "2024-01-01T00:00:00Z"}});
    saveAll({first});
    EXPECT_EQ(position("first"), 0);  // no position yet: the column default
    EXPECT_EQ(queryInt("SELECT created_at FROM vaults WHERE name = 'first'"), 1704067200);

    std::vector<VaultPtr> more;
    for (int i = 1; i < 5; ++i) {
        more.push_back(vaultNamed("v" + std::to_string(i)));
    }
    saveAll(more);
    saveAll({first, more[2]});
    EXPECT_EQ(position("first"), 0);
    EXPECT_EQ(position("v3"), 3);
    VaultPtr late = vaultNamed("late", {{"NumberOfArchives", 2}});
    late->save();
    EXPECT_EQ(position("late"), 5);
    EXPECT_EQ(queryInt("SELECT created_at FROM vaults WHERE name = 'late'"), 0);
    EXPECT_EQ(queryInt("SELECT number_of_archives FROM vaults WHERE name = 'late'"), 2);

    // The stored description is readable JSON that gives the same vault back.
    VaultCache::shared().clear();
    VaultPtr loaded = accountRegion->vaults().get("late");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->data, late->data);
    EXPECT_EQ(accountRegion->vaults().get("late"), loaded);  // cached

    // Nothing is stored without a name or for an unsaved account.
    Vault::create(accountRegion)->save();
    auto unsaved = Account::create();
    Database unopened(":memory:");
    Vault::create(JSON(JSON::Value{{"VaultName", "orphan"}}),
                  AccountRegion::create(unsaved, region("local-1")))
        ->saveToDB(unopened);
    EXPECT_EQ(accountRegion->vaults().count(), 6);
}

TEST_F(VaultTest, DeletingRemovesRowsFilesAndTellsTheMainQueue) {
    VaultPtr vault = vaultNamed("doomed");
    VaultPtr other = vaultNamed("kept");
    saveAll({vault, other});
    for (const char* sql :
         {"INSERT INTO archives (archive_id, description, tree_hash, action, vault, region) "
          "VALUES ('a', 'd', 't', 'Add', ?1, 'local-1'), ('a', 'd', 't', 'Add', ?2, 'local-1')",
          "INSERT INTO inventories (inventory_date, import_done_at, vault, region) VALUES "
          "(100, 200, ?1, 'local-1'), (100, 200, ?2, 'local-1')",
          "INSERT INTO tags (key, value, vault, region) VALUES ('k', 'v', ?1, 'local-1'),"
          " ('k', 'v', ?2, 'local-1')",
          "INSERT INTO tags_fetch (region, vault, last_fetch) VALUES ('local-1', ?1, 1),"
          " ('local-1', ?2, 1)"}) {
        execute(sql, {std::string("doomed"), std::string("kept")});
    }
    std::int64_t doomedInventory = queryInt("SELECT id FROM inventories WHERE vault = 'doomed'");
    execute("INSERT INTO inventory_items (archive_id, inventory_id) VALUES ('a', ?)",
            {doomedInventory});
    std::string dir = vault->directory();
    FileHelpers::writeFile(dir + "/inventory-1.json", "{}");

    std::vector<VaultPtr> posted;
    auto token = NotificationCenter::defaultCenter().addObserver(
        NVVaultDeletedNotification,
        [&](const Notification& note) { posted.push_back(std::any_cast<VaultPtr>(note.object)); });
    Vault::create(accountRegion)->remove();  // no name: nothing happens
    vault->remove();
    EXPECT_TRUE(posted.empty());  // posted on the main queue, not yet run
    MainQueue::runOnce();
    NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], vault);

    for (std::string table : {"archives", "inventories", "tags", "tags_fetch"}) {
        EXPECT_EQ(queryInt("SELECT count(*) FROM " + table + " WHERE vault = 'doomed'"), 0);
        EXPECT_EQ(queryInt("SELECT count(*) FROM " + table + " WHERE vault = 'kept'"), 1);
    }
    EXPECT_EQ(queryInt("SELECT count(*) FROM inventory_items"), 0);
    EXPECT_EQ(names(accountRegion->vaults().all()), std::vector<std::string>{"kept"});
    EXPECT_FALSE(FileHelpers::directoryExists(dir));
}

TEST_F(VaultTest, CleanupKeepsTheFiveNewestInventoryFilesAndANamelessDescribeIsInvalid) {
    VaultPtr vault = vaultNamed("files");
    std::string dir = vault->directory();
    for (int i = 0; i < 7; ++i) {
        std::string path = dir + "/inventory-" + std::to_string(i) + ".json";
        FileHelpers::writeFile(path, "{}");
        // File 0 is the newest, file 6 the oldest.
        FileHelpers::setModificationDate(path, {1000000 - i * 10, 0});
    }
    FileHelpers::writeFile(dir + "/vault.log", "");
    vault->cleanupInventoryFiles();
    EXPECT_EQ(FileHelpers::listDirectory(dir, "inventory-*.json"),
              (std::vector<std::string>{"inventory-0.json", "inventory-1.json", "inventory-2.json",
                                        "inventory-3.json", "inventory-4.json"}));
    EXPECT_TRUE(FileHelpers::fileExists(dir + "/vault.log"));
    CaptureServer server([](const std::string&) {
        return CaptureServer::response(200, "Content-Type: application/json\r\n",
                                       R"({"NumberOfArchives": 1})");
    });
    VaultPtr described = vaultAt(server, "photos");
    ErrorPtr error = await([&](auto done) { described->apiDescribe(done); });
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(),
              BaseModel::invalidApiResponseError()->localizedDescription());
    EXPECT_EQ(described->name, "photos");
    EXPECT_FALSE(described->accountRegion()->vaults().get("photos"));
}

TEST_F(VaultTest, CreateDescribeAndDeleteOnTheServiceAndLazyMembersAreKept) {
    ASSERT_EQ(create("fresh"), nullptr);
    VaultPtr fresh = accountRegion->vaults().get("fresh");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->vaultARN(), "arn:aws:glacier:local-1:123456789012:vaults/fresh");
    EXPECT_TRUE(fresh->creationDate());

    // A name already in the local list is refused without a request, even when the service no
    // longer has that vault.
    execute("INSERT INTO vaults (name, meta, region) VALUES ('ghost', '', 'local-1')");
    sim.clearRequestLog();
    ErrorPtr duplicate = create("ghost");
    ASSERT_NE(duplicate, nullptr);
    EXPECT_EQ(duplicate->localizedDescription(),
              Localization::format("modelerror.vault_with_same_name_already_exists", {"ghost"}));
    EXPECT_TRUE(sim.requestLog().empty());

    // The service refuses to delete a vault that holds archives; nothing changes here.
    seedVaults({"holding"}, "local-1", 2, 5);
    VaultPtr holding = vaultNamed("holding");
    ASSERT_EQ(await([&](auto done) { holding->apiDescribe(done); }), nullptr);
    EXPECT_EQ(holding->numberOfArchives(), 2);
    std::string before = dump("vaults");
    ErrorPtr refused = await([&](auto done) { holding->apiDelete(done); });
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->stringForKey("awsExceptionCode"), "InvalidParameterValueException");
    EXPECT_EQ(dump("vaults"), before);

    // A successful delete has removed the row when its completion runs.
    std::int64_t rowsInDone = -1;
    std::promise<void> deleted;
    fresh->apiDelete([&](ErrorPtr error) {
        EXPECT_EQ(error, nullptr);
        rowsInDone = queryInt("SELECT count(*) FROM vaults WHERE name = 'fresh'");
        deleted.set_value();
    });
    ASSERT_EQ(deleted.get_future().wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(rowsInDone, 0);
    VaultPtr lazy = vaultNamed("lazy");
    EXPECT_EQ(&lazy->tags(), &lazy->tags());
    EXPECT_EQ(&lazy->tags().vault(), lazy.get());
    EXPECT_EQ(lazy->directory(), account->directory() + "/Vaults.local-1/lazy");
    EXPECT_EQ(lazy->transfersDirectory(), account->directory() + "/Transfers");
    lazy->log().info("hello");
    MainQueue::runOnce();
    auto text = FileHelpers::readFile(lazy->directory() + "/vault.log");
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("hello"), std::string::npos);
}

}  // namespace
}  // namespace quillon::testing
