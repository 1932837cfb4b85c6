// Tests of Logger: line format, levels, rotation and calls from other threads.
// Threads: the test's thread pumps the main queue; one test logs from a second thread.
#include "settings/Logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "foundation/FileHelpers.h"
#include "foundation/MainQueue.h"
#include "support/LogCapture.h"
#include "support/ScopedHome.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
    return FileHelpers::readFile(path).value_or("");
}

// The rotated logs in `dir`: vault.<14 digits>.<a number of 1 to 6 digits>.log
std::vector<std::string> rotatedFiles(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (std::regex_match(name, std::regex(R"(vault\.\d{14}\.(0|[1-9]\d{0,5})\.log)"))) {
            names.push_back(name);
        }
    }
    return names;
}

// The lines of a log file with their time stamps ("[" ... "] ") taken off; a line that does
// not start with a stamp is kept whole with a leading "!".
std::vector<std::string> unstampedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto close = line.find("] ");
        if (line.empty() || line[0] != '[' || close == std::string::npos || close < 2) {
            lines.push_back("!" + line);
        } else {
            lines.push_back(line.substr(close + 2));
        }
    }
    return lines;
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainQueue::runOnce();
        logFile = dir.file("vault.log");
        std::ofstream(logFile).close();
        logger = std::make_shared<Logger>(Logger::LogLevel::verbose);
        logger->setTargetFile(logFile);
    }

    testing::TempDir dir;
    std::string logFile;
    std::shared_ptr<Logger> logger;
};

TEST_F(LoggerTest, LinesCarryTimeStampPrefixLabelAndMessageAndVerboseSharesTheInfoThreshold) {
    logger->info("first");
    logger->setPrefix("photos");
    logger->verbose("second");
    logger->setLevel(Logger::LogLevel::info);
    logger->verbose("shown at info");
    logger->setLevel(Logger::LogLevel::debug);
    logger->info("shown at debug");
    for (auto level : {Logger::LogLevel::warning, Logger::LogLevel::error, Logger::LogLevel::severe,
                       Logger::LogLevel::none}) {
        logger->setLevel(level);
        logger->info("hidden");
        logger->verbose("hidden");
    }
    std::string text = readAll(logFile);
    EXPECT_EQ(unstampedLines(text),
              (std::vector<std::string>{"[info] first", "photos [verbose] second",
                                        "photos [verbose] shown at info",
                                        "photos [info] shown at debug"}));
    EXPECT_EQ(text.back(), '\n');
}

TEST(LoggerLevelTest, RawValuesDefaultsAndTheConsoleWithoutATargetFile) {
    EXPECT_EQ(Logger::logLevel(6), Logger::LogLevel::none);
    EXPECT_EQ(Logger::logLevel(0), Logger::LogLevel::verbose);
    EXPECT_EQ(Logger::logLevel(7), std::nullopt);
    EXPECT_EQ(Logger::logLevel(-1), std::nullopt);
    EXPECT_LT(Logger::LogLevel::info, Logger::LogLevel::warning);
    EXPECT_EQ(Logger().level(), Logger::LogLevel::info);
    EXPECT_EQ(Logger().rotateKeep(), 5);
    // Without a target file the text goes to the console, unstamped.
    testing::LogCapture console;
    Logger logger;
    logger.setPrefix("P");
    logger.info("m");
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"P [info] m"}));
    EXPECT_EQ(logger.rotateCheckCountdown(), 0);
}

TEST_F(LoggerTest, CallsFromOtherThreadsAreWrittenWhenTheMainQueueRuns) {
    std::thread([&] {
        logger->info("from worker 1");
        logger->info("from worker 2");
        Logger::dummyLogger()->info("never");
    }).join();
    EXPECT_EQ(readAll(logFile), "");
    EXPECT_EQ(MainQueue::pendingCount(), 2u);
    std::weak_ptr<Logger> weak = logger;
    logger.reset();  // queued lines still get written
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(MainQueue::runOnce(), 2u);
    EXPECT_EQ(unstampedLines(readAll(logFile)),
              (std::vector<std::string>{"[info] from worker 1", "[info] from worker 2"}));
}

