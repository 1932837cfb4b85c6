#include "interfaces/platform/Keychain.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "interfaces/files/FileHelpers.h"
#include "support/ScopedHome.h"
#include "support/TempDir.h"

using quillon::FileHelpers;
using quillon::Keychain;
using quillon::testing::ScopedHome;
using quillon::testing::TempDir;

namespace {

unsigned modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(Keychain, StoresReplacesAndDeletesPasswordsPerServiceAndAccount) {
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

TEST(Keychain, KeepsUnicodeAndSurvivesAChangeOfDirectory) {
    TempDir first;
    TempDir second;
    const std::string account = "Zoë – 東京 🧊";
    const std::string secret = "pässwörd/+=\"\\\n";
    {
        ScopedHome home(first.path());
        ASSERT_TRUE(Keychain::setPassword(secret, "Hoarfrost", account));
    }
    {
        ScopedHome home(second.path());
        EXPECT_EQ(Keychain::password("Hoarfrost", account), std::nullopt);
    }
    ScopedHome home(first.path());
    EXPECT_EQ(Keychain::password("Hoarfrost", account), secret);
    EXPECT_EQ(Keychain::password("Hoarfrost", "Zoe"), std::nullopt);

    EXPECT_FALSE(Keychain::setPassword("bad \xff\xfe utf-8", "Hoarfrost", "x"));
    EXPECT_EQ(Keychain::password("Hoarfrost", account), secret) << "store untouched";
}

TEST(Keychain, RefusesToOverwriteADamagedStoreAndTightensLooseModes) {
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
}

TEST(Keychain, FailsWhenTheApplicationDirectoryCannotExist) {
    TempDir tmp;
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("file"), "x"), nullptr);
    ScopedHome home(tmp.file("file/app"));
    EXPECT_FALSE(Keychain::setPassword("p", "Hoarfrost", "a"));
    EXPECT_EQ(Keychain::password("Hoarfrost", "a"), std::nullopt);
}

}  // namespace
