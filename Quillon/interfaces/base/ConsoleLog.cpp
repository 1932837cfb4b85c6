// ConsoleLog: time-stamped lines to standard error or the installed sink. Threads: as in
// ConsoleLog.h (the sink is called with no lock held).
#include "interfaces/base/ConsoleLog.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <utility>

#include "interfaces/base/CallbackSlot.h"
#include "interfaces/text/Format.h"

namespace quillon {

namespace {

CallbackSlot<const std::string&>& sinkSlot() {
    static CallbackSlot<const std::string&> slot;
    return slot;
}

}  // namespace

void ConsoleLog::log(const std::string& format, const FormatArgs& args) {
    std::string line = formatString(format, args);
    if (sinkSlot().call(line)) {
        return;
    }
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    // One call per line: the stream's own lock keeps it whole.
    std::fprintf(stderr, "%s quillon[%d] %s\n", stamp, static_cast<int>(getpid()), line.c_str());
}

ConsoleLog::Sink ConsoleLog::setSink(Sink sink) {
    return sinkSlot().set(std::move(sink));
}

}  // namespace quillon
