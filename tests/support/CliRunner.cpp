#include "support/CliRunner.h"

namespace quillon::testing {

CliRunner::CliRunner(std::string home, std::string program)
    : home_(std::move(home)), program_(std::move(program)) {}

CliResult CliRunner::run(const std::vector<std::string>& args, const std::string& input) const {
    std::vector<std::string> all = {"--home", home_};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram(all, input);
}

CliResult CliRunner::runWithoutHome(const std::vector<std::string>& args,
                                    const std::string& input) const {
    return runProgram(args, input);
}

CliResult CliRunner::runProgram(const std::vector<std::string>& args,
                                const std::string& input) const {
    ChildOptions options;
    options.env = env_;
    options.unsetEnv = {"QUILLON_HOME"};
    options.workingDirectory = workingDirectory_;
    options.captureErr = true;
    options.timeout = timeout_;
    options.errWatcher = watcher_;
    return runChild(program_, args, input, options);
}

}  // namespace quillon::testing
