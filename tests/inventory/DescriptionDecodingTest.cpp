// Tests of archive description decoding: names, folders, encodings and hostile documents.
// Threads: run on the test's thread.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/text/Base64.h"
#include "interfaces/text/XMLDocument.h"
#include "inventory/InventoryItem.h"
#include "support/CaptureServer.h"
#include "support/TempDir.h"
#include "transfers/Archive.h"

namespace quillon {
namespace {

using testing::CaptureServer;
using testing::TempDir;

InventoryItem decoded(const std::string& description, std::int64_t size = 10) {
    InventoryItem item;
    item.archiveDescription = description;
    item.size = size;
    item.decodeDescription();
    return item;
}

std::string base64(const std::string& text) {
    return Base64::encode(std::string_view(text));
}

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// Each readable form gives the name, base name and folder name of its path.
TEST(DescriptionFormsTest, NameBaseNameAndFolder) {
    const std::string path = base64("/a/b.txt");
    const struct {
        std::string description;
        std::int64_t size;
        std::string name, baseName, dirName;
    } cases[] = {
        {"photos/2014/a%20b.jpg", 10, "photos/2014/a b.jpg", "a b.jpg", "photos/2014"},
        // Either digit case.
        {"caf%C3%A9/%e2%82%ac.txt", 10, "caf\xC3\xA9/\xE2\x82\xAC.txt", "\xE2\x82\xAC.txt",
         "caf\xC3\xA9"},
        {"c.txt", 10, "c.txt", "c.txt", ""},
        {"/a/b/", 1, "/a/b/", "b", "a"},
        {"", 10, "", "", ""},
        {"100%25", 10, "100%", "100%", ""},
        {"a%2Fb", 10, "a/b", "b", "a"},
        {"a%00b", 10, std::string("a\0b", 3), std::string("a\0b", 3), ""},
        // Raw bytes that are not UTF-8 stay as they are, with or without escapes beside them.
        {"dir/\xFF\xFE.bin", 10, "dir/\xFF\xFE.bin", "\xFF\xFE.bin", "dir"},
        {"dir/\xFF\xFE.bin%20", 10, "dir/\xFF\xFE.bin%20", "\xFF\xFE.bin%20", "dir"},
        {"<ArchiveMetadata><Path>" + path +
             "</Path><Size>10</Size><LastModified>x</LastModified></ArchiveMetadata>",
         10, "a/b.txt", "b.txt", "a"},
        // Not XML at all: the description is percent-decoded as a plain path.
        {"<not%20xml", 10, "<not xml", "<not xml", ""},
        {"key=" + base64("/docs/a.txt") + ";size=10;mtime=12345", 10, "docs/a.txt", "a.txt",
         "docs"},
        {R"({"path":"/x/"})", 1, "x/", "x", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        const auto item = decoded(c.description, c.size);
        EXPECT_EQ(item.name, c.name);
        EXPECT_EQ(item.baseName, c.baseName);
        EXPECT_EQ(item.dirName, c.dirName);
    }
}

TEST(OwnFormTest, PercentDecodingIsAllOrNothing) {
    // One bad escape anywhere keeps every other escape undecoded too.
    for (const std::string description : {"a%20b%", "a%20b%4", "a%20b%zz", "%G0%20", "a%20b%%20",
                                          "x%C3", "x%C3%28", "%FF%20", "%ED%A0%80", "%C0%AF"}) {
        EXPECT_EQ(decoded(description).name, description) << description;
    }
}

TEST(FolderTest, OnlyOneByteArchivesNamedWithSlashAreFolders) {
    EXPECT_TRUE(decoded("x/", 1).representsFolder());
    EXPECT_TRUE(decoded("/a/b/", 1).representsFolder());
    EXPECT_TRUE(decoded(R"({"path":"/x/"})", 1).representsFolder());
    EXPECT_FALSE(decoded(R"({"path":"/x/"})", 2).representsFolder());
    EXPECT_FALSE(decoded("x/", 2).representsFolder());
    EXPECT_FALSE(decoded("x/", 0).representsFolder());
    EXPECT_FALSE(decoded("x", 1).representsFolder());
}

TEST(XMLFormTest, LongAndShortFormsAndDamagedDocumentsFallBack) {
    const std::string path = base64("/a/b.txt");
    EXPECT_EQ(decoded("<m><v>4</v><p>" + path + "</p><lm>20140101T000000Z</lm></m>").name,
              "a/b.txt");
    EXPECT_EQ(decoded("<?xml version=\"1.0\"?>\n<m><p>" + path + "</p></m>").name, "a/b.txt");
    // Only one leading slash goes.
    EXPECT_EQ(decoded("<m><p>" + base64("//x") + "</p></m>").name, "/x");
    // CDATA is text as well.
    EXPECT_EQ(decoded("<m><p><![CDATA[" + path + "]]></p></m>").name, "a/b.txt");
    // The first matching node counts.
    EXPECT_EQ(decoded("<m><p>" + path + "</p><p>" + base64("/other") + "</p></m>").name, "a/b.txt");
    for (const std::string& description : std::vector<std::string>{
             "<m><p>" + path + "</p>",                                  // not closed
             "<m><q>" + path + "</q></m>",                              // no path node
             "<ArchiveMetadata><p>" + path + "</p></ArchiveMetadata>",  // short node, long root
             "<x><m><p>" + path + "</p></m></x>",                       // not at the root
             "<m><p></p></m>",                                          // empty text
             "<m><p>" + path.substr(0, path.size() - 1) + "</p></m>",   // wrong length
             "<m><p>L2EvYi50\neHQ=</p></m>",                            // line break inside
             "<m><p> " + path + "</p></m>",                             // blank inside
             "<m><p>" + base64("/\xFF\xFE") + "</p></m>",  // valid Base64, bytes not UTF-8
         }) {
        EXPECT_EQ(decoded(description).name, description) << description;
    }
}

TEST(XMLFormTest, HostileDocumentsReachNothingAndPrintNothing) {
    TempDir dir;
    const std::string secret = dir.file("secret.txt");
    std::ofstream(secret) << base64("/leaked/from/file");
    CaptureServer server([](const std::string&) { return CaptureServer::response(404, "", ""); });

    // Nine levels of ten references each.
    std::string billionLaughs = "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY lol0 \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        billionLaughs += "<!ENTITY lol" + std::to_string(level) + " \"" +
                         repeated("&lol" + std::to_string(level - 1) + ";", 10) + "\">";
    }
    billionLaughs += "]><m><p>&lol9;</p></m>";
    const std::string hostile[] = {
        billionLaughs,
        "<!DOCTYPE m [<!ENTITY x SYSTEM \"" + server.baseURL() + "entity\">]><m><p>&x;</p></m>",
        "<!DOCTYPE m SYSTEM \"" + server.baseURL() + "dtd\"><m><p>&x;</p></m>",
        "<!DOCTYPE m [<!ENTITY % ext SYSTEM \"" + server.baseURL() +
            "param\"> %ext;]><m><p>x</p></m>",
        "<!DOCTYPE m [<!ENTITY x SYSTEM \"file://" + secret + "\">]><m><p>&x;</p></m>",
        "<!DOCTYPE m [<!ENTITY x SYSTEM \"" + secret + "\">]><m><p>&x;</p></m>",
        // Entities are never expanded, internal ones included.
        "<!DOCTYPE m [<!ENTITY x \"" + base64("/inner") + "\">]><m><p>&x;</p></m>",
        "<m><p>" + base64("/a") + "</p></m><junk>",
        "<m><p>&undefined;</p></m>",
    };
    ::testing::internal::CaptureStderr();
    for (const auto& description : hostile) {
        EXPECT_EQ(decoded(description).name, description) << description;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(server.requests().empty());
}

TEST(XMLFormTest, DocumentReaderBoundary) {
    EXPECT_EQ(XMLDocument::fromData(""), nullptr);
    EXPECT_EQ(XMLDocument::fromData("<a>"), nullptr);
    const auto document = XMLDocument::fromData("<a><b>x<c>y</c>&amp;z</b><b>2</b></a>");
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(document->firstNodeText("/a/b"), "xy&z");
    EXPECT_EQ(document->firstNodeText("/a/c"), std::nullopt);
    EXPECT_EQ(document->firstNodeText("/a/b[2]"), "2");
    EXPECT_EQ(document->firstNodeText("/a/(("), std::nullopt);  // invalid expression
}

TEST(KeyFormTest, KeyAndJSONFormsReadTheirPathOrAreTakenWhole) {
    EXPECT_EQ(decoded("key=" + base64("/x/y")).name, "x/y");
    // An empty piece is an empty path.
    EXPECT_EQ(decoded("key=;size=1").name, "");
    for (const std::string& description : std::vector<std::string>{
             "key=not*base64;size=1", "key=L2EvYi50eHQ;x", "key=L2Ev\nYi50eHQ=;x", "key=====;",
             "key=" + base64("/\xC3\x28") + ";x"}) {
        EXPECT_EQ(decoded(description).name, description) << description;
    }
    // Falling back still percent-decodes.
    EXPECT_EQ(decoded("key=%41%42;").name, "key=AB;");
    EXPECT_EQ(decoded(R"({"Size":3,"Path":"/photos/2014/x.jpg","path":"/other"})").name,
              "photos/2014/x.jpg");
    EXPECT_EQ(decoded(R"({"path":"/docs/a.txt"})").name, "docs/a.txt");
    // "Path" that is not a text gives way to "path".
    EXPECT_EQ(decoded(R"({"Path":5,"path":"b"})").name, "b");
    // Values are taken as they are: no Base64, no percent-decoding.
    EXPECT_EQ(decoded(R"({"Path":"a%20b"})").name, "a%20b");
    for (const std::string description :
         {R"({"Path":"/a")", R"({"name":"/a"})", R"({"Path":null})", "{\"Path\":\"\xFF\"}"}) {
        EXPECT_EQ(decoded(description).name, description) << description;
    }
    // Not opened by a brace and a quote: the own form.
    EXPECT_EQ(decoded(R"({ "Path":"/a"})").name, R"({ "Path":"/a"})");
    EXPECT_EQ(decoded(R"({"Path":"/a%20"} %20)").name, R"({"Path":"/a "}  )");
}

TEST(LongDescriptionTest, TenKilobytesInEveryForm) {
    std::string longPath;
    while (longPath.size() < 10 * 1024) {
        longPath += "/folder" + std::to_string(longPath.size());
    }
    const std::string relative = longPath.substr(1);

    std::string escaped;
    for (const char c : relative) {
        escaped += c == 'f' ? std::string("%66") : std::string(1, c);
    }
    EXPECT_EQ(decoded(escaped).name, relative);
    EXPECT_EQ(decoded("<m><p>" + base64(longPath) + "</p></m>").name, relative);
    EXPECT_EQ(decoded("key=" + base64(longPath) + ";x").name, relative);
    EXPECT_EQ(decoded(R"({"Path":")" + longPath + R"("})").name, relative);
    EXPECT_EQ(decoded(relative).dirName, relative.substr(0, relative.rfind('/')));

    // Deep nesting in the foreign forms neither crashes nor decodes.
    const std::string nestedXML = "<m>" + std::string(5000, '<');
    EXPECT_EQ(decoded(nestedXML).name, nestedXML);
    const std::string deepXML = "<m>" + repeated("<e>", 1000);
    EXPECT_EQ(decoded(deepXML).name, deepXML);
    const std::string nestedJSON = "{\"" + std::string(10000, '[');
    EXPECT_EQ(decoded(nestedJSON).name, nestedJSON);
}

// Descriptions made from paths for uploads: printable ASCII stays, the ends are trimmed,
// every other byte is escaped in upper-case hex, and text that is not UTF-8 cannot be encoded.
TEST(EncodeArchiveDescriptionTest, KeepsPrintableASCIIEscapesTheRestRefusesNonUTF8AndDecodesBack) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"  a b/c%d\n", "a b/c%d"},
        {" ~!\"#$&'()*+,-.:;<=>?@[\\]^_`{|}", "~!\"#$&'()*+,-.:;<=>?@[\\]^_`{|}"},
        {"", ""},
        {" \t\r\n ", ""},
        // Unicode spaces at the ends go as well: no-break space, ideographic space.
        {"\xC2\xA0x\xE3\x80\x80", "x"},
        {"caf\xC3\xA9", "caf%C3%A9"},
        {"a\tb", "a%09b"},
        {"a\x7F", "a%7F"},
        {"\xF0\x9F\x93\x81/x", "%F0%9F%93%81/x"},
        {std::string("a\0b", 3), "a%00b"},
        // A no-break space inside the text is escaped, not trimmed.
        {"a\xC2\xA0z", "a%C2%A0z"},
        {"\xFF", std::nullopt},
        {"a\xC3", std::nullopt},
        {"\xC3\x28", std::nullopt},
        {"\xED\xA0\x80", std::nullopt},
        {"\xC0\xAF", std::nullopt},
        {"\xF4\x90\x80\x80", std::nullopt},
        {" x\x80 ", std::nullopt},
    };
    for (const auto& [text, encoded] : cases) {
        EXPECT_EQ(Archive::encodeArchiveDescription(text), encoded) << text;
    }
    for (const std::string path : {"photos/2014/a b.jpg", "photos/", "caf\xC3\xA9/\xE2\x82\xAC.txt",
                                   "tab\there", "x/\xF0\x9F\x93\x81/"}) {
        const auto encoded = Archive::encodeArchiveDescription(path);
        ASSERT_TRUE(encoded) << path;
        EXPECT_EQ(decoded(*encoded).name, path) << *encoded;
    }
    // "%" is not escaped, so a path holding an escape-like sequence does not come back.
    EXPECT_EQ(Archive::encodeArchiveDescription("a%41"), "a%41");
    EXPECT_EQ(decoded("a%41").name, "aA");
    // A lone "%" does: the decoder keeps descriptions with a malformed escape whole.
    EXPECT_EQ(decoded(*Archive::encodeArchiveDescription("100%")).name, "100%");
}

}  // namespace
}  // namespace quillon
