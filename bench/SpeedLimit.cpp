// The total upload and download speed limits against quillon-sim: 8 MiB sent as 1 MiB parts by
// 4 workers while the process-wide limit is 2048 KiB/s, and the same 8 MiB fetched back as 4
// ranged parts at once under the same download limit. Each should take the 4 s the limit implies;
// the program prints the measured time and its distance from that, which should stay within 25%.
//
//   SpeedLimit --sim=/path/to/quillon-sim [benchmark flags]
// or with QUILLON_SIM set to the simulator's path.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/RateLimiter.h"
#include "support/BenchSimulator.h"

namespace {

constexpr std::int64_t kMiB = 1048576;
constexpr std::int64_t kSize = 8 * kMiB;
constexpr std::int64_t kLimit = 2048 * 1024;  // bytes per second
constexpr int kWorkers = 4;

using quillon::bench::kAccessKey;
using quillon::bench::kSecretKey;

quillon::bench::BenchSimulator* simulator = nullptr;
std::string content;
std::string archiveId;
double uploadSeconds = 0;
double downloadSeconds = 0;

quillon::URLRequest signedRequest(quillon::GlacierManager& manager, quillon::URLRequest request) {
    return manager.requestSerializer().prepareGlacierRequest(
        std::move(request), "127.0.0.1", kAccessKey, kSecretKey, std::chrono::system_clock::now());
}

// Runs the requests on the manager's workers; the number that failed.
int runAll(quillon::GlacierManager& manager, std::vector<quillon::URLRequest> requests) {
    std::atomic<int> failures{0};
    for (auto& request : requests) {
        manager.operationQueue().addOperation(manager.HTTPRequestOperationWithRequest(
            signedRequest(manager, std::move(request)), nullptr,
            [&failures](const quillon::RequestOperation::Ptr&, const quillon::Error&) {
                ++failures;
            }));
    }
    manager.operationQueue().waitUntilAllOperationsAreFinished();
    return failures.load();
}

void LimitedUpload(benchmark::State& state) {
    quillon::GlacierManager manager;
    manager.operationQueue().setMaxConcurrentOperationCount(kWorkers);
    const std::string base = simulator->baseURL() + "-/vaults/bench/multipart-uploads";
    for (auto _ : state) {
        quillon::URLRequest initiate = manager.requestSerializer().requestWithMethod("POST", base);
        initiate.setValue(std::to_string(kMiB), "x-amz-part-size");
        std::string uploadURL;
        auto operation = manager.HTTPRequestOperationWithRequest(
            signedRequest(manager, initiate),
            [&](const quillon::RequestOperation::Ptr& op, const quillon::JSON&) {
                uploadURL = base + "/" + op->response().headers.at("x-amz-multipart-upload-id");
            },
            nullptr);
        operation->start();
        std::vector<quillon::URLRequest> parts;
        for (std::int64_t from = 0; from < kSize; from += kMiB) {
            const std::string window = content.substr(from, kMiB);
            quillon::URLRequest part =
                manager.requestSerializer().requestWithMethod("PUT", uploadURL);
            part.setValue(quillon::TreeHash::treeHashOfBuffer(window), "x-amz-sha256-tree-hash");
            part.setValue(quillon::TreeHash::sha256Hex(window), "x-amz-content-sha256");
            part.setValue(
                "bytes " + std::to_string(from) + "-" + std::to_string(from + kMiB - 1) + "/*",
                "Content-Range");
            part.setBody(window);
            parts.push_back(std::move(part));
        }
        quillon::RateLimiter::uploads().setRate(kLimit);
        const auto started = std::chrono::steady_clock::now();
        const int failures = runAll(manager, std::move(parts));
        uploadSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        quillon::RateLimiter::uploads().setRate(0);
        if (failures > 0) {
            state.SkipWithError("a part failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}

void LimitedDownload(benchmark::State& state) {
    quillon::GlacierManager manager;
    manager.operationQueue().setMaxConcurrentOperationCount(kWorkers);
    auto& serializer = manager.requestSerializer();
    for (auto _ : state) {
        std::string jobURL;
        auto start = manager.HTTPRequestOperationWithRequest(
            signedRequest(manager,
                          serializer.requestWithMethod(
                              "POST", simulator->baseURL() + "-/vaults/bench/jobs",
                              quillon::JSON(quillon::JSON::Value{{"Type", "archive-retrieval"},
                                                                 {"ArchiveId", archiveId}}))),
            [&](const quillon::RequestOperation::Ptr& op, const quillon::JSON&) {
                jobURL = simulator->baseURL() + "-/vaults/bench/jobs/" +
                         op->response().headers.at("x-amz-job-id") + "/output";
            },
            nullptr);
        start->start();
        std::vector<quillon::URLRequest> ranges;
        const std::int64_t rangeSize = kSize / kWorkers;
        for (std::int64_t from = 0; from < kSize; from += rangeSize) {
            quillon::URLRequest range = serializer.requestWithMethod("GET", jobURL);
            range.setValue(
                "bytes=" + std::to_string(from) + "-" + std::to_string(from + rangeSize - 1),
                "Range");
            ranges.push_back(std::move(range));
        }
        quillon::RateLimiter::downloads().setRate(kLimit);
        const auto started = std::chrono::steady_clock::now();
        const int failures = runAll(manager, std::move(ranges));
        downloadSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        quillon::RateLimiter::downloads().setRate(0);
        if (jobURL.empty() || failures > 0) {
            state.SkipWithError("the retrieval failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}

BENCHMARK(LimitedUpload)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(LimitedDownload)->UseRealTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    auto arguments = quillon::bench::BenchArguments::parse(argc, argv);
    if (!arguments.requireSimulator()) {
        return 2;
    }
    content.resize(kSize);
    for (std::int64_t i = 0; i < kSize; ++i) {
        content[i] = static_cast<char>((i * 31 + 7) % 256);
    }
    quillon::bench::BenchSimulator process(arguments.simulator, {"--job-delay", "0"});
    simulator = &process;
    {
        quillon::GlacierManager manager;
        auto& serializer = manager.requestSerializer();
        manager
            .HTTPRequestOperationWithRequest(
                signedRequest(manager, serializer.requestWithMethod(
                                           "PUT", simulator->baseURL() + "-/vaults/bench")),
                nullptr, nullptr)
            ->start();
        quillon::URLRequest upload =
            serializer.requestWithMethod("POST", simulator->baseURL() + "-/vaults/bench/archives");
        upload.setValue(quillon::TreeHash::treeHashOfBuffer(content), "x-amz-sha256-tree-hash");
        upload.setValue(quillon::TreeHash::sha256Hex(content), "x-amz-content-sha256");
        upload.setBody(content);
        manager
            .HTTPRequestOperationWithRequest(
                signedRequest(manager, upload),
                [](const quillon::RequestOperation::Ptr& op, const quillon::JSON&) {
                    archiveId = op->response().headers.at("x-amz-archive-id");
                },
                nullptr)
            ->start();
    }
    int restCount = static_cast<int>(arguments.rest.size());
    benchmark::Initialize(&restCount, arguments.rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double implied = static_cast<double>(kSize) / static_cast<double>(kLimit);
    for (auto [what, seconds] :
         {std::pair{"upload", uploadSeconds}, std::pair{"download", downloadSeconds}}) {
        std::printf("%s of 8 MiB at 2048 KiB/s: %.2f s, implied %.2f s, off by %+.1f%%\n", what,
                    seconds, implied, 100.0 * (seconds - implied) / implied);
    }
    return 0;
}
