// CliApp: global options, command families, diagnostic sinks and the fatal paths.
// Threads: main thread; the sinks and the terminate handler it installs run on whatever thread
//   logs or fails (each sink under its library's own lock) and write to standard error.

#include "CliApp.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "CliExit.h"
#include "CliOutput.h"
#include "Commands.h"
#include "DashedArguments.h"
#include "FrontDoor.h"
#include "GlobalOptions.h"
#include "foundation/FatalError.h"
#include "ops/QueueDrain.h"
#include "settings/Diagnostics.h"

namespace quillon::cli {

namespace {

void addGlobalOptions(CLI::App& app, GlobalOptions& options) {
    app.add_option("--home", options.home,
                   "The application directory (default: $QUILLON_HOME, else "
                   "$XDG_DATA_HOME/Frostvale, else ~/.local/share/Frostvale)")
        ->type_name("DIR")
        ->each([](const std::string& dir) {
            std::error_code ignored;
            std::filesystem::path absolute = std::filesystem::absolute(dir, ignored);
            setenv("QUILLON_HOME", absolute.empty() ? dir.c_str() : absolute.c_str(), 1);
        });
    app.add_option("--account", options.account,
                   "The account to act for (default: the only account, else the selected one)")
        ->type_name("NAME");
    app.add_option("--profile", options.profile,
                   "Act for this profile of the AWS credentials or config file (its region "
                   "and endpoint_url too), as the AWS CLI does")
        ->type_name("NAME")
        ->each([](const std::string& profile) { setenv("AWS_PROFILE", profile.c_str(), 1); });
    app.add_option("--region", options.region,
                   "The region to act in (default: the account's selected region)")
        ->type_name("ID");
    app.add_option("--endpoint-url", options.endpointUrl,
                   "Act against this endpoint (signing region: --region, else the default one)")
        ->type_name("URL")
        ->check(CLI::Validator(
            [](const std::string& url) -> std::string {
                // An empty URL must not fall back to the real service without a word.
                if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
                    return "--endpoint-url needs an http:// or https:// URL, such as "
                           "http://127.0.0.1:8080/";
                }
                return "";
            },
            "URL"));
    app.add_flag("--json", options.json, "Write exactly one JSON document on standard output");
    app.add_flag("--quiet", options.quiet, "No progress and no chatter: results and errors only");
    app.add_flag("--verbose", options.verbose,
                 "Also show the library's diagnostics (schema migrations, credential checks)");
    app.add_flag("--debug", options.debug,
                 "Trace every request and retry on standard error, secrets redacted");
    app.add_option("--retries", options.retries,
                   "Attempts per request for transient errors (default: the preference "
                   "maxRetryAttempts, else 5)")
        ->type_name("N")
        ->check(CLI::Range(1, 100));
    app.add_flag("--version", options.version, "Print the version and build number");
}

// Every way the process can stop on its own ends with exit status 2 and a sentence on standard
// error, never with abort(): an unusable application directory or database (the library's
// fatal errors) and an exception that escapes on another thread.
void installFatalPaths(std::ostream& err) {
    static std::ostream* errorStream = nullptr;
    errorStream = &err;
    // What was handed to the main queue (the logs' last lines among them) runs before the
    // exit, as when a command ends normally.
    setFatalErrorHandler([](const std::string& message) {
        *errorStream << message << std::endl;
        ops::QueueDrain::drain();
        std::_Exit(CliExit::kFailure);
    });
    std::set_terminate([] {
        std::string message = "quillon stopped on an unexpected error";
        if (std::exception_ptr current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& e) {
                message += ": " + std::string(e.what());
            } catch (...) {
            }
        }
        *errorStream << message << "." << std::endl;
        ops::QueueDrain::drain();
        std::_Exit(CliExit::kFailure);
    });
}

}  // namespace

CliApp::CliApp(std::ostream& out, std::ostream& err) : context_(out, err) {}

int CliApp::run(int argc, char** argv) {
    // Whatever way the command ends, the work it left on the main queue runs before the exit.
    ops::QueueDrain drain;
    CLI::App app("Amazon Glacier archives from the command line.", "quillon");
    // Global options are also accepted after the subcommand; set before any subcommand is
    // added, since subcommands copy this setting.
    app.fallthrough();
    app.require_subcommand(1);
    addGlobalOptions(app, context_.options());

    registerAccountCommands(app, context_);
    registerAccountCheckCommand(app, context_);
    registerRegionCommands(app, context_);
    registerVaultCommands(app, context_);
    registerTagCommands(app, context_);
    registerPolicyCommands(app, context_);
    registerJobCommands(app, context_);
    registerInventoryCommands(app, context_);
    registerMapCommand(app, context_);
    registerUploadCommands(app, context_);
    registerMultipartCommands(app, context_);
    registerHashCommands(app, context_);
    registerVerifyCommand(app, context_);
    registerPrefsCommands(app, context_);
    registerLogCommand(app, context_);
    registerRestoreCommand(app, context_);
    registerDemoCommand(app, context_);
    registerCompletionCommand(app, context_);
    FrontDoor frontDoor(app);
    frontDoor.describeGlobalOptions();

    CliOutput& output = context_.output();
    installFatalPaths(output.err());
    // A closed standard output is a failure to write, not a descriptor for the next file the
    // program opens (a database would receive the output).
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF) {
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devNull >= 0 && devNull != STDOUT_FILENO) {
            dup2(devNull, STDOUT_FILENO);
            close(devNull);
        }
        output.setOutClosed();
    }
    // The library's console diagnostics are for --verbose only; results and errors stay clean.
    Diagnostics::setLogSink([this](const std::string& line) {
        if (context_.options().verbose) {
            context_.output().logLines(line);
        }
    });
    Diagnostics::setTraceSink([this](const std::string& lines) {
        if (context_.options().debug) {
            context_.output().logLines(lines);
        }
    });
    try {
        std::vector<std::string> args =
            DashedArguments(app).normalise(std::vector<std::string>(argv + 1, argv + argc));
        if (auto answered = frontDoor.answer(args, output.out(), output.err())) {
            output.checkOut();
            return *answered;
        }
        std::reverse(args.begin(), args.end());  // the parser takes its words last first
        app.parse(args);
        output.checkOut();
        return 0;
    } catch (const CLI::ParseError& e) {
        // Help is a parse "error" with status 0; every other one is a usage error.
        if (app.exit(e, output.out(), output.err()) != 0) {
            return CliExit::kUsage;
        }
        try {
            output.checkOut();
        } catch (const CliExit& failed) {
            output.error(failed.what());
            return failed.code();
        }
        return 0;
    } catch (const CliExit& e) {
        if (*e.what() != '\0') {
            output.error(e.what());
        }
        return e.code();
    } catch (const std::exception& e) {
        // A ModelError escaping a command lands here: what() is its localised description.
        output.error(e.what());
        return CliExit::kFailure;
    }
}

}  // namespace quillon::cli
