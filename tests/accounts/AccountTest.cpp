// Tests of Account: saving, validating, renaming, removing and the fatal file cases.
// Threads: run on the test's thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AccountsDB.h"
#include "foundation/FileHelpers.h"
#include "foundation/ModelError.h"
#include "interfaces/base/Localization.h"
#include "interfaces/platform/Keychain.h"
#include "support/ModelState.h"
#include "support/TempDir.h"

using namespace quillon;
using namespace quillon::testing;

namespace {

class AccountTest : public ::testing::Test {
  protected:
    AccountPtr newAccount(const std::string& name, const std::string& accessKey,
                          const std::string& secret = "s3cret") {
        auto account = Account::create();
        account->name = name;
        account->accessKey = accessKey;
        account->setSecret(secret);
        return account;
    }
    // A new account saved; the test fails when it is not.
    AccountPtr saved(const std::string& name, const std::string& accessKey,
                     const std::string& secret = "s3cret") {
        auto account = newAccount(name, accessKey, secret);
        EXPECT_TRUE(account->save()) << name;
        return account;
    }

    void writeCredentials(const std::string& text) {
        std::filesystem::create_directories(home.file(".aws"));
        std::ofstream(home.file(".aws/credentials"), std::ios::binary) << text;
    }

    int regionRows(std::int64_t id) {
        int count = 0;
        AccountsDB::sharedInstance()->db().inDatabase([&](Database& db) {
            count =
                db.intForQuery("SELECT count(*) FROM account_regions WHERE account_id = ?", {id})
                    .value_or(-1);
        });
        return count;
    }

    TempDir home;
    FreshModelState state{home.path()};  // each test starts as a fresh process would
};

TEST_F(AccountTest, SavingANewAccountStoresRowsRegionsAndSecret) {
    auto account = saved("Work", "AKIAWORK");
    EXPECT_GT(account->id, 0);
    EXPECT_EQ(AccountsDB::sharedInstance()->file(), home.path() + "/app/Test-Accounts.db");
    EXPECT_EQ(regionRows(account->id), 16);
    EXPECT_EQ(Keychain::password("Hoarfrost", "Work"), "s3cret");
    EXPECT_EQ(Accounts::get(account->id), account);
    EXPECT_EQ(Accounts::get(std::string("Work")), account);
    EXPECT_EQ(Accounts::getByAccessKey("AKIAWORK"), account);
    EXPECT_EQ(Accounts::count(), 1);
    EXPECT_TRUE(account->allStandardRegionsActive());
    EXPECT_EQ(account->activeRegionsDescription(),
              Localization::string("account.all_standard_regions"));
}

TEST_F(AccountTest, ValidationRefusesEmptyAndDuplicateValues) {
    auto check = [](const AccountPtr& account, ModelError::Case expected, const std::string& name) {
        try {
            account->save();
            ADD_FAILURE() << "save succeeded";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.caseValue(), expected);
            EXPECT_EQ(error.name(), name);
        }
    };
    check(newAccount("", "AK1"), ModelError::Case::attributeEmpty, "name");
    check(newAccount("A", ""), ModelError::Case::attributeEmpty, "accessKey");

    ASSERT_TRUE(newAccount("First", "AK1")->save());
    check(newAccount("First", "AK2"), ModelError::Case::duplicateName, "First");
    check(newAccount("Second", "AK1"), ModelError::Case::accountWithSameAccessKeyExists, "");
    EXPECT_TRUE(newAccount("Second", "AK1")->save(true));
    EXPECT_EQ(Accounts::count(), 2);
}

TEST_F(AccountTest, RenameMovesTheKeychainItemAndEmptySecretDeletesIt) {
    auto account = saved("Old", "AK1", "hidden");
    // A fresh object, as after a restart: the secret is read under the old name.
    Accounts::cache().clear();
    auto loaded = Accounts::get(account->id);
    ASSERT_NE(loaded, account);
    loaded->name = "New";
    ASSERT_TRUE(loaded->save());
    EXPECT_FALSE(Keychain::password("Hoarfrost", "Old").has_value());
    EXPECT_EQ(Keychain::password("Hoarfrost", "New"), "hidden");
    EXPECT_EQ(loaded->originalName, "New");

    loaded->setSecret("");
    ASSERT_TRUE(loaded->save());
    EXPECT_FALSE(Keychain::password("Hoarfrost", "New").has_value());
}

