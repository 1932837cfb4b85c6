// Starting other programs with fork and execve; see ChildProcess.h.

#include "foundation/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>  // IWYU pragma: keep (struct rusage: <sys/wait.h> only declares it)
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "interfaces/files/FileDescriptor.h"

extern char** environ;

namespace quillon {

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

std::vector<std::string> childEnvironment(const ChildOptions& options) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        if (options.env.contains(name) ||
            std::find(options.unsetEnv.begin(), options.unsetEnv.end(), name) !=
                options.unsetEnv.end()) {
            continue;
        }
        env.push_back(std::move(text));
    }
    for (const auto& [name, value] : options.env) {
        env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// The standard streams a child gets: a descriptor to put in place, or -1 to keep ours.
struct ChildStreams {
    int in = -1;
    int out = -1;
    int err = -1;
};

// Forks and execs; everything the child uses is prepared by the caller, so the child makes
// only async-signal-safe calls.
pid_t spawn(std::vector<char*>& argv, std::vector<char*>& envp, const ChildStreams& streams,
            const std::string& workingDirectory) {
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        if ((streams.in >= 0 && dup2(streams.in, STDIN_FILENO) < 0) ||
            (streams.out >= 0 && dup2(streams.out, STDOUT_FILENO) < 0) ||
            (streams.err >= 0 && dup2(streams.err, STDERR_FILENO) < 0) ||
            (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)) {
            _exit(127);
        }
        execvpe(argv[0], argv.data(), envp.data());  // a bare name is looked up on PATH
        _exit(127);
    }
    return pid;
}

// Waits for the child to end and collects what it used: its bytes read are taken from
// /proc while it is still there to be read (ended, not yet reaped), the rest from wait4.
int waitForExit(pid_t pid, ChildResult* usage = nullptr) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    if (usage != nullptr) {
        std::ifstream io("/proc/" + std::to_string(pid) + "/io");
        std::string key;
        std::int64_t value = 0;
        while (io >> key >> value) {
            if (key == "rchar:") {
                usage->bytesRead = value;
            }
        }
    }
    int status = 0;
    rusage used{};
    while (wait4(pid, &status, 0, &used) < 0 && errno == EINTR) {
    }
    if (usage != nullptr) {
        usage->cpuSeconds =
            static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
            static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
        usage->peakResidentBytes = static_cast<std::int64_t>(used.ru_maxrss) * 1024;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
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

std::chrono::milliseconds timeLeft(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
}

}  // namespace

std::string selfExecutable() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "quillon";
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, const ChildOptions& options) {
    std::vector<std::string> argvTexts = {program};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = childEnvironment(options);
    std::vector<char*> argv = pointers(argvTexts);
    std::vector<char*> envp = pointers(envTexts);

    Pipe in = makePipe();
    Pipe out = makePipe();
    Pipe err;
    if (options.captureErr) {
        err = makePipe();
    }
    pid_t pid = spawn(argv, envp, {in.read.get(), out.write.get(), err.write.get()},
                      options.workingDirectory);
    in.read.reset();
    out.write.reset();
    err.write.reset();

    signal(SIGPIPE, SIG_IGN);  // the child may exit without reading its input
    fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
    if (input.empty()) {
        in.write.reset();
    }

    ChildResult result;
    std::size_t written = 0;
    bool killed = false;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (out.read || err.read) {
        auto left = timeLeft(deadline);
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
        if (fds[1].revents != 0 && drain(err.read, result.err)) {
            if (options.errWatcher) {
                options.errWatcher(result.err);
            }
            if (!killed && options.killWhen && options.killWhen(result.err)) {
                killed = true;
                kill(pid, SIGKILL);
            }
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
    result.exitCode = waitForExit(pid, &result);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& args,
                                     std::chrono::milliseconds firstLineTimeout) {
    std::vector<std::string> argvTexts = {program};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = childEnvironment({});
    std::vector<char*> argv = pointers(argvTexts);
    std::vector<char*> envp = pointers(envTexts);
    Pipe out = makePipe();
    pid_ = spawn(argv, envp, {-1, out.write.get(), -1}, "");
    out.write.reset();

    std::string text;
    auto deadline = std::chrono::steady_clock::now() + firstLineTimeout;
    while (text.find('\n') == std::string::npos) {
        auto left = timeLeft(deadline);
        pollfd ready{out.read.get(), POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
            !drain(out.read, text)) {
            break;
        }
    }
    auto newline = text.find('\n');
    firstLine_ = newline == std::string::npos ? std::string() : text.substr(0, newline);
}

BackgroundProcess::~BackgroundProcess() {
    stop();
}

void BackgroundProcess::stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    // A bounded wait for an orderly exit, then the hard way.
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitForExit(pid_);
    pid_ = -1;
}

}  // namespace quillon
