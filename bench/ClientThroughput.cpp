// Requests per second of small signed GETs (list vaults, limit 1) against quillon-sim, with one
// worker and with four.
//
//   ClientThroughput --sim=/path/to/quillon-sim [benchmark flags]
// or with QUILLON_SIM set to the simulator's path.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interfaces/http/GlacierManager.h"
#include "support/BenchSimulator.h"

namespace {

constexpr int kRequestsPerIteration = 200;

using quillon::bench::kAccessKey;
using quillon::bench::kSecretKey;

quillon::bench::BenchSimulator* simulator = nullptr;

void ListVaults(benchmark::State& state) {
    quillon::GlacierManager manager;
    manager.operationQueue().setMaxConcurrentOperationCount(static_cast<int>(state.range(0)));
    auto& serializer = manager.requestSerializer();
    std::atomic<int> failures{0};
    for (auto _ : state) {
        for (int i = 0; i < kRequestsPerIteration; ++i) {
            auto request = serializer.prepareGlacierRequest(
                serializer.requestWithMethod("GET", simulator->baseURL() + "-/vaults",
                                             quillon::JSON::Value{{"limit", 1}}),
                "127.0.0.1", kAccessKey, kSecretKey, std::chrono::system_clock::now());
            manager.operationQueue().addOperation(manager.HTTPRequestOperationWithRequest(
                std::move(request), nullptr,
                [&failures](const quillon::RequestOperation::Ptr&, const quillon::Error&) {
                    ++failures;
                }));
        }
        manager.operationQueue().waitUntilAllOperationsAreFinished();
    }
    if (failures > 0) {
        state.SkipWithError("some requests failed");
    }
    state.SetItemsProcessed(state.iterations() * kRequestsPerIteration);
}
BENCHMARK(ListVaults)
    ->Arg(1)
    ->Arg(4)
    ->ArgName("workers")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    auto arguments = quillon::bench::BenchArguments::parse(argc, argv);
    if (!arguments.requireSimulator()) {
        return 2;
    }
    quillon::bench::BenchSimulator process(arguments.simulator);
    simulator = &process;
    int restCount = static_cast<int>(arguments.rest.size());
    benchmark::Initialize(&restCount, arguments.rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
