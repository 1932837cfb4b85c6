// Tests of the two stores under the application directory: user defaults and the keychain
// file. Each test runs on one thread unless it says otherwise.
#include "interfaces/platform/Keychain.h"
#include "interfaces/platform/UserDefaults.h"

#include <sys/stat.h>

#include <thread>

#include <gtest/gtest.h>

#include "foundation/FileHelpers.h"
#include "support/ScopedHome.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

using testing::ScopedHome;
using testing::TempDir;

TEST(UserDefaults, KeepsTypedValuesAcrossObjects) {
    TempDir tmp;
    const std::string path = tmp.file("prefs/UserDefaults.json");
    const Bytes blob = {0, 1, 2, 0xfe, 0xff};
    {
        UserDefaults defaults(path);
        EXPECT_FALSE(defaults.hasKey("VaultsSortBy"));
        EXPECT_EQ(defaults.integer("VaultsSortBy"), 0);
        EXPECT_TRUE(defaults.setInteger("VaultsSortBy", 3));
        EXPECT_TRUE(defaults.setInteger("big", INT64_MIN));
        EXPECT_TRUE(defaults.setString("storageKeySelectedAccountRegionPrefix.7", "eu-west-1"));
        EXPECT_TRUE(defaults.setBool("search.ignoreCase", true));
        EXPECT_TRUE(defaults.setDouble("account.7.eu-west-1.lastInventoryRequest", 1700000000.5));
        EXPECT_TRUE(defaults.setBytes("preferences", blob));
        EXPECT_TRUE(defaults.setObject("list", JSON::parse(R"(["a", {"b": 1}])")));
        EXPECT_TRUE(defaults.setString("gone", "soon"));
        EXPECT_TRUE(defaults.remove("gone"));
    }
    UserDefaults reread(path);
    EXPECT_EQ(reread.integer("VaultsSortBy"), 3);
    EXPECT_EQ(reread.integer("big"), INT64_MIN);
    EXPECT_EQ(reread.string("storageKeySelectedAccountRegionPrefix.7"), "eu-west-1");
    EXPECT_TRUE(reread.boolean("search.ignoreCase"));
    EXPECT_DOUBLE_EQ(reread.doubleValue("account.7.eu-west-1.lastInventoryRequest"), 1700000000.5);
    EXPECT_EQ(reread.bytes("preferences"), blob);
    EXPECT_EQ(reread.object("list").rawString(), R"(["a",{"b":1}])");
    EXPECT_FALSE(reread.hasKey("gone"));
    EXPECT_TRUE(reread.object("gone").isNull());
    EXPECT_EQ(reread.dictionaryRepresentation().dictionary()->size(), 7u);
}

TEST(UserDefaults, ConvertsBetweenKinds) {
    TempDir tmp;
    UserDefaults defaults(tmp.file("UserDefaults.json"));
    defaults.setString("count", "42");
    defaults.setString("yes", "YES");
    defaults.setString("word", "blue sky");
    defaults.setDouble("ratio", 2.75);
    defaults.setBool("flag", true);
    defaults.setObject("dict", JSON::parse(R"({"a":1})"));

    EXPECT_EQ(defaults.integer("count"), 42);
    EXPECT_DOUBLE_EQ(defaults.doubleValue("count"), 42.0);
    EXPECT_TRUE(defaults.boolean("count"));
    EXPECT_TRUE(defaults.boolean("yes"));
    EXPECT_FALSE(defaults.boolean("word"));
    EXPECT_EQ(defaults.integer("word"), 0);
    EXPECT_EQ(defaults.integer("ratio"), 2);
    EXPECT_EQ(defaults.string("ratio"), "2.75");
    EXPECT_EQ(defaults.integer("flag"), 1);
    EXPECT_EQ(defaults.string("flag"), std::nullopt);
    EXPECT_EQ(defaults.string("dict"), std::nullopt);
    EXPECT_EQ(defaults.bytes("word"), std::nullopt) << "not base64";
    EXPECT_FALSE(defaults.boolean("missing"));

    EXPECT_TRUE(defaults.setObject("dict", JSON()));
    EXPECT_FALSE(defaults.hasKey("dict")) << "a null value removes the key";
}

