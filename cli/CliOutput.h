// CliOutput: where a command's results, chatter and errors go.
// Threads: results on the main thread. Every write to standard error (notes, errors, log and
//   trace lines, progress drawn from client threads) goes through one mutex, so that lines
//   never interleave.
#pragma once

#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

#include "GlobalOptions.h"
#include "foundation/JSON.h"

namespace quillon::cli {

class ListWriter;

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
    // A result that is a list, written as `fill` adds its entries (see ListWriter): a JSON
    // array with --json, else a table under `header`. A command calls this instead of result().
    void resultList(std::vector<std::string> header, const std::function<void(ListWriter&)>& fill);
    // One line of human output; nothing with --json.
    void line(const std::string& text);
    // Chatter on standard error; nothing with --quiet.
    void note(const std::string& text);
    // A line that tells about each item of a run (a file skipped), on standard error: only with
    // --verbose, and never with --quiet.
    void detail(const std::string& text);
    // An error message on standard error, always shown.
    void error(const std::string& text);
    // Diagnostic lines (a log sink's, the request trace's) on standard error, whole, on a line
    // of their own: any thread.
    void logLines(const std::string& lines);
    // Text of a progress display, written whole and flushed: any thread.
    void writeErr(const std::string& text);
    // Whether progress bars are wanted: not quiet, and standard error is a terminal.
    bool progressEnabled() const;
    // Standard output for a command that writes it directly; call checkOut() when done.
    std::ostream& out() {
        wrote_ = true;
        return out_;
    }
    std::ostream& err() { return err_; }

    // Flushes standard output and throws CliExit (status 2, with a sentence) when anything
    // written to it so far was lost: a full disk, a closed descriptor, a pipe that broke.
    void checkOut();
    // Standard output was closed when the program started; its descriptor now holds /dev/null
    // so that no file opened later takes its place, and any write to it counts as failed.
    void setOutClosed() { outClosed_ = true; }

  private:
    // Notes that the one result is being written; a second is a programming error.
    void claimResult();
    // A message on standard error starts on a line of its own, not after a progress bar.
    void clearProgressLine();

    const GlobalOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    std::mutex errMutex_;  // orders every write to err_
    bool resultWritten_ = false;
    bool wrote_ = false;
    bool outClosed_ = false;
    int writeErrno_ = 0;  // the first error a flush of standard output met
};

}  // namespace quillon::cli
