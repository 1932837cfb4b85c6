// CliOutput: where a command's results, chatter and errors go.
// Threads: main thread; not synchronised. Progress lines drawn from client threads write to the
//   same error stream under their own lock only.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "GlobalOptions.h"
#include "interfaces/text/JSON.h"

namespace quillon::cli {

// Where a command's results, chatter and errors go. Results go to standard output: human text,
// or with --json exactly one JSON document. Chatter and progress go to standard error.
class CliOutput {
  public:
    CliOutput(const GlobalOptions& options, std::ostream& out, std::ostream& err);

    bool json() const { return options_.json; }

    // The command's result: the JSON document with --json, else whatever human() writes.
    // A command calls this once.
    void result(const JSON::Value& document, const std::function<void(std::ostream&)>& human);
    // Human text goes out with its control characters escaped (escapedText).
    // One line of human output; nothing with --json.
    void line(const std::string& text);
    // Chatter on standard error; nothing with --quiet.
    void note(const std::string& text);
    // A line that tells about each item of a run (a file skipped), on standard error: only with
    // --verbose, and never with --quiet.
    void detail(const std::string& text);
    // An error message on standard error, always shown.
    void error(const std::string& text);
    // Whether progress bars are wanted: not quiet, and standard error is a terminal.
    bool progressEnabled() const;
    std::ostream& out() { return out_; }
    std::ostream& err() { return err_; }

  private:
    // A message on standard error starts on a line of its own, not after a progress bar.
    void clearProgressLine();

    const GlobalOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    bool resultWritten_ = false;
};

}  // namespace quillon::cli
