// A test fixture for the command line: a temporary application directory, a simulator of its
// own, and an account added through `quillon account add` in custom regions that reach that
// simulator. Used from the test's own thread only.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "foundation/FileHelpers.h"
#include "support/CliRunner.h"
#include "support/Simulator.h"
#include "support/TempDir.h"

namespace quillon::testing {

using ::testing::HasSubstr;
using ::testing::Not;

class CliFixture : public ::testing::Test {
  protected:
    using RegionHosts = std::vector<std::pair<std::string, std::string>>;  // id, host

    explicit CliFixture(Simulator::Options options = {});

    // Writes Regions.json with `regions` (default: "local-1" at the simulator's base URL) into
    // the application directory of `runner` (default: cli's), creating it when needed.
    void writeRegions(RegionHosts regions = {}, const CliRunner* runner = nullptr);
    // Writes Regions.json as writeRegions does, then runs `account add NAME --secret-stdin` in
    // those regions with `secret` (default: the simulator's). Fails the test when the command
    // fails.
    void addAccount(const std::string& name = "test", const std::string& secret = "",
                    RegionHosts regions = {}, const CliRunner* runner = nullptr);
    // Runs `quillon args...` feeding `input`, and expects exit 0.
    CliResult runOK(const std::vector<std::string>& args, const std::string& input = "");
    // Runs `quillon args...` feeding `input`, expects `exitCode` and a standard error that is
    // not empty and holds `says`.
    CliResult runFails(const std::vector<std::string>& args, int exitCode,
                       const std::string& says = "", const std::string& input = "");
    // Runs `quillon --json args...` feeding `input`, expects exit 0 and answers the parsed
    // output (discarded when it is not JSON).
    nlohmann::json runJSON(std::vector<std::string> args, const std::string& input = "");
    // `prefs set KEY VALUE` for each pair; expects success.
    void setPrefs(const std::vector<std::pair<std::string, std::string>>& prefs);
    // `job wait JOB --vault VAULT` with a short interval; expects success.
    void waitForJob(const std::string& jobId, const std::string& vault = "photos") {
        runOK({"job", "wait", jobId, "--vault", vault, "--interval", "0.1", "--timeout", "30"});
    }
    // Runs `quillon --home HOME ARGS` from a shell that first applies `redirect` (for example
    // ">/dev/full" or ">&-").
    CliResult runRedirected(const std::string& args, const std::string& redirect);
    // Runs `quillon args...` on a pseudo-terminal of 80 columns (script(1) sets it up before
    // the program starts), typing `typed` there: its exit status and every line it drew (the
    // typing echoed), each redrawing apart, without the erase-to-end-of-line sequences.
    struct TerminalRun {
        int exitCode = -1;
        std::vector<std::string> lines;

        std::vector<std::string> linesWith(const std::string& text) const {
            std::vector<std::string> found;
            for (const std::string& line : lines) {
                if (line.find(text) != std::string::npos) {
                    found.push_back(line);
                }
            }
            return found;
        }
    };
    TerminalRun runOnTerminal(const std::vector<std::string>& args, const std::string& typed = "");
    // The directory of account 1 (the program names its files for tests when UNITTEST is set in
    // its environment).
    std::string accountDirectory() const;
    // Ends the simulator; later commands meet a service that is down.
    void stopSimulator() { simulator_.reset(); }

    // The whole content of a file ("" when it cannot be read), and how often `needle` occurs
    // in `text`.
    static std::string contents(const std::string& path) {
        return FileHelpers::readFile(path).value_or("");
    }
    static int occurrences(const std::string& text, const std::string& needle);
    // Waits (boundedly) until a download under `directory` has noted a checked part beside its
    // .part file; answers whether one did. A part is noted on the writer's thread after its
    // answer has ended, so a kill that must keep a part waits for this first.
    static bool waitForANotedPart(const std::string& directory);

    TempDir temp;

  private:
    std::unique_ptr<Simulator> simulator_;

  protected:
    Simulator& sim;
    CliRunner cli;
};

}  // namespace quillon::testing
