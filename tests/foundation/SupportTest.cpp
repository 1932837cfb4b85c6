// Tests of Support: formats, helpers, the support log, and waitFor pumping the main queue.
// Threads: the test's thread pumps the main queue; one test posts to it from a worker thread.
#include "foundation/Support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "foundation/FileHelpers.h"
#include "foundation/MainQueue.h"
#include "foundation/ModelError.h"
#include "interfaces/base/ConsoleLog.h"
#include "interfaces/base/Localization.h"
#include "support/ScopedHome.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

TEST(AWSDateTest, ParsesTheServiceFormatsRejectsTheRestAndFormatsUTC) {
    const double noon = 1456833600;  // 2016-03-01T12:00:00Z
    EXPECT_EQ(awsDateFromString("2016-03-01T12:00:00Z"), noon);
    EXPECT_EQ(awsDateFromString("20160301T120000Z"), noon);
    auto withMillis = awsDateFromString("2016-03-01T12:00:00.123Z");
    ASSERT_TRUE(withMillis);
    EXPECT_NEAR(*withMillis, noon + 0.123, 1e-6);
    EXPECT_EQ(iso8601Format(*withMillis), "2016-03-01T12:00:00Z");
    for (const char* bad :
         {"2016-03-01", "2016-03-01T12:00:00", "2016-03-01T12:00:00Zjunk", "2016-02-30T12:00:00Z",
          "2016-13-01T12:00:00Z", "2016-03-01T24:00:00Z", "2016-03-01T12:00:00.12Z"}) {
        EXPECT_FALSE(awsDateFromString(bad)) << bad;
    }
    EXPECT_FALSE(awsDateFromString("2016-03-01T12:00:00Z", "yyyyMMdd'T'HHmmss'Z'"));
    EXPECT_TRUE(awsDateFromString("2016-02-29T00:00:00Z"));
    EXPECT_EQ(iso8601Format(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(iso8601Format(1456833600.999), "2016-03-01T12:00:00Z");
    EXPECT_EQ(iso8601Format(-0.5), "1969-12-31T23:59:59Z");
    auto again = awsDateFromString(iso8601Format(1700000000));
    EXPECT_EQ(again, 1700000000);
}

TEST(BytesFormatTest, BytesInBinaryUnitsAndTimeLeftAtTheBoundaries) {
    // 1048575 is 1023.999 KB, which rounds up into the next unit.
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0 bytes"},          {1, "1 byte"},       {1023, "1,023 bytes"},
        {1024, "1 KB"},          {1536, "2 KB"},      {1048575, "1 MB"},
        {1048576, "1 MB"},       {1572864, "1.5 MB"}, {1048576000, "1,000 MB"},
        {1342177280, "1.25 GB"}, {5LL << 40, "5 TB"}, {-2048, "-2 KB"},
        {INT64_MAX, "8 EB"},     {INT64_MIN, "-8 EB"}};
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(bytesFormat(bytes), text) << bytes;
    }
    auto minutes = [](std::int64_t n) { return Localization::format("%d_minutes", {n}); };
    auto hours = [](std::int64_t n) { return Localization::format("%d_hours", {n}); };
    EXPECT_EQ(TimeHelper::formatTimeLeft(0), std::nullopt);
    EXPECT_EQ(TimeHelper::formatTimeLeft(-5), std::nullopt);
    EXPECT_EQ(TimeHelper::formatTimeLeft(std::nan("")), std::nullopt);
    EXPECT_EQ(TimeHelper::formatTimeLeft(INFINITY), std::nullopt);
    for (double few : {0.5, 30.0, 59.0}) {
        EXPECT_EQ(TimeHelper::formatTimeLeft(few), Localization::string("a_few_seconds"));
    }
    EXPECT_EQ(TimeHelper::formatTimeLeft(59.5), minutes(1));
    EXPECT_EQ(TimeHelper::formatTimeLeft(90), minutes(2));  // 1.5 rounds away from zero
    EXPECT_EQ(TimeHelper::formatTimeLeft(1799), minutes(30));
    EXPECT_EQ(TimeHelper::formatTimeLeft(1800), hours(1));
    EXPECT_EQ(TimeHelper::formatTimeLeft(3599), hours(1));
    EXPECT_EQ(TimeHelper::formatTimeLeft(7500), hours(2));
    EXPECT_EQ(*TimeHelper::formatTimeLeft(1799), "30 minutes");
    EXPECT_EQ(*TimeHelper::formatTimeLeft(1800), "1 hour");
}

