// Tests of the file helpers, path components and INI files. They run on one thread.
#include "foundation/FileHelpers.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <random>

#include <gtest/gtest.h>

#include "foundation/PathComponents.h"
#include "interfaces/files/IniFile.h"
#include "support/TempDir.h"
#include "support/TreeHashVectors.h"

namespace quillon {
namespace {

using testing::TempDir;

// Each test has a temporary directory of its own.
struct FileHelpersTest : ::testing::Test {
    // The code of the error, or -1 for none.
    static std::int64_t codeOf(const ErrorPtr& error) { return error ? error->code() : -1; }

    TempDir tmp;
};

TEST_F(FileHelpersTest, CreatesDirectoriesWithParentsAndReportsWhatIsInTheWay) {
    const std::string deep = tmp.file("a/b/c");
    EXPECT_EQ(FileHelpers::createDirectory(deep), nullptr);
    EXPECT_TRUE(FileHelpers::directoryExists(deep));
    EXPECT_FALSE(FileHelpers::fileExists(deep));
    EXPECT_EQ(FileHelpers::createDirectory(deep + "/"), nullptr) << "existing directory is fine";

    ASSERT_EQ(FileHelpers::writeFile(tmp.file("blocker"), "x"), nullptr);
    ErrorPtr inside = FileHelpers::createDirectory(tmp.file("blocker/sub/dir"));
    ASSERT_NE(inside, nullptr);
    EXPECT_EQ(inside->domain(), FileHelpers::kFileErrorDomain);
    EXPECT_EQ(inside->code(), ENOTDIR);
    EXPECT_EQ(inside->stringForKey(FileHelpers::kFilePathErrorKey), tmp.file("blocker/sub/dir"));
    EXPECT_NE(inside->localizedDescription().find("blocker/sub/dir"), std::string::npos);

    EXPECT_EQ(codeOf(FileHelpers::createDirectory(tmp.file("blocker"))), EEXIST);
    EXPECT_TRUE(FileHelpers::regularFileExists(tmp.file("blocker")));
}

TEST_F(FileHelpersTest, DeletesFilesAndTreesButNotThroughLinks) {
    TempDir outside;
    ASSERT_EQ(FileHelpers::writeFile(outside.file("keep.txt"), "keep"), nullptr);

    ASSERT_EQ(FileHelpers::createDirectory(tmp.file("tree/x/y")), nullptr);
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("tree/x/y/f"), "1"), nullptr);
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("tree/.hidden"), "1"), nullptr);
    ASSERT_EQ(symlink(outside.path().c_str(), tmp.file("tree/link").c_str()), 0);

    EXPECT_EQ(codeOf(FileHelpers::deleteDirectory(tmp.file("tree/.hidden"))), ENOTDIR);
    EXPECT_EQ(FileHelpers::deleteDirectory(tmp.file("tree")), nullptr);
    EXPECT_FALSE(FileHelpers::exists(tmp.file("tree")));
    EXPECT_TRUE(FileHelpers::fileExists(outside.file("keep.txt")));

    EXPECT_EQ(codeOf(FileHelpers::deleteDirectory(tmp.file("tree"))), ENOENT);
    EXPECT_EQ(codeOf(FileHelpers::deleteFile(tmp.file("nothing"))), ENOENT);
}

TEST_F(FileHelpersTest, ReportsSizeAndModificationDate) {
    const std::string path = tmp.file("f.bin");
    ASSERT_EQ(FileHelpers::writeFile(path, std::string(12345, 'z')), nullptr);
    EXPECT_EQ(FileHelpers::fileSize(path), 12345);

    const FileTimestamp stamp{1500000000, 250000000};
    ASSERT_EQ(FileHelpers::setModificationDate(path, stamp), nullptr);
    EXPECT_EQ(FileHelpers::modificationDate(path), stamp);
    EXPECT_DOUBLE_EQ(stamp.asDouble(), 1500000000.25);

    ErrorPtr error;
    EXPECT_FALSE(FileHelpers::fileSize(tmp.file("missing"), &error));
    EXPECT_EQ(codeOf(error), ENOENT);
    EXPECT_FALSE(FileHelpers::modificationDate(tmp.file("missing")));
}

