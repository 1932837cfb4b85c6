// BenchSimulator: starting quillon-sim and reading its address; parsing --sim and --file.
// Threads: as in BenchSimulator.h.

#include "support/BenchSimulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace quillon::bench {

namespace {

std::vector<std::string> simulatorArguments(std::vector<std::string> extra) {
    std::vector<std::string> arguments = {"--port",       "0",       "--access-key", kAccessKey,
                                          "--secret-key", kSecretKey};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}

}  // namespace

BenchSimulator::BenchSimulator(const std::string& path, std::vector<std::string> extra)
    : process_(path, simulatorArguments(std::move(extra))) {
    const std::string& line = process_.firstLine();
    const std::string prefix = "listening on http://127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        throw std::runtime_error("quillon-sim did not start: " + line);
    }
    baseURL_ = line.substr(std::strlen("listening on "));
    port_ = std::stoi(line.substr(prefix.size()));
}

BenchArguments BenchArguments::parse(int argc, char** argv) {
    BenchArguments arguments;
    if (const char* fromEnvironment = std::getenv("QUILLON_SIM")) {
        arguments.simulator = fromEnvironment;
    }
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--sim=", 6) == 0) {
            arguments.simulator = argv[i] + 6;
        } else if (std::strncmp(argv[i], "--file=", 7) == 0) {
            arguments.file = argv[i] + 7;
        } else {
            arguments.rest.push_back(argv[i]);
        }
    }
    return arguments;
}

bool BenchArguments::requireSimulator() const {
    if (simulator.empty()) {
        std::fprintf(stderr, "usage: %s --sim=PATH_TO_QUILLON_SIM (or set QUILLON_SIM)\n",
                     rest.empty() ? "benchmark" : rest.front());
        return false;
    }
    return true;
}

}  // namespace quillon::bench