TEST(Stores, StandardDefaultsAndTheKeychainFollowTheApplicationDirectory) {
    TempDir first;
    TempDir second;
    const std::string account = "Zoë – 東京 🧊";
    const std::string secret = "pässwörd/+=\"\\\n";
    {
        ScopedHome home(first.path());
        UserDefaults::resetStandard();
        auto defaults = UserDefaults::standard();
        EXPECT_EQ(defaults, UserDefaults::standard());
        EXPECT_EQ(defaults->filePath(), first.file("UserDefaults.json"));
        defaults->setInteger("inventoryMaxItems", 500);
        EXPECT_TRUE(FileHelpers::regularFileExists(first.file("UserDefaults.json")));
        EXPECT_TRUE(Keychain::setPassword(secret, "Hoarfrost", account));
    }
    {
        ScopedHome home(second.path());
        EXPECT_FALSE(UserDefaults::standard()->hasKey("inventoryMaxItems"));
        EXPECT_EQ(Keychain::password("Hoarfrost", account), std::nullopt);
    }
    ScopedHome home(first.path());
    EXPECT_EQ(UserDefaults::standard()->integer("inventoryMaxItems"), 500);
    EXPECT_EQ(Keychain::password("Hoarfrost", account), secret);
    EXPECT_EQ(Keychain::password("Hoarfrost", "Zoe"), std::nullopt);
    EXPECT_FALSE(Keychain::setPassword("bad \xff\xfe utf-8", "Hoarfrost", "x"));
    EXPECT_EQ(Keychain::password("Hoarfrost", account), secret) << "store untouched";

    // Another writer of the same file: its keys survive our changes, and synchronize picks
    // them up.
    UserDefaults other(first.file("UserDefaults.json"));
    other.setString("uploadSkipPattern", "*.tmp");
    EXPECT_TRUE(UserDefaults::standard()->setBool("disableColors", true));
    EXPECT_TRUE(UserDefaults::standard()->synchronize());
    EXPECT_EQ(UserDefaults::standard()->string("uploadSkipPattern"), "*.tmp");
    UserDefaults::resetStandard();
    auto fresh = UserDefaults::standard();
    EXPECT_TRUE(fresh->boolean("disableColors"));
    EXPECT_EQ(fresh->integer("inventoryMaxItems"), 500);
    EXPECT_EQ(fresh->string("uploadSkipPattern"), "*.tmp");
    UserDefaults::resetStandard();
}

TEST(UserDefaults, KeepsUnsavedChangesUntilTheFileCanBeWritten) {
    TempDir tmp;
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("app"), "in the way"), nullptr);
    UserDefaults defaults(tmp.file("app/UserDefaults.json"));
    EXPECT_FALSE(defaults.setInteger("VaultsSortDirection", 1));
    EXPECT_EQ(defaults.integer("VaultsSortDirection"), 1) << "kept in memory";
    EXPECT_FALSE(defaults.synchronize());

    ASSERT_EQ(FileHelpers::deleteFile(tmp.file("app")), nullptr);
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(UserDefaults(tmp.file("app/UserDefaults.json")).integer("VaultsSortDirection"), 1);

    ASSERT_EQ(FileHelpers::writeFile(tmp.file("damaged.json"), "\x01\x02 not json"), nullptr);
    UserDefaults damaged(tmp.file("damaged.json"));
    EXPECT_FALSE(damaged.hasKey("x"));
    EXPECT_TRUE(damaged.setString("x", "y"));
    EXPECT_EQ(UserDefaults(tmp.file("damaged.json")).string("x"), "y");
}

TEST(UserDefaults, AcceptsChangesFromManyThreads) {
    TempDir tmp;
    UserDefaults defaults(tmp.file("UserDefaults.json"));
    constexpr int kThreads = 4;
    constexpr int kPerThread = 10;
    auto key = [](int t, int i) { return "k" + std::to_string(t) + "." + std::to_string(i); };
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    defaults.setInteger(key(t, i), t * 100 + i);
                    defaults.integer(key(t, i));
                }
            });
        }
    }
    UserDefaults reread(tmp.file("UserDefaults.json"));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            EXPECT_EQ(reread.integer(key(t, i)), t * 100 + i);
        }
    }
}

