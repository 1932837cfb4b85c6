#include "interfaces/files/PathComponents.h"

#include <gtest/gtest.h>

namespace {

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
        {"/tmp/archive.tar.gz",
         "archive.tar.gz",
         "/tmp",
         "gz",
         "/tmp/archive.tar",
         {"/", "tmp", "archive.tar.gz"}},
        {"dir.d/file", "file", "dir.d", "", "dir.d/file", {"dir.d", "file"}},
        {"/home/.profile", ".profile", "/home", "", "/home/.profile", {"/", "home", ".profile"}},
        {"a/b.", "b.", "a", "", "a/b", {"a", "b."}},
        {"a/..", "..", "a", "", "a/..", {"a", ".."}},
        {"inventory-1.json", "inventory-1.json", "", "json", "inventory-1", {"inventory-1.json"}},
        {"ü/日本.txt", "日本.txt", "ü", "txt", "ü/日本", {"ü", "日本.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(quillon::lastPathComponent(c.path), c.last);
        EXPECT_EQ(quillon::deletingLastPathComponent(c.path), c.parent);
        EXPECT_EQ(quillon::pathExtension(c.path), c.extension);
        EXPECT_EQ(quillon::deletingPathExtension(c.path), c.withoutExtension);
        EXPECT_EQ(quillon::pathComponents(c.path), c.components);
    }
}

TEST(PathComponents, TrimmingSlashesKeepsInnerOnes) {
    EXPECT_EQ(quillon::trimmingSlashes("/a/b/"), "a/b");
    EXPECT_EQ(quillon::trimmingSlashes("a//b"), "a//b");
    EXPECT_EQ(quillon::trimmingSlashes("///"), "");
    EXPECT_EQ(quillon::trimmingSlashes(""), "");
}

TEST(PathComponents, AppendsWithExactlyOneSlash) {
    struct {
        const char* base;
        const char* component;
        const char* joined;
    } cases[] = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.component);
        EXPECT_EQ(quillon::appendingPathComponent(c.base, c.component), c.joined);
    }
}

}  // namespace
