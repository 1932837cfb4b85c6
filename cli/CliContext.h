// CliContext: what every command shares: options, output and the way to fail.
// Threads: main thread only; not synchronised.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "CliOutput.h"
#include "GlobalOptions.h"
#include "foundation/Error.h"

namespace quillon {
class Account;
class AccountRegion;
}  // namespace quillon

namespace quillon::cli {

// What every command family shares: the global options, the output and the way to fail.
class CliContext {
  public:
    // The user default naming the account used when several exist and --account is absent.
    static constexpr const char* kSelectedAccountKey = "cli.selectedAccount";

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

    // The account named by --account; without it the only account, else the selected one.
    // Fails with a sentence saying what to do when there is none.
    std::shared_ptr<Account> account();
    // The region of that account named by --region, else the account's selected region. Puts
    // the transfer preferences and --retries into effect first: every remote command comes here.
    std::shared_ptr<AccountRegion> accountRegion();

  private:
    GlobalOptions options_;
    CliOutput output_;
};

}  // namespace quillon::cli
