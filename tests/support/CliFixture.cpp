// The command-line test fixture. Used from the test's own thread only.
#include "support/CliFixture.h"

#include "support/BuildPaths.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace quillon::testing {

CliFixture::CliFixture(Simulator::Options options)
    : simulator_(std::make_unique<Simulator>(std::move(options))),
      sim(*simulator_),
      cli(temp.path() + "/app") {
    std::filesystem::create_directories(temp.path() + "/app");
    cli.setEnv("HOME", temp.path());
    cli.setTimeout(std::chrono::seconds(60));
}

void CliFixture::writeRegions(RegionHosts regions, const CliRunner* runner) {
    if (regions.empty()) {
        regions = {{"local-1", sim.baseURL()}};
    }
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [id, host] : regions) {
        document[id] = {{"name", id}, {"host", host}};
    }
    const std::string& home = (runner ? *runner : cli).home();
    std::filesystem::create_directories(home);
    std::ofstream(home + "/Regions.json", std::ios::trunc) << document.dump();
}

void CliFixture::addAccount(const std::string& name, const std::string& secret, RegionHosts regions,
                            const CliRunner* runner) {
    if (regions.empty()) {
        regions = {{"local-1", sim.baseURL()}};
    }
    writeRegions(regions, runner);
    std::vector<std::string> args = {"account",      "add",           name,
                                     "--access-key", sim.accessKey(), "--secret-stdin"};
    for (const auto& region : regions) {
        args.insert(args.end(), {"--region", region.first});
    }
    CliResult added =
        (runner ? *runner : cli).run(args, (secret.empty() ? sim.secretKey() : secret) + "\n");
    ASSERT_EQ(added.exitCode, 0) << added.err;
}

CliResult CliFixture::runOK(const std::vector<std::string>& args, const std::string& input) {
    CliResult result = cli.run(args, input);
    EXPECT_EQ(result.exitCode, 0) << ::testing::PrintToString(args) << ": " << result.err;
    return result;
}

CliResult CliFixture::runFails(const std::vector<std::string>& args, int exitCode,
                               const std::string& says, const std::string& input) {
    CliResult result = cli.run(args, input);
    EXPECT_EQ(result.exitCode, exitCode) << ::testing::PrintToString(args) << ": " << result.err;
    EXPECT_FALSE(result.err.empty()) << ::testing::PrintToString(args);
    EXPECT_THAT(result.err, HasSubstr(says));
    return result;
}

CliFixture::TerminalRun CliFixture::runOnTerminal(const std::vector<std::string>& args,
                                                  const std::string& typed) {
    std::string command =
        "stty cols 80 rows 24; exec '" + cliProgram() + "' --home '" + cli.home() + "'";
    for (const std::string& arg : args) {
        command += " '" + arg + "'";
    }
    CliRunner terminal(cli.home(), "/usr/bin/script");
    CliResult shown = terminal.runWithoutHome({"-qec", command, "/dev/null"}, typed);
    TerminalRun run;
    run.exitCode = shown.exitCode;
    std::string line;
    for (char c : shown.out + "\n") {
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        for (std::size_t at; (at = line.find("\033[K")) != std::string::npos;) {
            line.erase(at, 3);
        }
        if (!line.empty()) {
            run.lines.push_back(line);
        }
        line.clear();
    }
    return run;
}

nlohmann::json CliFixture::runJSON(std::vector<std::string> args, const std::string& input) {
    args.insert(args.begin(), "--json");
    return nlohmann::json::parse(runOK(args, input).out, nullptr, false);
}

void CliFixture::setPrefs(const std::vector<std::pair<std::string, std::string>>& prefs) {
    for (const auto& [key, value] : prefs) {
        runOK({"prefs", "set", key, value});
    }
}

std::string CliFixture::accountDirectory() const {
    const std::string test = temp.path() + "/app/Test-Account_1";
    return std::filesystem::exists(test) ? test : temp.path() + "/app/Account_1";
}

namespace {

bool aPartIsNoted(const std::string& directory) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(directory, error), end;
         !error && it != end; it.increment(error)) {
        const std::string path = it->path().string();
        if (path.size() > 9 && path.compare(path.size() - 9, 9, ".part.job") == 0) {
            std::ifstream note(path);
            int lines = 0;
            for (std::string line; std::getline(note, line);) {
                ++lines;
            }
            if (lines >= 2) {  // the job's id, then one line per part
                return true;
            }
        }
    }
    return false;
}

}  // namespace

bool CliFixture::waitForANotedPart(const std::string& directory) {
    for (int look = 0; look < 6000; ++look) {
        if (aPartIsNoted(directory)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

CliResult CliFixture::runRedirected(const std::string& args, const std::string& redirect) {
    CliRunner shell(cli.home(), "/bin/sh");
    shell.setEnv("HOME", temp.path());
    return shell.runWithoutHome({"-c", std::string("exec \"") + cliProgram() + "\" --home '" +
                                           cli.home() + "' " + args + " " + redirect});
}

int CliFixture::occurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace quillon::testing