// With a keep count of 0 an earlier rotated file goes too.
TEST_F(LoggerTest, FileOneByteOverTheLimitIsRotatedAtTheFirstLine) {
    std::ofstream(dir.file("vault.20200101000000.1.log")) << "old";
    logger->setRotateKeep(0);
    fs::resize_file(logFile, Logger::rotateAtBytes + 1);
    logger->info("fresh");
    auto rotated = rotatedFiles(dir.path());
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_NE(rotated[0], "vault.20200101000000.1.log");
    EXPECT_EQ(fs::file_size(dir.file(rotated[0])),
              static_cast<std::uintmax_t>(Logger::rotateAtBytes + 1));
    std::string text = readAll(logFile);
    EXPECT_EQ(text.front(), '[');
    EXPECT_NE(text.find("[info] fresh\n"), std::string::npos);
    EXPECT_EQ(text.find('\n'), text.size() - 1);  // the new file holds only the new line
}

TEST_F(LoggerTest, AFileOfExactlyTheLimitIsKeptAndTheSizeCheckedAgainAfterAThousandLines) {
    fs::resize_file(logFile, Logger::rotateAtBytes);
    logger->info("line 1");  // first check: not over the limit
    EXPECT_TRUE(rotatedFiles(dir.path()).empty());
    EXPECT_GT(fs::file_size(logFile), static_cast<std::uintmax_t>(Logger::rotateAtBytes));
    EXPECT_EQ(logger->rotateCheckCountdown(), Logger::rotateCheckInterval);
    fs::resize_file(logFile, Logger::rotateAtBytes + 10);
    for (int i = 2; i <= 1000; ++i) {
        logger->info("line");
    }
    EXPECT_TRUE(rotatedFiles(dir.path()).empty());
    EXPECT_EQ(logger->rotateCheckCountdown(), 1);
    logger->info("line 1001");
    EXPECT_EQ(rotatedFiles(dir.path()).size(), 1u);
    EXPECT_NE(readAll(logFile).find("line 1001"), std::string::npos);
}

TEST_F(LoggerTest, CleanupKeepsRotateKeepOldFilesBeforeAddingTheNewOne) {
    auto now = fs::file_time_type::clock::now();
    std::vector<std::string> names;
    for (int i = 0; i < 7; ++i) {
        std::string name =
            "vault.2024010100000" + std::to_string(i) + "." + std::to_string(i) + ".log";
        std::ofstream(dir.file(name)) << i;
        fs::last_write_time(dir.file(name), now - std::chrono::hours(10 - i));
        names.push_back(name);
    }
    std::ofstream(dir.file("other.1.log")) << "not ours";
    std::ofstream(dir.file("vault.log.bak")) << "not ours";
    fs::resize_file(logFile, Logger::rotateAtBytes + 1);

    logger->info("after rotation");

    auto rotated = rotatedFiles(dir.path());
    EXPECT_EQ(rotated.size(), 6u);
    std::set<std::string> left(rotated.begin(), rotated.end());
    EXPECT_EQ(left.count(names[0]), 0u);  // the two oldest
    EXPECT_EQ(left.count(names[1]), 0u);
    for (int i = 2; i < 7; ++i) {
        EXPECT_EQ(left.count(names[i]), 1u) << names[i];
    }
    EXPECT_TRUE(fs::exists(dir.file("other.1.log")));
    EXPECT_TRUE(fs::exists(dir.file("vault.log.bak")));
}

TEST_F(LoggerTest, AnUninstalledLocaleFallsBackAndATargetInAMissingDirectoryFailsQuietly) {
    {
        testing::ScopedEnv locale("LC_ALL", "xx_NOWHERE.UTF-8");
        Logger logger(Logger::LogLevel::info);
        logger.setTargetFile(dir.file("a.log"));
        EXPECT_NO_THROW(logger.info("still here"));
    }
    EXPECT_EQ(unstampedLines(readAll(dir.file("a.log"))),
              (std::vector<std::string>{"[info] still here"}));
    std::ofstream(dir.file("blocker")) << "file";
    Logger logger(Logger::LogLevel::info);
    logger.setTargetFile(dir.file("blocker/vault.log"));
    EXPECT_NO_THROW(logger.info("lost"));
    EXPECT_FALSE(fs::exists(dir.file("blocker/vault.log")));
}

}  // namespace
}  // namespace quillon
