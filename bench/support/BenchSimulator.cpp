#include "support/BenchSimulator.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace quillon::bench {

BenchSimulator::BenchSimulator(const std::string& path) {
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
    baseURL_ = line.substr(std::strlen("listening on "));
    port_ = std::stoi(line.substr(prefix.size()));
}

BenchSimulator::~BenchSimulator() {
    stop();
}

void BenchSimulator::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
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
