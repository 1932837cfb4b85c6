// Commands: the registration of every command family with the parser.
// Threads: main thread, before the command line is parsed; the commands run on it too.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace quillon::cli {

class CliContext;

// Each command family adds its subcommands to the application; CliApp calls these in the order
// in which the families appear in --help.
void registerAccountCommands(CLI::App& app, CliContext& context);
void registerAccountCheckCommand(CLI::App& app, CliContext& context);
void registerRegionCommands(CLI::App& app, CliContext& context);
void registerVaultCommands(CLI::App& app, CliContext& context);
// `vault purge`, added to the vault family.
void registerVaultPurgeCommand(CLI::App& vault, CliContext& context);
void registerTagCommands(CLI::App& app, CliContext& context);
void registerPolicyCommands(CLI::App& app, CliContext& context);
void registerJobCommands(CLI::App& app, CliContext& context);
void registerInventoryCommands(CLI::App& app, CliContext& context);
void registerMapCommand(CLI::App& app, CliContext& context);
void registerUploadCommands(CLI::App& app, CliContext& context);
void registerMultipartCommands(CLI::App& app, CliContext& context);
void registerHashCommands(CLI::App& app, CliContext& context);
void registerVerifyCommand(CLI::App& app, CliContext& context);
void registerPrefsCommands(CLI::App& app, CliContext& context);
void registerLogCommand(CLI::App& app, CliContext& context);
void registerRestoreCommand(CLI::App& app, CliContext& context);
void registerDemoCommand(CLI::App& app, CliContext& context);
void registerCompletionCommand(CLI::App& app, CliContext& context);

// The keys that prefs set takes, in the order of prefs show.
std::vector<std::string> preferenceKeys();

}  // namespace quillon::cli
