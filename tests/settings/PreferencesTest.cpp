// Tests of Preferences: saving, loading, defaults and the archive format.
// Threads: run on the test's thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/FileHelpers.h"
#include "interfaces/platform/NotificationCenter.h"
#include "interfaces/platform/UserDefaults.h"
#include "settings/KeyedArchiver.h"
#include "settings/KeyedUnarchiver.h"
#include "settings/Preferences.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

constexpr const char* kDefaultDescription =
    "Transfer Prefs: maxConcurrentDownloads=1 maxDownloadSpeed=8192 "
    "hasDownloadSpeedLimit=false maxConcurrentUploads=1 maxUploadSpeed=4096 "
    "hasUploadSpeedLimit=false uploadPartSize=16 downloadPartSize=16";

class PreferencesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("QUILLON_HOME", home.path().c_str(), 1);
        UserDefaults::resetStandard();
        Preferences::setSharedInstance(nullptr);
        token = NotificationCenter::defaultCenter().addObserver(
            FVPreferencesChangedNotification, [this](const Notification& note) {
                notified.push_back(std::any_cast<std::shared_ptr<Preferences>>(note.object));
            });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(token);
        Preferences::setSharedInstance(nullptr);
        UserDefaults::resetStandard();
    }

    std::size_t linesContaining(const std::string& text) {
        return std::ranges::count_if(log.lines(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    // Stores an archive of the given class whose values are written as raw JSON.
    void storeArchive(const std::string& className, const std::string& valuesJSON) {
        const std::string text = R"({"$archiver":"KeyedArchiver","$version":1,"$class":")" +
                                 className + R"(","$values":)" + valuesJSON + "}";
        UserDefaults::standard()->setBytes("preferences", Bytes(text.begin(), text.end()));
    }

    testing::TempDir home;
    testing::LogCapture log;
    NotificationCenter::Token token = 0;
    std::vector<std::shared_ptr<Preferences>> notified;
};

// Saving logs only a change but notifies every time; the values load in a new process state.
TEST_F(PreferencesTest, SavedValuesLoadInANewProcessStateAndUnchangedSavesLogOnce) {
    auto prefs = Preferences::sharedInstance();
    prefs->maxConcurrentDownloads = 4;
    prefs->maxDownloadSpeed = -1;
    prefs->hasDownloadSpeedLimit = true;
    prefs->maxConcurrentUploads = 3;
    prefs->maxUploadSpeed = 1'000'000'000'000;
    prefs->hasUploadSpeedLimit = true;
    prefs->uploadPartSize = 64;
    prefs->downloadPartSize = 128;
    prefs->save();
    prefs->save();
    EXPECT_EQ(linesContaining("Save preferences"), 1u);
    EXPECT_EQ(linesContaining("uploadPartSize=64"), 1u);
    ASSERT_EQ(notified.size(), 2u);
    EXPECT_EQ(notified[0], prefs);
    EXPECT_EQ(notified[1], prefs);

    Preferences::setSharedInstance(nullptr);
    UserDefaults::resetStandard();  // read the file again
    const auto loaded = Preferences::sharedInstance();
    ASSERT_NE(loaded, prefs);
    EXPECT_EQ(loaded->description(),
              "Transfer Prefs: maxConcurrentDownloads=4 maxDownloadSpeed=-1 "
              "hasDownloadSpeedLimit=true maxConcurrentUploads=3 maxUploadSpeed=1000000000000 "
              "hasUploadSpeedLimit=true uploadPartSize=64 downloadPartSize=128");
    // Saving the loaded values unchanged logs nothing either.
    loaded->save();
    EXPECT_EQ(linesContaining("Save preferences"), 1u);
    EXPECT_EQ(notified.size(), 3u);
}

TEST_F(PreferencesTest, MissingAndWrongKindFieldsKeepTheirDefaults) {
    storeArchive("Nivalis.Preferences",
                 R"({"maxConcurrentDownloads":5,"uploadPartSize":"32","hasUploadSpeedLimit":1,)"
                 R"("maxUploadSpeed":true,"downloadPartSize":2.5,"hasDownloadSpeedLimit":true,)"
                 R"("unknownKey":7})");
    const auto prefs = Preferences::sharedInstance();
    EXPECT_EQ(prefs->maxConcurrentDownloads, 5);
    EXPECT_TRUE(prefs->hasDownloadSpeedLimit);
    EXPECT_EQ(prefs->uploadPartSize, 16);
    EXPECT_FALSE(prefs->hasUploadSpeedLimit);
    EXPECT_EQ(prefs->maxUploadSpeed, 4096);
    EXPECT_EQ(prefs->downloadPartSize, 16);
    EXPECT_EQ(prefs->maxDownloadSpeed, 8192);  // missing: written before the field existed
    EXPECT_EQ(prefs->maxConcurrentUploads, 1);
}