unsigned modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(Keychain, StoresReplacesAndDeletesPasswords) {
    TempDir tmp;
    ScopedHome home(tmp.file("app/dir"));  // created on the first write
    EXPECT_EQ(Keychain::password("Hoarfrost", "work"), std::nullopt);
    EXPECT_FALSE(Keychain::deletePassword("Hoarfrost", "work"));

    ASSERT_TRUE(Keychain::setPassword("s3cret", "Hoarfrost", "work"));
    ASSERT_TRUE(Keychain::setPassword("other", "Hoarfrost", "home"));
    ASSERT_TRUE(Keychain::setPassword("elsewhere", "Another", "work"));
    ASSERT_TRUE(Keychain::setPassword("", "Hoarfrost", "blank"));
    EXPECT_EQ(Keychain::filePath(), tmp.file("app/dir/Keychain.json"));
    EXPECT_EQ(modeOf(Keychain::filePath()), 0600u);

    EXPECT_EQ(Keychain::password("Hoarfrost", "work"), "s3cret");
    EXPECT_EQ(Keychain::password("Another", "work"), "elsewhere");
    EXPECT_EQ(Keychain::password("Hoarfrost", "blank"), "");
    EXPECT_EQ(Keychain::password("Hoarfrost", "Work"), std::nullopt) << "accounts are exact";

    ASSERT_TRUE(Keychain::setPassword("changed", "Hoarfrost", "work"));
    EXPECT_EQ(Keychain::password("Hoarfrost", "work"), "changed");

    EXPECT_TRUE(Keychain::deletePassword("Hoarfrost", "work"));
    EXPECT_FALSE(Keychain::deletePassword("Hoarfrost", "work"));
    EXPECT_EQ(Keychain::password("Hoarfrost", "work"), std::nullopt);
    EXPECT_EQ(Keychain::password("Hoarfrost", "home"), "other");
    EXPECT_EQ(Keychain::password("Another", "work"), "elsewhere");
    EXPECT_EQ(FileHelpers::listDirectory(tmp.file("app/dir")),
              (std::vector<std::string>{"Keychain.json", "Keychain.json.lock"}));
}

TEST(Keychain, RefusesADamagedStoreTightensLooseModesAndNeedsItsDirectory) {
    TempDir tmp;
    ScopedHome home(tmp.path());
    ASSERT_EQ(FileHelpers::writeFile(Keychain::filePath(), "{ not json"), nullptr);
    EXPECT_EQ(Keychain::password("Hoarfrost", "a"), std::nullopt);
    EXPECT_FALSE(Keychain::setPassword("p", "Hoarfrost", "a"));
    EXPECT_FALSE(Keychain::deletePassword("Hoarfrost", "a"));
    EXPECT_EQ(FileHelpers::readFile(Keychain::filePath()), "{ not json");

    FileHelpers::deleteFile(Keychain::filePath());
    ASSERT_EQ(FileHelpers::writeFile(Keychain::filePath(), R"({"Hoarfrost":{"a":"old"}})", 0644),
              nullptr);
    ASSERT_EQ(modeOf(Keychain::filePath()), 0644u);
    ASSERT_TRUE(Keychain::setPassword("new", "Hoarfrost", "a"));
    EXPECT_EQ(modeOf(Keychain::filePath()), 0600u);
    EXPECT_EQ(Keychain::password("Hoarfrost", "a"), "new");
    TempDir blocker;
    ASSERT_EQ(FileHelpers::writeFile(blocker.file("file"), "x"), nullptr);
    ScopedHome blockedHome(blocker.file("file/app"));
    EXPECT_FALSE(Keychain::setPassword("p", "Hoarfrost", "a"));
    EXPECT_EQ(Keychain::password("Hoarfrost", "a"), std::nullopt);
}

}  // namespace
}  // namespace quillon
