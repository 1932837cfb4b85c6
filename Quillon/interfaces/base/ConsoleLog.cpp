// ConsoleLog: time-stamped lines to standard error or the installed sink. Threads: as in
// ConsoleLog.h (one mutex around the sink and each write).
#include "interfaces/base/ConsoleLog.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

namespace quillon {

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

ConsoleLog::Sink& currentSink() {
    static ConsoleLog::Sink sink;
    return sink;
}

}  // namespace

void ConsoleLog::log(const std::string& format, const FormatArgs& args) {
    std::string line = formatString(format, args);
    std::lock_guard lock(sinkMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(stderr, "%s quillon[%d] %s\n", stamp, static_cast<int>(getpid()), line.c_str());
}

ConsoleLog::Sink ConsoleLog::setSink(Sink sink) {
    std::lock_guard lock(sinkMutex());
    Sink old = std::move(currentSink());
    currentSink() = std::move(sink);
    return old;
}

}  // namespace quillon
