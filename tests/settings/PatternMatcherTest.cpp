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

TEST_F(PatternMatcherTest, ExactNamesAndLowerCasedWildcards) {
    auto m = matcher(".DS_Store *.tmp Thumbs.db");
    EXPECT_EQ(m.skipPatterns(), (std::vector<std::string>{".DS_Store", "*.tmp", "Thumbs.db"}));
    EXPECT_FALSE(m.allowedByPattern(".DS_Store"));
    EXPECT_FALSE(m.allowedByPattern("Thumbs.db"));
    EXPECT_FALSE(m.allowedByPattern("a.tmp"));
    EXPECT_FALSE(m.allowedByPattern("A.TMP"));
    EXPECT_FALSE(m.allowedByPattern("dir/x.tmp"));  // "*" crosses slashes
    EXPECT_TRUE(m.allowedByPattern("notes.txt"));
    EXPECT_TRUE(m.allowedByPattern("thumbs.db"));  // exact comparison keeps the case
    EXPECT_TRUE(m.allowedByPattern("a.tmp.txt"));
}

TEST_F(PatternMatcherTest, UpperCaseWildcardsAndBracketsOnlyMatchLiterally) {
    auto upper = matcher("*.TMP");
    EXPECT_TRUE(upper.allowedByPattern("a.tmp"));
    EXPECT_TRUE(upper.allowedByPattern("A.TMP"));
    EXPECT_FALSE(upper.allowedByPattern("*.TMP"));

    auto brackets = matcher("[ab].txt");
    EXPECT_TRUE(brackets.allowedByPattern("a.txt"));
    EXPECT_FALSE(brackets.allowedByPattern("[ab].txt"));

    auto question = matcher("?.log");
    EXPECT_FALSE(question.allowedByPattern("X.LOG"));
    EXPECT_TRUE(question.allowedByPattern(".log"));
    EXPECT_TRUE(question.allowedByPattern("xy.log"));

    auto hidden = matcher("*");
    EXPECT_FALSE(hidden.allowedByPattern(".hidden"));  // no FNM_PERIOD
}

TEST_F(PatternMatcherTest, NonASCIINamesAreLoweredForWildcards) {
    auto m = matcher("\xC3\xA9t\xC3\xA9*");                     // "été*"
    EXPECT_FALSE(m.allowedByPattern("\xC3\x89T\xC3\x89.txt"));  // "ÉTÉ.txt"
    EXPECT_TRUE(m.allowedByPattern("ete.txt"));
}

TEST_F(PatternMatcherTest, EmptyAndMissingListsAllowEverything) {
    auto empty = matcher("");
    EXPECT_TRUE(empty.skipPatterns().empty());
    EXPECT_TRUE(empty.allowedByPattern(".DS_Store"));
    EXPECT_TRUE(empty.allowedByPattern(""));

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
