#include "interfaces/text/Format.h"

#include <gtest/gtest.h>

using quillon::formatString;

TEST(Format, SubstitutesTextsNumbersAndPositions) {
    EXPECT_EQ(formatString("Run DB migration 2.0 (a) %@", {std::string("/x/Store.db")}),
              "Run DB migration 2.0 (a) /x/Store.db");
    EXPECT_EQ(formatString("%d vaults, %ld%%", {std::int64_t{3}, std::int64_t{50}}),
              "3 vaults, 50%");
    EXPECT_EQ(formatString("%2$@ before %1$@", {std::string("a"), std::string("b")}), "b before a");
    EXPECT_EQ(formatString("%@ and %@", {std::string("only")}), "only and ");
    EXPECT_EQ(formatString("100%", {}), "100%");
}
