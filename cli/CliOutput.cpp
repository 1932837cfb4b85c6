// CliOutput: the one result, human lines, notes and errors. Threads: as in CliOutput.h.

#include "CliOutput.h"

#include <unistd.h>

#include <ostream>
#include <sstream>
#include <stdexcept>

#include "HumanText.h"

namespace quillon::cli {

CliOutput::CliOutput(const GlobalOptions& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {}

void CliOutput::result(const JSON::Value& document,
                       const std::function<void(std::ostream&)>& human) {
    if (resultWritten_) {
        throw std::logic_error("a command wrote its result twice");
    }
    resultWritten_ = true;
    if (options_.json) {
        // File names need not be UTF-8; replace what cannot be encoded rather than fail.
        out_ << document.dump(2, ' ', false, JSON::Value::error_handler_t::replace) << '\n';
    } else if (human) {
        std::ostringstream text;
        human(text);
        out_ << escapedText(text.str(), true);
    }
    out_.flush();
}

void CliOutput::line(const std::string& text) {
    if (!options_.json) {
        out_ << escapedText(text) << '\n';
    }
}

void CliOutput::note(const std::string& text) {
    if (!options_.quiet) {
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
    clearProgressLine();
    err_ << escapedText(text, true) << '\n';
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
