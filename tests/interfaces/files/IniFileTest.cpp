#include "interfaces/files/IniFile.h"

#include <random>

#include <gtest/gtest.h>

#include "interfaces/files/FileHelpers.h"
#include "support/TempDir.h"

using quillon::IniFile;

namespace {

TEST(IniFile, ReadsSectionsKeysAndValues) {
    const auto ini = IniFile::parse(
        "\xEF\xBB\xBF"
        "region = us-east-1\r\n"
        "# a comment = not a key\r\n"
        "  ; another\r\n"
        "\r\n"
        "[default]\r\n"
        "aws_access_key_id=AKIDEXAMPLE\r\n"
        "  aws_secret_access_key   =  wJalr/K7MDENG+bPxRfi#CY  \r\n"
        "[ profile two ]\n"
        "empty =\n"
        "a = first\n"
        "no equals sign here\n"
        "= orphan value\n"
        "a = b = c\n"
        "[default]\n"
        "extra=1\n"
        "[unterminated\n"
        "tail=x");
    ASSERT_EQ(ini.size(), 3u);
    EXPECT_EQ(ini.at("").at("region"), "us-east-1");
    const auto& def = ini.at("default");
    EXPECT_EQ(def.at("aws_access_key_id"), "AKIDEXAMPLE");
    EXPECT_EQ(def.at("aws_secret_access_key"), "wJalr/K7MDENG+bPxRfi#CY");
    EXPECT_EQ(def.at("extra"), "1") << "a repeated section adds to the first";
    EXPECT_EQ(def.at("tail"), "x") << "a broken header line leaves the section as it was";
    EXPECT_EQ(def.size(), 4u);
    const auto& two = ini.at("profile two");
    EXPECT_EQ(two.at("empty"), "");
    EXPECT_EQ(two.at("a"), "b = c") << "the last value wins; only the first = splits";
    EXPECT_EQ(two.size(), 2u);
}

TEST(IniFile, EmptyTextAndEmptySections) {
    EXPECT_TRUE(IniFile::parse("").empty());
    EXPECT_TRUE(IniFile::parse("\n\n# only comments\n").empty());
    const auto ini = IniFile::parse("[a]\n[b]\n");
    EXPECT_EQ(ini.size(), 2u);
    EXPECT_TRUE(ini.at("a").empty());
}

TEST(IniFile, SurvivesBinaryJunk) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 200; ++round) {
        std::string junk(static_cast<std::size_t>(round * 13), '\0');
        for (auto& c : junk) {
            const int b = byte(random);
            // Sprinkle in the characters the parser looks for.
            c = static_cast<char>(b < 20 ? "[]=\n#;"[b % 6] : b);
        }
        EXPECT_NO_THROW(IniFile::parse(junk));
    }
    const auto withNul = IniFile::parse(std::string("[s\0x]\nk\0=v\0w\n", 14));
    EXPECT_EQ(withNul.at(std::string("s\0x", 3)).at(std::string("k\0", 2)), std::string("v\0w", 3));
}

TEST(IniFile, ParsesFilesAndReportsUnreadableOnes) {
    quillon::testing::TempDir tmp;
    ASSERT_EQ(quillon::FileHelpers::writeFile(tmp.file("credentials"), "[me]\nk=v\n"), nullptr);
    const auto ini = IniFile::parseFile(tmp.file("credentials"));
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini->at("me").at("k"), "v");

    quillon::ErrorPtr error;
    EXPECT_FALSE(IniFile::parseFile(tmp.path(), &error));
    EXPECT_NE(error, nullptr);
}

}  // namespace
