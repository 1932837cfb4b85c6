#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace quillon::cli {

namespace {

std::vector<char*> argvFor(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

int exitStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace

std::string selfExecutable() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "quillon";
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input) {
    int inPipe[2];
    int outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        return {};
    }
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        close(inPipe[0]);
        close(inPipe[1]);
        return {};
    }
    auto argv = argvFor(program, args);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    ChildResult result;
    if (pid < 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        return result;
    }
    // The inputs are small: write them whole, then read until the child closes its output.
    std::size_t written = 0;
    while (written < input.size()) {
        ssize_t n = write(inPipe[1], input.data() + written, input.size() - written);
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    close(inPipe[1]);
    char buffer[65536];
    for (;;) {
        ssize_t n = read(outPipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(outPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = exitStatus(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& args) {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return;
    }
    auto argv = argvFor(program, args);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    if (pid_ < 0) {
        close(outPipe[0]);
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    char c = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{outPipe[0], POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0) {
            continue;
        }
        if (read(outPipe[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        firstLine_ += c;
    }
    close(outPipe[0]);
}

BackgroundProcess::~BackgroundProcess() {
    stop();
}

void BackgroundProcess::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace quillon::cli
