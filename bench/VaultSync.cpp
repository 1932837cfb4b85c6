// Time to sync a region of 1,000 vaults from quillon-sim: 100 list pages of the service's default
// size, then one transaction that stores them. "First" starts from an empty local list each
// time (positions numbered by name); "Again" syncs a list already stored.
//
//   VaultSync --sim=/path/to/quillon-sim [benchmark flags]
// or with QUILLON_SIM set to the simulator's path.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/Regions.h"
#include "vaults/VaultCache.h"
#include "vaults/Vaults.h"

namespace {

constexpr const char* kAccessKey = "AKIDEXAMPLE";
constexpr const char* kSecretKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
constexpr int kVaults = 1000;

// The simulator process, started on a free port and stopped at exit.
class SimulatorProcess {
  public:
    explicit SimulatorProcess(const std::string& path) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
            ::execl(path.c_str(), path.c_str(), "--port", "0", "--access-key", kAccessKey,
                    "--secret-key", kSecretKey, static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(pipeFds[1]);
        std::string line;
        char c = 0;
        while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        ::close(pipeFds[0]);
        const std::string prefix = "listening on http://127.0.0.1:";
        if (line.rfind(prefix, 0) != 0) {
            stop();
            throw std::runtime_error("quillon-sim did not start: " + line);
        }
        port_ = std::stoi(line.substr(prefix.size()));
    }
    ~SimulatorProcess() { stop(); }

    int port() const { return port_; }

  private:
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

SimulatorProcess* simulator = nullptr;
quillon::AccountRegionPtr accountRegion;

void waitFor(std::future<quillon::ErrorPtr> future) {
    if (future.wait_for(std::chrono::seconds(300)) != std::future_status::ready) {
        throw std::runtime_error("no answer from quillon-sim");
    }
    if (quillon::ErrorPtr error = future.get()) {
        throw std::runtime_error(error->localizedDescription());
    }
}

void syncOnce() {
    auto promise = std::make_shared<std::promise<quillon::ErrorPtr>>();
    auto future = promise->get_future();
    accountRegion->vaults().sync([promise](quillon::ErrorPtr error) { promise->set_value(error); });
    waitFor(std::move(future));
}

// One account with one region of the simulator that holds kVaults empty vaults.
void prepare(const std::string& home) {
    setenv("QUILLON_HOME", home.c_str(), 1);
    setenv("UNITTEST", "1", 1);
    auto region = std::make_shared<quillon::Region>(
        "bench-1", "Bench",
        "http://glacier.bench-1.localhost:" + std::to_string(simulator->port()) + "/", false);
    quillon::Regions::testRegions()["bench-1"] = region;
    auto account = quillon::Account::create();
    account->name = "bench";
    account->accessKey = kAccessKey;
    account->setSecret(kSecretKey);
    account->activeRegions = {region};
    account->save(true);
    accountRegion = account->accountRegion("bench-1");
    for (int i = 0; i < kVaults; ++i) {
        auto promise = std::make_shared<std::promise<quillon::ErrorPtr>>();
        auto future = promise->get_future();
        accountRegion->apiPerformRequest(
            "PUT", "/-/vaults/bench-" + std::to_string(i), std::nullopt, {}, "", true,
            [promise](quillon::ErrorPtr error, auto) { promise->set_value(error); });
        waitFor(std::move(future));
    }
}

void VaultSyncFirst(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        accountRegion->db().inDatabase([](quillon::Database& db) {
            db.executeUpdate("DELETE FROM vaults");
            db.executeUpdate("DELETE FROM vaults_fetch");
        });
        quillon::VaultCache::shared().clear();
        state.ResumeTiming();
        syncOnce();
    }
    state.counters["vaults"] = accountRegion->vaults().count();
}
BENCHMARK(VaultSyncFirst)->Unit(benchmark::kMillisecond)->UseRealTime();

void VaultSyncAgain(benchmark::State& state) {
    syncOnce();
    for (auto _ : state) {
        syncOnce();
    }
    state.counters["vaults"] = accountRegion->vaults().count();
}
BENCHMARK(VaultSyncAgain)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::string simPath = std::getenv("QUILLON_SIM") ? std::getenv("QUILLON_SIM") : "";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--sim=", 6) == 0) {
            simPath = argv[i] + 6;
        }
    }
    if (simPath.empty()) {
        std::fprintf(stderr, "usage: VaultSync --sim=PATH (or QUILLON_SIM=PATH)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    char pattern[] = "/tmp/quillon-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    std::string home = pattern;
    {
        SimulatorProcess process(simPath);
        simulator = &process;
        prepare(home);
        benchmark::RunSpecifiedBenchmarks();
        accountRegion.reset();
        quillon::Accounts::cache().clear();
        simulator = nullptr;
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    benchmark::Shutdown();
    return 0;
}
