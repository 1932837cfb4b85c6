#include <CLI/CLI.hpp>

#include "CliContext.h"
#include "Commands.h"

namespace quillon::cli {

void registerDemoCommand(CLI::App& app, CliContext& context) {
    CLI::App* demo = app.add_subcommand("demo", "Walk through the main features end to end");
    demo->callback([&context] { context.fail(std::string("demo: not available yet")); });
}

}  // namespace quillon::cli
