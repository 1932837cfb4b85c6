#pragma once

#include <iosfwd>
#include <string>

#include "CliOutput.h"
#include "GlobalOptions.h"
#include "interfaces/Error.h"

namespace quillon::cli {

// What every command family shares: the global options, the output and the way to fail.
class CliContext {
  public:
    CliContext(std::ostream& out, std::ostream& err);
    CliContext(const CliContext&) = delete;
    CliContext& operator=(const CliContext&) = delete;

    GlobalOptions& options() { return options_; }
    const GlobalOptions& options() const { return options_; }
    CliOutput& output() { return output_; }

    // Stop with exit status 2 and the error's localised description on standard error.
    [[noreturn]] void fail(const Error& error) const;
    [[noreturn]] void fail(const ErrorPtr& error) const;
    [[noreturn]] void fail(const std::string& message) const;
    // Stop with exit status 1: the command line asks for something that cannot be done.
    [[noreturn]] void usageError(const std::string& message) const;

  private:
    GlobalOptions options_;
    CliOutput output_;
};

}  // namespace quillon::cli
