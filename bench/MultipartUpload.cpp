// A 1 GiB multipart upload in 8 MiB parts with 4 parts in flight against quillon-sim, streamed
// from the file, against `curl` sending the same bytes in one signed request. Reports the
// throughput of both and the peak resident memory of this process after the upload. The same
// upload runs again while about 2% of the part requests fail (a 503, a throttling answer and a
// dropped connection per upload, with the request frame's real backoff): it reports the retries
// and, at the end, its throughput as a share of the fault-free one measured in this process.
//
//   MultipartUpload --sim=/path/to/quillon-sim [--file=PATH] [benchmark flags]
// or with QUILLON_SIM set to the simulator's path.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "foundation/FileHelpers.h"
#include "interfaces/files/TreeHash.h"
#include "interfaces/http/GlacierManager.h"
#include "interfaces/http/HttpTrace.h"
#include "support/BenchSimulator.h"
#include "transfers/PartWindow.h"

namespace {

constexpr std::int64_t kMiB = 1048576;
constexpr std::int64_t kFileSize = 1024 * kMiB;
constexpr std::int64_t kPartSize = 8 * kMiB;
constexpr int kInFlight = 4;

using quillon::bench::kAccessKey;
using quillon::bench::kSecretKey;

quillon::bench::BenchSimulator* simulator = nullptr;
std::string filePath;
std::string wholeTreeHash;
std::string wholeSha256;

// Runs one signed request to completion; the response headers, or none on failure.
std::optional<quillon::HeaderMap> perform(quillon::GlacierManager& manager,
                                          quillon::URLRequest request) {
    auto& serializer = manager.requestSerializer();
    request = serializer.prepareGlacierRequest(std::move(request), "127.0.0.1", kAccessKey,
                                               kSecretKey, std::chrono::system_clock::now());
    std::optional<quillon::HeaderMap> headers;
    auto operation = manager.HTTPRequestOperationWithRequest(
        std::move(request),
        [&headers](const quillon::RequestOperation::Ptr& op, const quillon::JSON&) {
            headers = op->response().headers;
        },
        nullptr);
    operation->start();
    return headers;
}

// Arms the simulator's faults (an array of descriptions) through its control endpoint.
bool armFaults(quillon::GlacierManager& manager, const std::string& faults) {
    quillon::URLRequest request("POST", simulator->baseURL() + "_sim/faults");
    request.setValue("application/json", "Content-Type");
    request.setBody(faults);
    bool armed = false;
    auto operation = manager.HTTPRequestOperationWithRequest(
        std::move(request),
        [&armed](const quillon::RequestOperation::Ptr&, const quillon::JSON&) { armed = true; },
        nullptr);
    operation->start();
    return armed;
}

// The fault of three part requests out of the 128 of one upload.
constexpr const char* kPartFaults =
    R"([{"method":"PUT","path":"/multipart-uploads/","status":503,)"
    R"("code":"ServiceUnavailableException"},)"
    R"({"method":"PUT","path":"/multipart-uploads/","status":400,"code":"ThrottlingException"},)"
    R"({"method":"PUT","path":"/multipart-uploads/","kind":"drop"}])";

// Seconds of the fastest upload of each kind, for the closing comparison.
double fastestFaultFree = 0;
double fastestFaulty = 0;

// One whole multipart upload; false when it did not complete.
bool uploadOnce(quillon::GlacierManager& manager) {
    auto& serializer = manager.requestSerializer();
    const std::string base = simulator->baseURL() + "-/vaults/bench/multipart-uploads";
    quillon::URLRequest initiate = serializer.requestWithMethod("POST", base);
    initiate.setValue(std::to_string(kPartSize), "x-amz-part-size");
    auto started = perform(manager, initiate);
    if (!started || !started->count("x-amz-multipart-upload-id")) {
        return false;
    }
    const std::string uploadURL = base + "/" + started->at("x-amz-multipart-upload-id");
    std::atomic<int> failures{0};
    quillon::PartWindow window(kInFlight);
    std::vector<quillon::Sha256Digest> chunks;
    for (std::int64_t from = 0; from < kFileSize; from += kPartSize) {
        const std::int64_t to = std::min(kFileSize, from + kPartSize) - 1;
        quillon::TreeHash::Options range;
        range.offset = from;
        range.length = to - from + 1;
        range.threads = 1;  // the other core sends
        auto digests = quillon::TreeHash::hashFile(filePath, range);
        chunks.insert(chunks.end(), digests->chunks.begin(), digests->chunks.end());
        window.acquire();
        quillon::URLRequest part = serializer.requestWithMethod("PUT", uploadURL);
        part.setValue(quillon::TreeHash::treeHash(digests->chunks), "x-amz-sha256-tree-hash");
        part.setValue(digests->sha256, "x-amz-content-sha256");
        part.setValue(std::to_string(to - from + 1), "Content-Length");
        part.setValue("bytes " + std::to_string(from) + "-" + std::to_string(to) + "/*",
                      "Content-Range");
        part.setBodyFileWindow({filePath, static_cast<std::uint64_t>(from),
                                static_cast<std::uint64_t>(to - from + 1)});
        part = serializer.prepareGlacierRequest(std::move(part), "127.0.0.1", kAccessKey,
                                                kSecretKey, std::chrono::system_clock::now());
        // A failed part is counted, not fatal: the window stays open for the others.
        auto operation = manager.HTTPRequestOperationWithRequest(
            std::move(part),
            [&window](const quillon::RequestOperation::Ptr&, const quillon::JSON&) {
                window.release();
            },
            [&failures, &window](const quillon::RequestOperation::Ptr&, const quillon::Error&) {
                ++failures;
                window.release();
            });
        window.track(operation);
        manager.operationQueue().addOperation(operation);
    }
    window.wait();
    quillon::URLRequest complete = serializer.requestWithMethod("POST", uploadURL);
    complete.setValue(std::to_string(kFileSize), "x-amz-archive-size");
    complete.setValue(quillon::TreeHash::treeHash(chunks), "x-amz-sha256-tree-hash");
    return failures == 0 && perform(manager, complete).has_value();
}

void runUploads(benchmark::State& state, bool faulty) {
    quillon::GlacierManager manager;
    manager.operationQueue().setMaxConcurrentOperationCount(kInFlight);
    const auto retriesBefore = quillon::HttpCounters::retries.load();
    double& fastest = faulty ? fastestFaulty : fastestFaultFree;
    for (auto _ : state) {
        if (faulty && !armFaults(manager, kPartFaults)) {
            state.SkipWithError("the simulator refused the faults");
            return;
        }
        const auto started = std::chrono::steady_clock::now();
        if (!uploadOnce(manager)) {
            state.SkipWithError("a part or the completion failed");
            return;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        fastest = fastest == 0 ? seconds : std::min(fastest, seconds);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["retries_per_upload"] =
        static_cast<double>(quillon::HttpCounters::retries.load() - retriesBefore) /
        static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void MultipartUpload8MiB(benchmark::State& state) {
    runUploads(state, false);
}

void MultipartUpload8MiBWith2PercentFaults(benchmark::State& state) {
    runUploads(state, true);
}

void CurlOneRequest(benchmark::State& state) {
    const std::string command =
        "curl -s -f -o /dev/null --aws-sigv4 'aws:amz:us-east-1:glacier' --user '" +
        std::string(kAccessKey) + ":" + kSecretKey +
        "' -H 'x-amz-glacier-version: 2012-06-01' -H 'x-amz-sha256-tree-hash: " + wholeTreeHash +
        "' -H 'x-amz-content-sha256: " + wholeSha256 + "' -H 'Content-Type:' -T '" + filePath +
        "' -X POST '" + simulator->baseURL() + "-/vaults/bench/archives'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

BENCHMARK(MultipartUpload8MiB)->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(MultipartUpload8MiBWith2PercentFaults)
    ->UseRealTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(CurlOneRequest)->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);

void createFile(const std::string& path) {
    if (quillon::FileHelpers::fileSize(path).value_or(0) == kFileSize) {
        return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(kMiB);
    for (std::int64_t written = 0; written < kFileSize; written += kMiB) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>((written + i) * 31 + 7);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    auto arguments = quillon::bench::BenchArguments::parse(argc, argv);
    if (!arguments.requireSimulator()) {
        return 2;
    }
    filePath = arguments.file.value_or(quillon::FileHelpers::temporaryDirectory() +
                                       "/quillon-multipart-bench.bin");
    createFile(filePath);
    auto digests = quillon::TreeHash::hashFile(filePath, quillon::TreeHash::Options{});
    wholeSha256 = digests->sha256;
    wholeTreeHash = quillon::TreeHash::treeHash(digests->chunks);
    quillon::bench::BenchSimulator process(arguments.simulator);
    simulator = &process;
    {
        quillon::GlacierManager manager;
        perform(manager, manager.requestSerializer().requestWithMethod(
                             "PUT", simulator->baseURL() + "-/vaults/bench"));
    }
    int restCount = static_cast<int>(arguments.rest.size());
    benchmark::Initialize(&restCount, arguments.rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (fastestFaultFree > 0 && fastestFaulty > 0) {
        std::printf(
            "Fastest upload: %.2f s fault-free, %.2f s with faults: %.1f%% of the "
            "fault-free throughput\n",
            fastestFaultFree, fastestFaulty, 100.0 * fastestFaultFree / fastestFaulty);
    }
    return 0;
}