TEST_F(FileHelpersTest, ListsEntriesMatchingAWildcardSortedByName) {
    for (const char* name : {"inventory-2.json", "inventory-10.json", "inventory-.json",
                             "inventory-1.json.part", "support.log", ".hidden"}) {
        ASSERT_EQ(FileHelpers::writeFile(tmp.file(name), "{}"), nullptr);
    }
    ASSERT_EQ(FileHelpers::createDirectory(tmp.file("inventory-dir.json")), nullptr);

    EXPECT_EQ(FileHelpers::listDirectory(tmp.path(), "inventory-*.json"),
              (std::vector<std::string>{"inventory-.json", "inventory-10.json", "inventory-2.json",
                                        "inventory-dir.json"}));
    EXPECT_EQ(FileHelpers::listDirectory(tmp.path()).size(), 7u) << "* includes dot files";
    EXPECT_TRUE(FileHelpers::listDirectory(tmp.path(), "*.db").empty());

    ErrorPtr error;
    EXPECT_TRUE(FileHelpers::listDirectory(tmp.file("support.log"), "*", &error).empty());
    EXPECT_EQ(codeOf(error), ENOTDIR);
}

TEST_F(FileHelpersTest, EnumeratesATreeParentsFirstAndStopsOnRequest) {
    ASSERT_EQ(FileHelpers::createDirectory(tmp.file("b/c")), nullptr);
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("a.txt"), ""), nullptr);
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("b/c/d.txt"), ""), nullptr);
    ASSERT_EQ(symlink(tmp.path().c_str(), tmp.file("b/loop").c_str()), 0);

    std::vector<std::pair<std::string, bool>> seen;
    EXPECT_EQ(FileHelpers::enumerateTree(tmp.path(),
                                         [&](const std::string& rel, bool isDir) {
                                             seen.emplace_back(rel, isDir);
                                             return true;
                                         }),
              nullptr);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"a.txt", false}, {"b", true}, {"b/c", true}, {"b/c/d.txt", false}, {"b/loop", false}};
    EXPECT_EQ(seen, expected);

    int visits = 0;
    EXPECT_EQ(FileHelpers::enumerateTree(tmp.path(),
                                         [&](const std::string&, bool) { return ++visits < 2; }),
              nullptr);
    EXPECT_EQ(visits, 2);

    EXPECT_NE(FileHelpers::enumerateTree(tmp.file("a.txt"), [](auto&, bool) { return true; }),
              nullptr);
}

TEST_F(FileHelpersTest, ReadsAndWritesWholeFiles) {
    const std::string path = tmp.file("data");
    const std::string content = testing::referencePattern(200000);
    ASSERT_EQ(FileHelpers::writeFileAtomically(path, content, 0640), nullptr);
    EXPECT_EQ(FileHelpers::readFile(path), content);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    ASSERT_EQ(FileHelpers::writeFileAtomically(path, "short"), nullptr);
    EXPECT_EQ(FileHelpers::readFile(path), "short");
    EXPECT_EQ(FileHelpers::listDirectory(tmp.path()), std::vector<std::string>{"data"})
        << "no temporary file left behind";

    ASSERT_EQ(FileHelpers::writeFile(path, ""), nullptr);
    EXPECT_EQ(FileHelpers::readFile(path), "");

    ErrorPtr error;
    EXPECT_FALSE(FileHelpers::readFile(tmp.path(), &error)) << "a directory is not a file";
    EXPECT_EQ(codeOf(error), EISDIR);
    EXPECT_NE(FileHelpers::writeFileAtomically(tmp.file("data/below"), "x"), nullptr);
    EXPECT_NE(FileHelpers::writeFileAtomically(tmp.path(), "x"), nullptr)
        << "cannot replace a directory";
    EXPECT_TRUE(FileHelpers::directoryExists(tmp.path()));

    EXPECT_EQ(FileHelpers::createFileIfMissing(tmp.file("new.log")), nullptr);
    EXPECT_EQ(FileHelpers::createFileIfMissing(path), nullptr);
    EXPECT_EQ(FileHelpers::readFile(path), "") << "an existing file is left alone";
    EXPECT_EQ(FileHelpers::fileSize(tmp.file("new.log")), 0);
}

