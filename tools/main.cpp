// quillon-sim: the simulator's entry point; parses the options, listens and serves until a signal.
// Threads: the main thread serves; one waiter thread takes SIGINT/SIGTERM (blocked for all
//   others) and stops the server.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "sim/Router.h"
#include "sim/SimConfig.h"

int main(int argc, char** argv) {
    using quillon::sim::SimConfig;
    SimConfig config;
    CLI::App app{
        "quillon-sim: a local Glacier-compatible service on 127.0.0.1.\n"
        "Default keys: access key " +
        std::string(SimConfig::kDefaultAccessKey) + ", secret key " + SimConfig::kDefaultSecretKey +
        ", account id " + SimConfig::kDefaultAccountId +
        ".\n"
        "Regions: host glacier.<id>.localhost is region <id>; any other host is us-east-1.\n"
        "Control endpoint (unsigned): GET/DELETE /_sim/log, GET/POST/DELETE /_sim/faults, "
        "POST /_sim/seed."};
    app.add_option("--port", config.port, "port to listen on; 0 takes a free one")
        ->check(CLI::Range(0, 65535));
    auto* access = app.add_option("--access-key", config.accessKey, "the accepted access key");
    auto* secret = app.add_option("--secret-key", config.secretKey, "the secret of that key");
    access->needs(secret);
    secret->needs(access);
    app.add_option("--account-id", config.accountId, "the account id in ARNs");
    app.add_option("--data", config.dataDir, "keep archive bodies in files in this directory")
        ->check(CLI::ExistingDirectory);
    app.add_option("--job-delay", config.jobDelaySeconds, "seconds until a job completes")
        ->check(CLI::NonNegativeNumber);
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
