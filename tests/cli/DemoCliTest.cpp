#include <gtest/gtest.h>

#include "support/CliRunner.h"
#include "support/TempDir.h"

namespace {

using quillon::testing::CliResult;
using quillon::testing::CliRunner;
using quillon::testing::TempDir;

// The README's first command: the whole road against its own simulator, nothing left behind.
TEST(DemoCliTest, TheWholeRoadSucceedsAndSaysSo) {
    TempDir home;
    CliRunner cli(home.path());
    CliResult result = cli.runWithoutHome({"demo"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("identical (3158073 bytes)"), std::string::npos);
    const std::string summary = "demo: 10 of 10 steps succeeded\n";
    ASSERT_GE(result.out.size(), summary.size());
    EXPECT_EQ(result.out.substr(result.out.size() - summary.size()), summary);
}

}  // namespace
