// The command-line test fixture. Used from the test's own thread only.
#include "support/CliFixture.h"

#include <filesystem>
#include <fstream>

namespace quillon::testing {

CliFixture::CliFixture(Simulator::Options options)
    : simulator_(std::make_unique<Simulator>(std::move(options))),
      sim(*simulator_),
      cli(temp.path() + "/app") {
    std::filesystem::create_directories(temp.path() + "/app");
    cli.setEnv("HOME", temp.path());
    cli.setTimeout(std::chrono::seconds(60));
}

void CliFixture::addAccount(const std::string& name, const std::string& secret,
                            RegionHosts regions) {
    if (regions.empty()) {
        regions = {{"local-1", sim.baseURL()}};
    }
    nlohmann::json document = nlohmann::json::object();
    std::vector<std::string> args = {"account",      "add",           name,
                                     "--access-key", sim.accessKey(), "--secret-stdin"};
    for (const auto& [id, host] : regions) {
        document[id] = {{"name", id}, {"host", host}};
        args.insert(args.end(), {"--region", id});
    }
    std::ofstream(temp.path() + "/app/Regions.json") << document.dump();
    CliResult added = cli.run(args, (secret.empty() ? sim.secretKey() : secret) + "\n");
    ASSERT_EQ(added.exitCode, 0) << added.err;
}

nlohmann::json CliFixture::runJSON(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    CliResult result = cli.run(args);
    EXPECT_EQ(result.exitCode, 0) << args[1] << ": " << result.err;
    return nlohmann::json::parse(result.out, nullptr, false);
}

void CliFixture::waitForJob(const std::string& jobId, const std::string& vault) {
    CliResult waited =
        cli.run({"job", "wait", jobId, "--vault", vault, "--interval", "0.1", "--timeout", "30"});
    EXPECT_EQ(waited.exitCode, 0) << waited.err;
}

std::string CliFixture::accountDirectory() const {
    const std::string test = temp.path() + "/app/Test-Account_1";
    return std::filesystem::exists(test) ? test : temp.path() + "/app/Account_1";
}

}  // namespace quillon::testing