TEST_F(FileHelpersTest, CreatesUniqueTemporaryFiles) {
    auto first = FileHelpers::createTemporaryFile("tmp", tmp.path());
    auto second = FileHelpers::createTemporaryFile("tmp", tmp.path());
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(first->substr(0, tmp.path().size() + 1), tmp.path() + "/");
    EXPECT_EQ(first->substr(first->size() - 4), ".tmp");
    EXPECT_EQ(FileHelpers::fileSize(*first), 0);

    auto bare = FileHelpers::createTemporaryFile("", tmp.path());
    ASSERT_TRUE(bare);
    EXPECT_EQ(lastPathComponent(*bare).find('.'), std::string::npos);

    ErrorPtr error;
    EXPECT_FALSE(FileHelpers::createTemporaryFile("tmp", tmp.file("missing/dir"), &error));
    EXPECT_NE(error, nullptr);

    auto system = FileHelpers::createTemporaryFile();
    ASSERT_TRUE(system);
    EXPECT_TRUE(FileHelpers::regularFileExists(*system));
    EXPECT_EQ(FileHelpers::deleteFile(*system), nullptr);
}

struct PathCase {
    const char* path;
    const char* last;
    const char* parent;
    const char* extension;
    const char* withoutExtension;
    std::vector<std::string> components;
};

TEST(PathComponents, SplitsPathsLikeDirectoryTexts) {
    const std::vector<PathCase> cases = {
        {"a/b/c.txt", "c.txt", "a/b", "txt", "a/b/c", {"a", "b", "c.txt"}},
        {"c.txt", "c.txt", "", "txt", "c", {"c.txt"}},
        {"a/b/", "b", "a", "", "a/b", {"a", "b", "/"}},
        {"x/", "x", "", "", "x", {"x", "/"}},
        {"/", "/", "/", "", "/", {"/"}},
        {"/a", "a", "/", "", "/a", {"/", "a"}},
        {"", "", "", "", "", {}},
        {"//a//b//", "b", "/a", "", "/a/b", {"/", "a", "b", "/"}},
        {"/tmp/a.tar.gz", "a.tar.gz", "/tmp", "gz", "/tmp/a.tar", {"/", "tmp", "a.tar.gz"}},
        {"dir.d/file", "file", "dir.d", "", "dir.d/file", {"dir.d", "file"}},
        {"/home/.profile", ".profile", "/home", "", "/home/.profile", {"/", "home", ".profile"}},
        {"a/b.", "b.", "a", "", "a/b", {"a", "b."}},
        {"a/..", "..", "a", "", "a/..", {"a", ".."}},
        {"inventory-1.json", "inventory-1.json", "", "json", "inventory-1", {"inventory-1.json"}},
        {"ü/日本.txt", "日本.txt", "ü", "txt", "ü/日本", {"ü", "日本.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(lastPathComponent(c.path), c.last);
        EXPECT_EQ(deletingLastPathComponent(c.path), c.parent);
        EXPECT_EQ(pathExtension(c.path), c.extension);
        EXPECT_EQ(deletingPathExtension(c.path), c.withoutExtension);
        EXPECT_EQ(pathComponents(c.path), c.components);
    }
}

TEST(PathComponents, TrimmingAndAppendingSlashes) {
    EXPECT_EQ(trimmingSlashes("/a/b/"), "a/b");
    EXPECT_EQ(trimmingSlashes("a//b"), "a//b");
    EXPECT_EQ(trimmingSlashes("///"), "");
    EXPECT_EQ(trimmingSlashes(""), "");
    const std::array<const char*, 3> cases[] = {
        {"/tmp", "x.txt", "/tmp/x.txt"},
        {"/tmp/", "x.txt", "/tmp/x.txt"},
        {"/", "x", "/x"},
        {"", "x", "x"},
        {"a", "", "a"},
        {"a/", "", "a"},
        {"a", "/b/", "a/b"},
        {"a", "b/c", "a/b/c"},
        {"", "", ""},
    };
    for (const auto& [base, component, joined] : cases) {
        SCOPED_TRACE(std::string(base) + " + " + component);
        EXPECT_EQ(appendingPathComponent(base, component), joined);
    }
}

TEST(IniFile, ReadsSectionsKeysAndValuesFromTextsJunkAndFiles) {
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
    EXPECT_TRUE(IniFile::parse("").empty());
    EXPECT_TRUE(IniFile::parse("\n\n# only comments\n").empty());
    const auto sections = IniFile::parse("[a]\n[b]\n");
    EXPECT_EQ(sections.size(), 2u);
    EXPECT_TRUE(sections.at("a").empty());
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
    TempDir tmp;
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("credentials"), "[me]\nk=v\n"), nullptr);
    const auto fromFile = IniFile::parseFile(tmp.file("credentials"));
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(fromFile->at("me").at("k"), "v");

    ErrorPtr error;
    EXPECT_FALSE(IniFile::parseFile(tmp.path(), &error));
    EXPECT_NE(error, nullptr);
}

}  // namespace
}  // namespace quillon
