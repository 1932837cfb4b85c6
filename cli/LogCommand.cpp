// quillon log: where the log files are, without creating any.
// Runs on the main thread; no requests.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "HumanText.h"
#include "TextTable.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "foundation/JSON.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

struct LogFile {
    std::string scope;
    std::string path;
    std::uintmax_t size = 0;
    bool exists = false;
};

LogFile describe(std::string scope, std::string path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return {std::move(scope), std::move(path), error ? 0 : size, !error};
}

// Lists the log files without creating any: the process log, then one per vault this home knows.
std::vector<LogFile> logFiles() {
    std::vector<LogFile> files;
    files.push_back(describe(
        "support", appendingPathComponent(Support::sharedInstance()->directory(), "support.log")));
    for (const AccountPtr& account : Accounts::all()) {
        for (const AccountRegionPtr& accountRegion : account->getAccountRegions()) {
            for (const VaultPtr& vault : accountRegion->vaults().all()) {
                const std::string scope =
                    account->name + "/" + accountRegion->region()->id() + "/" + vault->name;
                files.push_back(
                    describe(scope, appendingPathComponent(vault->directory(), "vault.log")));
            }
        }
    }
    return files;
}

void showLogs(CliContext& context) {
    const std::vector<LogFile> files = logFiles();
    JSON::Value document = JSON::Value::array();
    for (const LogFile& file : files) {
        document.push_back({{"scope", file.scope},
                            {"path", file.path},
                            {"exists", file.exists},
                            {"size", file.size}});
    }
    context.output().result(document, [&](std::ostream& out) {
        TextTable table({"LOG", "SIZE", "PATH"});
        for (const LogFile& file : files) {
            table.addRow({file.scope,
                          file.exists ? sizeText(static_cast<std::int64_t>(file.size)) : "-",
                          file.path});
        }
        table.print(out);
    });
}

}  // namespace

void registerLogCommand(CLI::App& app, CliContext& context) {
    CLI::App* log = app.add_subcommand(
        "log", "Where the log files are: the process log and one log per vault (rotated at 5 MiB)");
    log->callback([&context] { showLogs(context); });
}

}  // namespace quillon::cli
