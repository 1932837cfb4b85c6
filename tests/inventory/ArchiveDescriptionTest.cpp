#include <gtest/gtest.h>

#include <string>

#include "inventory/InventoryItem.h"
#include "transfers/Archive.h"

namespace quillon {
namespace {

std::string nameOf(const std::string& description) {
    InventoryItem item;
    item.archiveDescription = description;
    item.decodeDescription();
    return item.name;
}

TEST(EncodeArchiveDescriptionTest, KeepsPrintableASCIIAndTrimsTheEnds) {
    EXPECT_EQ(Archive::encodeArchiveDescription("  a b/c%d\n"), "a b/c%d");
    EXPECT_EQ(Archive::encodeArchiveDescription(" ~!\"#$&'()*+,-.:;<=>?@[\\]^_`{|}"),
              "~!\"#$&'()*+,-.:;<=>?@[\\]^_`{|}");
    EXPECT_EQ(Archive::encodeArchiveDescription(""), "");
    EXPECT_EQ(Archive::encodeArchiveDescription(" \t\r\n "), "");
    // Unicode spaces at the ends go as well: no-break space, ideographic space.
    EXPECT_EQ(Archive::encodeArchiveDescription("\xC2\xA0x\xE3\x80\x80"), "x");
}

TEST(EncodeArchiveDescriptionTest, EscapesEveryOtherByteInUpperCaseHex) {
    EXPECT_EQ(Archive::encodeArchiveDescription("caf\xC3\xA9"), "caf%C3%A9");
    EXPECT_EQ(Archive::encodeArchiveDescription("a\tb"), "a%09b");
    EXPECT_EQ(Archive::encodeArchiveDescription("a\x7F"), "a%7F");
    EXPECT_EQ(Archive::encodeArchiveDescription("\xF0\x9F\x93\x81/x"), "%F0%9F%93%81/x");
    EXPECT_EQ(Archive::encodeArchiveDescription(std::string("a\0b", 3)), "a%00b");
    // A no-break space inside the text is escaped, not trimmed.
    EXPECT_EQ(Archive::encodeArchiveDescription("a\xC2\xA0z"), "a%C2%A0z");
}

TEST(EncodeArchiveDescriptionTest, TextThatIsNotUTF8CannotBeEncoded) {
    for (const std::string text :
         {"\xFF", "a\xC3", "\xC3\x28", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80", " x\x80 "}) {
        EXPECT_EQ(Archive::encodeArchiveDescription(text), std::nullopt) << text;
    }
}

TEST(EncodeArchiveDescriptionTest, DecoderGivesBackThePathsItWasMadeFrom) {
    for (const std::string path : {"photos/2014/a b.jpg", "photos/", "caf\xC3\xA9/\xE2\x82\xAC.txt",
                                   "tab\there", "x/\xF0\x9F\x93\x81/"}) {
        const auto encoded = Archive::encodeArchiveDescription(path);
        ASSERT_TRUE(encoded) << path;
        EXPECT_EQ(nameOf(*encoded), path) << *encoded;
    }
    // "%" is not escaped, so a path holding an escape-like sequence does not come back.
    EXPECT_EQ(Archive::encodeArchiveDescription("a%41"), "a%41");
    EXPECT_EQ(nameOf("a%41"), "aA");
    // A lone "%" does: the decoder keeps descriptions with a malformed escape whole.
    EXPECT_EQ(nameOf(*Archive::encodeArchiveDescription("100%")), "100%");
}

}  // namespace
}  // namespace quillon