TEST_F(AccountTest, NotWriteableChangesNothing) {
    auto account = saved("Fixed", "AK1");
    DatabaseQueue& db = AccountsDB::sharedInstance()->db();
    std::string before = dumpRows(db, "accounts") + dumpRows(db, "account_regions");
    auto keychainBefore = FileHelpers::readFile(Keychain::filePath());

    account->writeable = false;
    account->name = "Changed";
    account->setSecret("other");
    EXPECT_FALSE(account->save());
    account->remove();
    EXPECT_EQ(dumpRows(db, "accounts") + dumpRows(db, "account_regions"), before);
    EXPECT_EQ(FileHelpers::readFile(Keychain::filePath()), keychainBefore);
    EXPECT_GT(account->id, 0);
}

TEST_F(AccountTest, RemovingDeletesEverythingAndIdsAreNeverReused) {
    auto account = saved("Gone", "AK1");
    std::int64_t oldId = account->id;
    std::string dir = account->directory();
    EXPECT_NE(dir.find("/Test-Account_" + std::to_string(oldId)), std::string::npos);
    account->db();  // creates Store.db in the directory
    account->remove();
    EXPECT_EQ(account->id, 0);
    EXPECT_EQ(Accounts::count(), 0);
    EXPECT_EQ(regionRows(oldId), 0);
    EXPECT_FALSE(Keychain::password("Hoarfrost", "Gone").has_value());
    EXPECT_EQ(access(dir.c_str(), F_OK), -1);
    EXPECT_EQ(Accounts::get(oldId), nullptr);

    auto next = saved("Next", "AK2");
    EXPECT_GT(next->id, oldId);
}

TEST_F(AccountTest, StoredRegionsThatCannotBeResolvedFallBackToTheStandardSet) {
    // Account 1 only has regions that do not resolve, account 2 one that does.
    AccountsDB::sharedInstance()->db().inDatabase([&](Database& db) {
        ASSERT_TRUE(db.executeStatements(
            "INSERT INTO accounts (id, name, access_key, use_keychain) VALUES (1, 'a', 'k1', 1),"
            " (2, 'b', 'k2', 1);"
            "INSERT INTO account_regions (account_id, region) VALUES (1, 'cn-north-1'),"
            " (1, 'nowhere-1'), (2, 'eu-west-1'), (2, 'nowhere-1');"));
    });
    EXPECT_EQ(Accounts::get(1)->activeRegions.size(), 16u);
    auto account = Accounts::get(2);
    ASSERT_EQ(account->activeRegions.size(), 1u);
    EXPECT_EQ((*account->activeRegions.begin())->id(), "eu-west-1");
    EXPECT_EQ(account->activeRegionsDescription(), "Europe (Ireland)");
    EXPECT_EQ(Accounts::all().size(), 2u);
}

TEST_F(AccountTest, NamesWithQuotesAndUnicodeAreStoredExactly) {
    const std::string name = "O'Brien\"; DROP TABLE accounts;--\xC3\xBC";
    auto account = saved(name, "AK'\"%_");
    Accounts::cache().clear();
    auto found = Accounts::get(name);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->name, name);
    EXPECT_EQ(found->accessKey, "AK'\"%_");
    EXPECT_EQ(found->secret(), "s3cret");
    EXPECT_EQ(Accounts::count(), 1);
}

