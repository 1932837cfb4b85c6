// The README's short session, run as written: every line after "$ " of its console block, in
// bash, in an empty directory, with the built programs first on PATH.
// Threads: the test's thread; bash, quillon and the simulator are child processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "foundation/ChildProcess.h"
#include "foundation/FileHelpers.h"
#include "support/BuildPaths.h"
#include "support/TempDir.h"

namespace quillon::testing {
namespace {

using ::testing::HasSubstr;

// The commands of the first console block after `heading`, one a line.
std::string sessionCommands(const std::string& readme, const std::string& heading) {
    std::istringstream lines(readme.substr(readme.find(heading)));
    std::string script;
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (!inside) {
            inside = line == "```console";
        } else if (line == "```") {
            break;
        } else if (line.starts_with("$ ")) {
            script += line.substr(2) + "\n";
        }
    }
    return script;
}

TEST(ReadmeCliTest, TheShortSessionRunsAsWritten) {
    auto readme = FileHelpers::readFile(sourceFile("README.md"));
    ASSERT_TRUE(readme);
    const std::string commands = sessionCommands(*readme, "## A short session");
    ASSERT_THAT(commands, HasSubstr("quillon upload"));
    TempDir work;
    ChildOptions options;
    options.captureErr = true;
    options.workingDirectory = work.path();
    options.unsetEnv = {"QUILLON_HOME", "AWS_PROFILE", "AWS_ACCESS_KEY_ID", "AWS_REGION",
                        "AWS_ENDPOINT_URL"};
    options.env = {{"TMPDIR", work.path()},
                   {"PATH", binaryDir() + "/cli:" + binaryDir() + "/tools:/usr/bin:/bin"}};
    // A session that stops half-way still ends its simulator.
    auto ran = runChild("/bin/bash",
                        {"-e", "-c", "trap 'kill $SIM 2>/dev/null || true' EXIT\n" + commands}, "",
                        options);
    ASSERT_EQ(ran.exitCode, 0) << commands << ran.out << ran.err;
    EXPECT_THAT(ran.out, HasSubstr("listening on http://127.0.0.1:"));
    EXPECT_THAT(ran.out, HasSubstr("  trip/photo.raw\n"));
    EXPECT_THAT(ran.out, HasSubstr("succeeded"));
    EXPECT_THAT(ran.out, HasSubstr("\"count\": 2"));
    EXPECT_THAT(ran.out, HasSubstr("notes.txt"));
    EXPECT_THAT(ran.out, HasSubstr("Restore complete"));
    EXPECT_THAT(ran.out, HasSubstr("identical\n"));
    EXPECT_THAT(ran.out, HasSubstr("1 same, 1 changed, 0 missing from the vault"));
    EXPECT_THAT(ran.out, HasSubstr("exit 3: differences"));
}

}  // namespace
}  // namespace quillon::testing
