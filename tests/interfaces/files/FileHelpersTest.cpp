#include "interfaces/files/FileHelpers.h"

#include <sys/stat.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "interfaces/files/PathComponents.h"
#include "support/TempDir.h"

using quillon::ErrorPtr;
using quillon::FileHelpers;
using quillon::testing::TempDir;

namespace {

TEST(FileHelpers, CreatesDirectoriesWithParentsAndReportsWhatIsInTheWay) {
    TempDir tmp;
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

    ErrorPtr itself = FileHelpers::createDirectory(tmp.file("blocker"));
    ASSERT_NE(itself, nullptr);
    EXPECT_EQ(itself->code(), EEXIST);
    EXPECT_TRUE(FileHelpers::regularFileExists(tmp.file("blocker")));
}

TEST(FileHelpers, DeletesFilesAndTreesButNotThroughLinks) {
    TempDir outside;
    ASSERT_EQ(FileHelpers::writeFile(outside.file("keep.txt"), "keep"), nullptr);

    TempDir tmp;
    ASSERT_EQ(FileHelpers::createDirectory(tmp.file("tree/x/y")), nullptr);
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("tree/x/y/f"), "1"), nullptr);
    ASSERT_EQ(FileHelpers::writeFile(tmp.file("tree/.hidden"), "1"), nullptr);
    ASSERT_EQ(symlink(outside.path().c_str(), tmp.file("tree/link").c_str()), 0);

    ErrorPtr notDir = FileHelpers::deleteDirectory(tmp.file("tree/.hidden"));
    ASSERT_NE(notDir, nullptr);
    EXPECT_EQ(notDir->code(), ENOTDIR);

    EXPECT_EQ(FileHelpers::deleteDirectory(tmp.file("tree")), nullptr);
    EXPECT_FALSE(FileHelpers::exists(tmp.file("tree")));
    EXPECT_TRUE(FileHelpers::fileExists(outside.file("keep.txt")));

    ErrorPtr missing = FileHelpers::deleteDirectory(tmp.file("tree"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->code(), ENOENT);
    ASSERT_NE(FileHelpers::deleteFile(tmp.file("nothing")), nullptr);
    EXPECT_EQ(FileHelpers::deleteFile(tmp.file("nothing"))->code(), ENOENT);
}

TEST(FileHelpers, ReportsSizeAndModificationDate) {
    TempDir tmp;
    const std::string path = tmp.file("f.bin");
    ASSERT_EQ(FileHelpers::writeFile(path, std::string(12345, 'z')), nullptr);
    EXPECT_EQ(FileHelpers::fileSize(path), 12345);

    const quillon::FileTimestamp stamp{1500000000, 250000000};
    ASSERT_EQ(FileHelpers::setModificationDate(path, stamp), nullptr);
    EXPECT_EQ(FileHelpers::modificationDate(path), stamp);
    EXPECT_DOUBLE_EQ(stamp.asDouble(), 1500000000.25);

    ErrorPtr error;
    EXPECT_FALSE(FileHelpers::fileSize(tmp.file("missing"), &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ENOENT);
    EXPECT_FALSE(FileHelpers::modificationDate(tmp.file("missing")));
}

TEST(FileHelpers, ListsEntriesMatchingAWildcardSortedByName) {
    TempDir tmp;
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
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ENOTDIR);
}

TEST(FileHelpers, EnumeratesATreeParentsFirstAndStopsOnRequest) {
    TempDir tmp;
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

TEST(FileHelpers, ReadsAndWritesWholeFiles) {
    TempDir tmp;
    const std::string path = tmp.file("data");
    std::string content(200000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 7);
    }
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
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), EISDIR);
    EXPECT_NE(FileHelpers::writeFileAtomically(tmp.file("data/below"), "x"), nullptr);
    EXPECT_NE(FileHelpers::writeFileAtomically(tmp.path(), "x"), nullptr)
        << "cannot replace a directory";
    EXPECT_TRUE(FileHelpers::directoryExists(tmp.path()));

    EXPECT_EQ(FileHelpers::createFileIfMissing(tmp.file("new.log")), nullptr);
    EXPECT_EQ(FileHelpers::createFileIfMissing(path), nullptr);
    EXPECT_EQ(FileHelpers::readFile(path), "") << "an existing file is left alone";
    EXPECT_EQ(FileHelpers::fileSize(tmp.file("new.log")), 0);
}

TEST(FileHelpers, CreatesUniqueTemporaryFiles) {
    TempDir tmp;
    auto first = FileHelpers::createTemporaryFile("tmp", tmp.path());
    auto second = FileHelpers::createTemporaryFile("tmp", tmp.path());
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(first->substr(0, tmp.path().size() + 1), tmp.path() + "/");
    EXPECT_EQ(first->substr(first->size() - 4), ".tmp");
    EXPECT_EQ(FileHelpers::fileSize(*first), 0);

    auto bare = FileHelpers::createTemporaryFile("", tmp.path());
    ASSERT_TRUE(bare);
    EXPECT_EQ(quillon::lastPathComponent(*bare).find('.'), std::string::npos);

    ErrorPtr error;
    EXPECT_FALSE(FileHelpers::createTemporaryFile("tmp", tmp.file("missing/dir"), &error));
    EXPECT_NE(error, nullptr);

    auto system = FileHelpers::createTemporaryFile();
    ASSERT_TRUE(system);
    EXPECT_TRUE(FileHelpers::regularFileExists(*system));
    EXPECT_EQ(FileHelpers::deleteFile(*system), nullptr);
}

}  // namespace
