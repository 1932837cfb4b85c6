// SHA-256 throughput over one 1 GiB file (created here, read once so the page cache is warm):
// `openssl dgst -sha256` on one core, our single-threaded SHA-256, and our tree hash on all
// cores. Bytes per second are in the "bytes_per_second" column.
//
//   TreeHashThroughput [--file=PATH] [benchmark flags]

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/FileHelpers.h"
#include "interfaces/files/TreeHash.h"

namespace {

constexpr std::int64_t kFileSize = 1024LL * 1048576;
std::string filePath;

void createFile(const std::string& path) {
    if (quillon::FileHelpers::fileSize(path).value_or(0) == kFileSize) {
        return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1048576);
    for (std::int64_t written = 0; written < kFileSize; written += block.size()) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>((written + i) * 31 + 7);
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

void OpenSSLDgst(benchmark::State& state) {
    std::string command = "openssl dgst -sha256 '" + filePath + "' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("openssl failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void Sha256SingleThread(benchmark::State& state) {
    quillon::TreeHash::Options options;
    options.threads = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(quillon::TreeHash::sha256OfFile(filePath, options));
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

void TreeHashAllCores(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            quillon::TreeHash::treeHash(quillon::TreeHash::chunkHashes(filePath)));
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

BENCHMARK(OpenSSLDgst)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Sha256SingleThread)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(TreeHashAllCores)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    filePath = quillon::FileHelpers::temporaryDirectory() + "/quillon-treehash-bench.bin";
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--file=", 7) == 0) {
            filePath = argv[i] + 7;
        } else {
            rest.push_back(argv[i]);
        }
    }
    createFile(filePath);
    quillon::TreeHash::chunkHashes(filePath);  // warms the page cache
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
