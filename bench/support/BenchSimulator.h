// BenchSimulator: quillon-sim started for a benchmark, and the benchmarks' own arguments.
// Threads: one owner; the simulator is a separate process. BenchArguments is plain data.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/ChildProcess.h"

namespace quillon::bench {

constexpr const char* kAccessKey = "AKIDEXAMPLE";
constexpr const char* kSecretKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";

// quillon-sim on a free port of 127.0.0.1 with the keys above, stopped when this goes.
class BenchSimulator {
  public:
    // `extra`: more arguments for the simulator (--job-delay 0, --data DIR).
    explicit BenchSimulator(const std::string& path, std::vector<std::string> extra = {});

    // "http://127.0.0.1:PORT/"
    const std::string& baseURL() const { return baseURL_; }
    int port() const { return port_; }

  private:
    BackgroundProcess process_;
    std::string baseURL_;
    int port_ = 0;
};

// The benchmarks' own arguments, --sim=PATH (or $QUILLON_SIM) and --file=PATH, taken out of the
// command line; `rest` keeps the others (the program name first) for Google Benchmark.
struct BenchArguments {
    std::string simulator;
    std::optional<std::string> file;
    std::vector<char*> rest;

    static BenchArguments parse(int argc, char** argv);
    // Prints the usage line when no simulator was named.
    bool requireSimulator() const;
};

}  // namespace quillon::bench
