// Requests per second of small signed GETs (list vaults, limit 1) against quillon-sim, with one
// worker and with four.
//
//   ClientThroughput --sim=/path/to/quillon-sim [benchmark flags]
// or with QUILLON_SIM set to the simulator's path.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "interfaces/GlacierManager.h"

namespace {

constexpr const char* kAccessKey = "AKIDEXAMPLE";
constexpr const char* kSecretKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
constexpr int kRequestsPerIteration = 200;

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
        const std::string prefix = "listening on ";
        if (line.rfind(prefix, 0) != 0) {
            stop();
            throw std::runtime_error("quillon-sim did not start: " + line);
        }
        baseURL_ = line.substr(prefix.size());
    }
    ~SimulatorProcess() { stop(); }

    const std::string& baseURL() const { return baseURL_; }

  private:
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    std::string baseURL_;
};

SimulatorProcess* simulator = nullptr;

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
    std::string simPath = std::getenv("QUILLON_SIM") ? std::getenv("QUILLON_SIM") : "";
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--sim=", 6) == 0) {
            simPath = argv[i] + 6;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (simPath.empty()) {
        std::fprintf(stderr, "usage: %s --sim=PATH_TO_QUILLON_SIM (or set QUILLON_SIM)\n", argv[0]);
        return 2;
    }
    SimulatorProcess process(simPath);
    simulator = &process;
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
