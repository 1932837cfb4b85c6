// CliOutput: the one result, human lines, notes and errors. Threads: as in CliOutput.h.

#include "CliOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CliExit.h"
#include "GlobalOptions.h"
#include "HumanText.h"
#include "ListWriter.h"
#include "foundation/JSON.h"

namespace quillon::cli {

CliOutput::CliOutput(const GlobalOptions& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {}

void CliOutput::result(const JSON::Value& document,
                       const std::function<void(std::ostream&)>& human) {
    claimResult();
    if (options_.json) {
        // File names need not be UTF-8; replace what cannot be encoded rather than fail.
        out_ << document.dump(2, ' ', false, JSON::Value::error_handler_t::replace) << '\n';
    } else if (human) {
        std::ostringstream text;
        human(text);
        out_ << escapedText(text.str(), true);
    }
    checkOut();
}

void CliOutput::claimResult() {
    if (resultWritten_) {
        throw std::logic_error("a command wrote its result twice");
    }
    resultWritten_ = true;
    wrote_ = true;
}

void CliOutput::resultList(std::vector<std::string> header,
                           const std::function<void(ListWriter&)>& fill) {
    claimResult();
    ListWriter list(out_, options_.json, std::move(header));
    fill(list);
    list.finish();
    checkOut();
}

void CliOutput::line(const std::string& text) {
    if (!options_.json) {
        wrote_ = true;
        out_ << escapedText(text) << '\n';
        // Each line goes out at once (a stored archive is reported as it is stored); a failure
        // is kept for checkOut(), since the work that follows must still finish cleanly.
        errno = 0;
        if (!out_.flush() && writeErrno_ == 0) {
            writeErrno_ = errno;
        }
    }
}

void CliOutput::checkOut() {
    if (!wrote_) {
        return;
    }
    errno = 0;
    if (out_.flush() && !outClosed_) {
        return;
    }
    if (writeErrno_ == 0) {
        writeErrno_ = errno;
    }
    if (writeErrno_ == 0 && &out_ == &std::cout) {
        // A stream that went bad earlier does not try again; the C stream under it says why.
        errno = 0;
        std::fflush(stdout);
        writeErrno_ = errno;
    }
    std::string reason = outClosed_         ? "it is closed"
                         : writeErrno_ != 0 ? std::strerror(writeErrno_)
                                            : "the write failed";
    throw CliExit(CliExit::kFailure,
                  "Cannot write to standard output (" + reason + "); the output is incomplete.");
}

void CliOutput::note(const std::string& text) {
    if (!options_.quiet) {
        std::lock_guard lock(errMutex_);
        clearProgressLine();
        err_ << escapedText(text, true) << '\n';
    }
}

void CliOutput::detail(const std::string& text) {
    if (options_.verbose) {
        note(text);
    }
}

void CliOutput::error(const std::string& text) {
    std::lock_guard lock(errMutex_);
    clearProgressLine();
    err_ << escapedText(text, true) << '\n';
    err_.flush();
}

void CliOutput::logLines(const std::string& lines) {
    std::lock_guard lock(errMutex_);
    clearProgressLine();
    err_ << lines << '\n';
    err_.flush();
}

void CliOutput::writeErr(const std::string& text) {
    std::lock_guard lock(errMutex_);
    err_ << text;
    err_.flush();
}

void CliOutput::clearProgressLine() {
    if (progressEnabled()) {
        err_ << "\r\033[K";
    }
}

bool CliOutput::progressEnabled() const {
    return !options_.quiet && isatty(STDERR_FILENO) == 1;
}

}  // namespace quillon::cli
