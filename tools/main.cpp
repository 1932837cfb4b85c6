// quillon-sim: the simulator's entry point; parses the options, listens and serves until a signal.
// Threads: the main thread serves; one waiter thread takes SIGINT/SIGTERM (blocked for all
//   others) and stops the server.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "foundation/BuildInfo.h"
#include "sim/Router.h"
#include "sim/SimConfig.h"

namespace {

// "quillon-sim 1.0.100 (build 100)", as quillon gives its own.
std::string versionText() {
    using quillon::BuildInfo;
    return "quillon-sim " + BuildInfo::bundleVersion() + " (build " +
           std::to_string(BuildInfo::schemaVersion(BuildInfo::bundleVersion())) + ")";
}

}  // namespace

int main(int argc, char** argv) {
    using quillon::sim::SimConfig;
    SimConfig config;
    CLI::App app{"A local Glacier-compatible service on 127.0.0.1.", "quillon-sim"};
    app.footer(
        "Default keys: access key " + std::string(SimConfig::kDefaultAccessKey) + ", secret key " +
        SimConfig::kDefaultSecretKey + ", account id " + SimConfig::kDefaultAccountId +
        ".\n"
        "Regions: host glacier.<id>.localhost is region <id>; any other host is us-east-1.\n"
        "Time: with --job-delay every job completes after that many real seconds. Without it "
        "the service runs on its own clock: jobs complete by tier (Expedited 1-5 minutes, "
        "Standard 3-5 hours, Bulk 5-12 hours), job output stays 24 hours, vaults written since "
        "their last inventory are inventoried at midnight UTC, and the data retrieval policy "
        "applies.\n"
        "Control endpoint (unsigned): GET/DELETE /_sim/log, GET/POST/DELETE /_sim/faults, "
        "POST /_sim/seed, GET /_sim/clock, POST /_sim/clock {\"advanceSeconds\": N}.");
    app.add_option("--port", config.port, "The port to listen on; 0 takes a free one")
        ->type_name("N")
        ->check(CLI::Range(0, 65535));
    auto* access = app.add_option("--access-key", config.accessKey, "The accepted access key")
                       ->type_name("KEY");
    auto* secret = app.add_option("--secret-key", config.secretKey, "The secret of that key")
                       ->type_name("SECRET");
    access->needs(secret);
    secret->needs(access);
    app.add_option("--account-id", config.accountId, "The account id in ARNs")->type_name("ID");
    app.add_option("--data", config.dataDir, "Keep archive bodies in files in this directory")
        ->type_name("DIR")
        ->check(CLI::ExistingDirectory);
    app.add_option(
           "--job-delay", config.jobDelaySeconds,
           "Complete every job this many real seconds after it starts (no clock of its own)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--region", config.region,
                   "Serve this one region whatever the host: requests must be signed for it")
        ->type_name("ID")
        ->check([](const std::string& id) {
            bool ok =
                !id.empty() && id.size() <= 64 &&
                id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos;
            return ok ? std::string() : "a region id is lower-case letters, digits and hyphens";
        });
    app.add_option("--delete-rate", config.deleteRate,
                   "Archive deletions per second before ThrottlingException (default: no limit)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    app.add_option("--free-tier-bytes-per-day", config.freeTierBytesPerDay,
                   "The FreeTier retrieval policy's daily allowance (default: 10 GiB / 30)")
        ->type_name("BYTES");
    app.set_version_flag("--version", versionText(), "Print the version and build number");
    CLI11_PARSE(app, argc, argv);

    // Signals are taken by one waiting thread; the server threads never see them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // A parent may have left them ignored, which would hide them from sigwait.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    quillon::sim::Router router(config);
    int port = router.bind();
    if (port < 0) {
        std::fprintf(stderr, "quillon-sim: cannot listen on 127.0.0.1:%d\n", config.port);
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%d/\n", port);
    std::fflush(stdout);

    std::thread waiter([&] {
        int received = 0;
        sigwait(&signals, &received);
        router.stop();
    });
    router.serve();
    waiter.join();
    std::fflush(stdout);
    return 0;
}
