// Time to sync a region of 1,000 vaults from quillon-sim: 100 list pages of the service's default
// size, then one transaction that stores them. "First" starts from an empty local list each
// time (positions numbered by name); "Again" syncs a list already stored.
//
//   VaultSync --sim=/path/to/quillon-sim [benchmark flags]
// or with QUILLON_SIM set to the simulator's path.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>

#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/Regions.h"
#include "support/BenchSimulator.h"
#include "vaults/VaultCache.h"
#include "vaults/Vaults.h"

namespace {

constexpr int kVaults = 1000;

using quillon::bench::kAccessKey;
using quillon::bench::kSecretKey;

quillon::bench::BenchSimulator* simulator = nullptr;
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
            {.method = "PUT",
             .path = quillon::ApiPath::account().vault("bench-" + std::to_string(i))},
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
    auto arguments = quillon::bench::BenchArguments::parse(argc, argv);
    if (!arguments.requireSimulator()) {
        return 2;
    }
    int restCount = static_cast<int>(arguments.rest.size());
    benchmark::Initialize(&restCount, arguments.rest.data());
    char pattern[] = "/tmp/quillon-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    std::string home = pattern;
    {
        quillon::bench::BenchSimulator process(arguments.simulator);
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