TEST_F(PreferencesTest, NoForeignOrDamagedArchiveGivesTheDefaults) {
    const auto prefs = Preferences::sharedInstance();
    EXPECT_EQ(prefs->description(), kDefaultDescription);
    EXPECT_EQ(prefs->lastLoggedDescription(), kDefaultDescription);
    EXPECT_EQ(linesContaining(std::string("Load preferences ") + kDefaultDescription), 1u);
    EXPECT_EQ(Preferences::sharedInstance(), prefs);
    EXPECT_EQ(linesContaining("Load preferences"), 1u);
    const auto loadsDefaults = [&] {
        Preferences::setSharedInstance(nullptr);
        return Preferences::sharedInstance()->description() == kDefaultDescription;
    };
    storeArchive("Nivalis.Other", R"({"maxConcurrentDownloads":5})");
    EXPECT_TRUE(loadsDefaults());
    storeArchive("Nivalis.Preferences", R"([5])");
    EXPECT_TRUE(loadsDefaults());

    auto saved = KeyedArchiver::archive(Preferences(), "Nivalis.Preferences");
    saved.resize(saved.size() / 2);
    UserDefaults::standard()->setBytes("preferences", saved);
    EXPECT_TRUE(loadsDefaults());
    UserDefaults::standard()->setBytes("preferences", Bytes{0xFF, 0x00, 0x7B});
    EXPECT_TRUE(loadsDefaults());
    UserDefaults::standard()->setString("preferences", "not data at all");
    EXPECT_TRUE(loadsDefaults());
    UserDefaults::standard()->setInteger("preferences", 12);
    EXPECT_TRUE(loadsDefaults());
    EXPECT_EQ(linesContaining("Load preferences"), 7u);
}

TEST_F(PreferencesTest, ArchiveKeepsClassNameKeysAndKindsInMemoryAndInFiles) {
    Preferences prefs;
    prefs.hasUploadSpeedLimit = true;
    const Bytes data = KeyedArchiver::archive(prefs, Preferences::kArchivedClassName);
    const JSON document = JSON::parse(data);
    EXPECT_EQ(document["$class"].string(), "Nivalis.Preferences");
    const JSON values = document["$values"];
    EXPECT_EQ(values.value().size(), 8u);
    EXPECT_EQ(values["maxConcurrentDownloads"].int64(), 1);
    EXPECT_EQ(values["uploadPartSize"].int64(), 16);
    EXPECT_EQ(values["hasUploadSpeedLimit"].bool_(), true);
    EXPECT_EQ(values["hasDownloadSpeedLimit"].bool_(), false);
    EXPECT_FALSE(values.value().contains("disableColors"));

    const auto object = KeyedUnarchiver::unarchive(data, Preferences::archiveClasses());
    const auto back = std::dynamic_pointer_cast<Preferences>(object);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->hasUploadSpeedLimit);
    EXPECT_EQ(KeyedUnarchiver::unarchive(data, {}), nullptr);

    const std::string path = home.file("prefs.archive");
    ASSERT_EQ(FileHelpers::writeFile(path, std::string(data.begin(), data.end())), nullptr);
    EXPECT_TRUE(KeyedUnarchiver::unarchiveFile(path, Preferences::archiveClasses()));
    EXPECT_EQ(KeyedUnarchiver::unarchiveFile(home.file("missing"), Preferences::archiveClasses()),
              nullptr);
    EXPECT_EQ(KeyedUnarchiver::unarchiveFile(home.path(), Preferences::archiveClasses()), nullptr);
}

TEST_F(PreferencesTest, DisableColorsIsReadOnceAndNeverArchived) {
    UserDefaults::standard()->setBool("disableColors", true);
    auto prefs = Preferences::sharedInstance();
    EXPECT_TRUE(prefs->disableColors());
    UserDefaults::standard()->setBool("disableColors", false);
    EXPECT_TRUE(prefs->disableColors());
    prefs->setDisableColors(false);
    EXPECT_FALSE(prefs->disableColors());
    prefs->save();
    EXPECT_FALSE(UserDefaults::standard()->boolean("disableColors"));
    EXPECT_EQ(Preferences().disableColors(), false);
}

}  // namespace
}  // namespace quillon