TEST(StringHelpersTest, GlobEscapingKeyValueSplitAndRanges) {
    EXPECT_EQ(dbEscapeGlob("a*b?c[d"), "a[*]b[?]c[[]d");
    EXPECT_EQ(dbEscapeGlob("[*]"), "[[][*]]");
    EXPECT_EQ(dbEscapeGlob("plain ]/path"), "plain ]/path");
    EXPECT_EQ(dbEscapeGlob(""), "");
    using KV = std::pair<std::string, std::string>;
    EXPECT_EQ(keyValueSeparatedByString("a=b=c", "="), KV("a", "b=c"));
    EXPECT_EQ(keyValueSeparatedByString("abc", "="), KV("abc", ""));
    EXPECT_EQ(keyValueSeparatedByString("=v", "="), KV("", "v"));
    EXPECT_EQ(keyValueSeparatedByString("k: v: w", ": "), KV("k", "v: w"));
    using Range = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(extractRange("0-99"), Range(0, 99));
    EXPECT_EQ(extractRange("10-20-5"), Range(10, 20));
    EXPECT_EQ(extractRange("0-9223372036854775807"), Range(0, INT64_MAX));
    for (const char* bad : {"5-5", "7-3", "5-", "-5", "", "5", "a-9", "1-9x", "1--9",
                            "0-9223372036854775808", " 1-2"}) {
        EXPECT_EQ(extractRange(bad), std::nullopt) << bad;
    }
}

TEST(ReadJSONTest, ReadsDocumentsAndFragmentsAndThrowsOnBadFiles) {
    testing::TempDir dir;
    FileHelpers::writeFile(dir.file("doc.json"), R"({"VaultName": "photos", "Size": 12})");
    FileHelpers::writeFile(dir.file("fragment.json"), R"("just text")");
    JSON doc = readJSON(dir.file("doc.json"));
    EXPECT_EQ(doc["VaultName"].stringValue(), "photos");
    EXPECT_EQ(doc["Size"].int64Value(), 12);
    EXPECT_EQ(readJSON(dir.file("fragment.json")).stringValue(), "just text");
    fs::create_directory(dir.file("folder.json"));
    for (const auto& path : {dir.file("missing.json"), dir.file("folder.json")}) {
        try {
            readJSON(path);
            ADD_FAILURE() << path;
        } catch (const FileError& e) {
            // The file library's error, not a model error (which could be retried on its own).
            EXPECT_EQ(e.error()->domain(), FileHelpers::kFileErrorDomain);
            EXPECT_EQ(e.error()->stringForKey(FileHelpers::kFilePathErrorKey), path);
        }
    }
    FileHelpers::writeFile(dir.file("bad.json"), "{\"a\": ");
    EXPECT_THROW(readJSON(dir.file("bad.json")), nlohmann::json::parse_error);
    FileHelpers::writeFile(dir.file("empty.json"), "");
    EXPECT_THROW(readJSON(dir.file("empty.json")), nlohmann::json::parse_error);
}

TEST(SupportTest, DirectoryHoldsTheSupportLogWhichIsUsedEvenWhenItCannotBeCreated) {
    testing::TempDir dir;
    testing::ScopedHome home(dir.file("app/home"));
    Support support;
    EXPECT_EQ(support.directory(), dir.file("app/home"));
    EXPECT_TRUE(fs::is_directory(dir.file("app/home")));
    auto log = support.log();
    EXPECT_EQ(log, support.log());
    EXPECT_EQ(log->level(), Logger::LogLevel::verbose);
    EXPECT_EQ(log->targetFile(), dir.file("app/home/support.log"));
    EXPECT_TRUE(fs::exists(dir.file("app/home/support.log")));
    log->verbose("hello");
    std::ifstream in(dir.file("app/home/support.log"));
    std::string line;
    std::getline(in, line);
    EXPECT_NE(line.find("] [verbose] hello"), std::string::npos);
    testing::TempDir blocked;
    FileHelpers::writeFile(blocked.file("blocker"), "a regular file where a directory should be");
    std::vector<std::string> console;
    auto old = ConsoleLog::setSink([&](const std::string& line) { console.push_back(line); });
    Support blockedSupport;
    blockedSupport.setDirectory(blocked.file("blocker"));
    auto blockedLog = blockedSupport.log();
    ConsoleLog::setSink(old);
    ASSERT_NE(blockedLog, nullptr);
    EXPECT_EQ(blockedLog->targetFile(), blocked.file("blocker/support.log"));
    ASSERT_EQ(console.size(), 1u);
    EXPECT_NE(console[0].find("support.log"), std::string::npos);
    blockedLog->info("goes nowhere, quietly");
}

TEST(WaitForTest, PumpsTheMainQueueUntilTheFlagIsSet) {
    std::atomic<bool> already{true};
    EXPECT_TRUE(waitFor(already));

    std::atomic<bool> flag{false};
    bool ranOnMain = false;
    std::thread worker([&] {
        MainQueue::async([&] {
            ranOnMain = MainQueue::isMainThread();
            flag = true;
        });
    });
    EXPECT_TRUE(waitFor(flag));
    worker.join();
    EXPECT_TRUE(ranOnMain);
}

}  // namespace
}  // namespace quillon
