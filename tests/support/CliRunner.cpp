#include "support/CliRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "interfaces/files/FileDescriptor.h"

extern char** environ;

namespace quillon::testing {

namespace {

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

Pipe makePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    return {FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        if (name == "QUILLON_HOME" || overrides.contains(name)) {
            continue;
        }
        env.push_back(std::move(text));
    }
    for (const auto& [name, value] : overrides) {
        env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// Reads what is available; false once the pipe is at its end.
bool drain(FileDescriptor& fd, std::string& into) {
    char buffer[65536];
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    fd.reset();
    return false;
}

}  // namespace

CliRunner::CliRunner(std::string home, std::string program)
    : home_(std::move(home)), program_(std::move(program)) {}

CliResult CliRunner::run(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> all = {"--home", home_};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram(program_, all, input, env_, timeout_, workingDirectory_, watcher_);
}

CliResult CliRunner::runWithoutHome(const std::vector<std::string>& args,
                                    const std::string& input) const {
    return runProgram(program_, args, input, env_, timeout_, workingDirectory_, watcher_);
}

CliResult CliRunner::runProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::string& input,
                                const std::map<std::string, std::string>& env,
                                std::chrono::milliseconds timeout,
                                const std::string& workingDirectory, const ErrWatcher& watcher) {
    // Everything the child needs is prepared before fork: after it, only exec-safe calls.
    std::vector<std::string> argvTexts = {program};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = childEnvironment(env);
    std::vector<char*> argv = pointers(argvTexts);
    std::vector<char*> envp = pointers(envTexts);

    Pipe in = makePipe();
    Pipe out = makePipe();
    Pipe err = makePipe();

    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        dup2(in.read.get(), STDIN_FILENO);
        dup2(out.write.get(), STDOUT_FILENO);
        dup2(err.write.get(), STDERR_FILENO);
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0) {
            _exit(127);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    in.read.reset();
    out.write.reset();
    err.write.reset();

    signal(SIGPIPE, SIG_IGN);  // the child may exit without reading its input
    fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
    if (input.empty()) {
        in.write.reset();
    }

    CliResult result;
    std::size_t written = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.read || err.read) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {
            {out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}, {in.write.get(), POLLOUT, 0}};
        if (poll(fds, 3, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) {
                continue;
            }
            kill(pid, SIGKILL);
            break;
        }
        if (fds[0].revents != 0) {
            drain(out.read, result.out);
        }
        if (fds[1].revents != 0 && drain(err.read, result.err) && watcher) {
            watcher(result.err);
        }
        if (in.write && fds[2].revents != 0) {
            ssize_t n = ::write(in.write.get(), input.data() + written, input.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                in.write.reset();
            }
        }
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitCode = 128 + WTERMSIG(status);
    }
    return result;
}

}  // namespace quillon::testing