TEST_F(AccountTest, SecretFromTheCredentialsFileNeedsTheMatchingAccessKey) {
    writeCredentials(
        "# comment\r\n; other comment\r\n\r\n[default]\r\naws_access_key_id = AKDEF\r\n"
        "aws_secret_access_key = defsecret\r\n[work]\r\n  aws_access_key_id=AKWORK  \r\n"
        "aws_secret_access_key =  worksecret \r\n");
    // An account "work" with key AKWORK whose secret comes from the file.
    auto fileAccount = [] {
        auto account = Account::create();
        account->useKeychain = false;
        account->name = "work";
        account->accessKey = "AKWORK";
        return account;
    };
    auto account = fileAccount();
    EXPECT_EQ(account->secret(), "worksecret");
    account->accessKey = "AKDEF";
    EXPECT_EQ(account->secret(), "");
    account->name = "missing";
    EXPECT_EQ(account->secret(), "");
    account->name = "work";
    account->accessKey = "AKWORK";
    account->setSecret("typed");  // a credentials-file account reports no secret once assigned
    EXPECT_EQ(account->secret(), "");

    writeCredentials(std::string("\x00\xff[work\x01]\n=\n\x80\x81", 12));
    EXPECT_EQ(fileAccount()->secret(), "");
}

TEST_F(AccountTest, SyncWithoutRegionsFinishesAtOnceAndASelectionReplacesTheEarlierOne) {
    auto account = newAccount("Empty", "AK1");
    account->activeRegions.clear();
    ASSERT_TRUE(account->save());
    bool done = false;
    account->syncVaults([](const AccountRegionPtr&, ErrorPtr) { FAIL(); }, [&] { done = true; });
    EXPECT_TRUE(done);
    EXPECT_FALSE(account->isUpdating());
    // With nothing active the standard default region still answers.
    EXPECT_EQ(account->selectedAccountRegion()->region()->id(), "us-east-1");

    // Selecting a region replaces the earlier choice.
    account = saved("Sel", "AK2");
    auto west = account->accountRegion("eu-west-1");
    auto east = account->accountRegion("us-east-2");
    ASSERT_TRUE(west && east);
    west->select();
    EXPECT_TRUE(west->selected());
    EXPECT_EQ(account->selectedAccountRegion()->region()->id(), "eu-west-1");
    east->select();
    EXPECT_FALSE(west->selected());
    EXPECT_TRUE(east->selected());
    west->unselect();
    EXPECT_FALSE(east->selected());
    EXPECT_EQ(west->storageKeyPrefix(), "account." + std::to_string(account->id) + ".eu-west-1");
}

TEST(AccountsDBDeathTest, AFileWhereTheApplicationDirectoryShouldBeStopsTheProcess) {
    TempDir temp;
    std::string blocker = temp.file("blocker");
    std::ofstream(blocker) << "x";
    setenv("QUILLON_HOME", (blocker + "/app").c_str(), 1);
    EXPECT_DEATH(AccountsDB::sharedInstance()->db(), "application directory .* cannot be used");
}

TEST(AccountsDBDeathTest, AJunkAccountsFileStopsTheProcessAndStaysAsItWas) {
    TempDir temp;
    setenv("QUILLON_HOME", temp.path().c_str(), 1);
    setenv("UNITTEST", "1", 1);
    std::string junk(4096, '\x5a');
    std::ofstream(temp.file("Test-Accounts.db"), std::ios::binary) << junk;
    EXPECT_DEATH(AccountsDB::sharedInstance()->db(), "Test-Accounts.db cannot be opened");
    EXPECT_EQ(FileHelpers::readFile(temp.file("Test-Accounts.db")), junk);
}

TEST(AccountsDBTest, UnitTestFlagNeedsExactlyOne) {
    TempDir temp;
    AccountsDB::setSharedInstance(nullptr);
    setenv("QUILLON_HOME", temp.path().c_str(), 1);
    setenv("UNITTEST", "true", 1);
    EXPECT_FALSE(AccountsDB::sharedInstance()->isUnitTest());
    EXPECT_EQ(AccountsDB::sharedInstance()->file(), temp.path() + "/Accounts.db");
    EXPECT_TRUE(AccountsDB::sharedInstance()->needsMigration());
    EXPECT_EQ(Accounts::count(), 0);
    EXPECT_FALSE(AccountsDB::sharedInstance()->needsMigration());
}

}  // namespace
