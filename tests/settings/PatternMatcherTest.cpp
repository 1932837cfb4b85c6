// Tests of PatternMatcher: skip patterns from the stored list. Threads: run on the test's thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "interfaces/platform/UserDefaults.h"
#include "settings/PatternMatcher.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

class PatternMatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("QUILLON_HOME", home.path().c_str(), 1);
        UserDefaults::resetStandard();
    }
    void TearDown() override { UserDefaults::resetStandard(); }

    PatternMatcher matcher(const std::string& stored) {
        UserDefaults::standard()->setString("uploadSkipPattern", stored);
        return PatternMatcher("uploadSkipPattern");
    }

    testing::TempDir home;
};

// Exact names keep their case; wildcard patterns are lowered (non-ASCII letters too) and match
// the lowered name; "*" crosses slashes and dots; an upper-case wildcard pattern or brackets
// only match literally.
TEST_F(PatternMatcherTest, NamesAgainstTheStoredList) {
    EXPECT_EQ(matcher(".DS_Store *.tmp Thumbs.db").skipPatterns(),
              (std::vector<std::string>{".DS_Store", "*.tmp", "Thumbs.db"}));
    const struct {
        std::string stored, name;
        bool allowed;
    } cases[] = {
        {".DS_Store *.tmp Thumbs.db", ".DS_Store", false},
        {".DS_Store *.tmp Thumbs.db", "Thumbs.db", false},
        {".DS_Store *.tmp Thumbs.db", "a.tmp", false},
        {".DS_Store *.tmp Thumbs.db", "A.TMP", false},
        {".DS_Store *.tmp Thumbs.db", "dir/x.tmp", false},
        {".DS_Store *.tmp Thumbs.db", "notes.txt", true},
        {".DS_Store *.tmp Thumbs.db", "thumbs.db", true},
        {".DS_Store *.tmp Thumbs.db", "a.tmp.txt", true},
        {"*.TMP", "a.tmp", true},
        {"*.TMP", "A.TMP", true},
        {"*.TMP", "*.TMP", false},
        {"[ab].txt", "a.txt", true},
        {"[ab].txt", "[ab].txt", false},
        {"?.log", "X.LOG", false},
        {"?.log", ".log", true},
        {"?.log", "xy.log", true},
        {"*", ".hidden", false},                                 // no FNM_PERIOD
        {"\xC3\xA9t\xC3\xA9*", "\xC3\x89T\xC3\x89.txt", false},  // "été*", "ÉTÉ.txt"
        {"\xC3\xA9t\xC3\xA9*", "ete.txt", true},
        {"", ".DS_Store", true},
        {"", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matcher(c.stored).allowedByPattern(c.name), c.allowed)
            << c.stored << " " << c.name;
    }
}

TEST_F(PatternMatcherTest, EmptyAndMissingListsAllowEverything) {
    EXPECT_TRUE(matcher("").skipPatterns().empty());
    PatternMatcher missing("noSuchKey");
    EXPECT_TRUE(missing.skipPatterns().empty());
    EXPECT_TRUE(missing.allowedByPattern("anything"));
}

TEST_F(PatternMatcherTest, DoubleBlanksGiveEmptyPatternsAndTheListIsReadOnce) {
    auto m = matcher("a  b ");
    EXPECT_EQ(m.skipPatterns(), (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_TRUE(m.allowedByPattern("c"));
    EXPECT_FALSE(m.allowedByPattern("b"));
    // The empty pattern matches only the empty name.
    EXPECT_FALSE(m.allowedByPattern(""));

    UserDefaults::standard()->setString("uploadSkipPattern", "c");
    EXPECT_TRUE(m.allowedByPattern("c"));
    EXPECT_FALSE(PatternMatcher("uploadSkipPattern").allowedByPattern("c"));
}

}  // namespace
}  // namespace quillon
