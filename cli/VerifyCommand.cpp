// quillon verify: local files against a vault's imported inventory, through VaultVerify.
// Runs on the main thread; the comparison calls back on it.

#include <CLI/CLI.hpp>

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

#include "CliContext.h"
#include "CliExit.h"
#include "CliOutput.h"
#include "Commands.h"
#include "VaultArgument.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "transfers/VaultVerify.h"

namespace quillon::cli {

namespace {

struct VerifyOptions {
    std::string directory;
    std::string vault;
    std::string folder;
};

void verifyCommand(CliContext& context, const VerifyOptions& options) {
    VaultPtr vault = vaultNamed(context, options.vault);
    CliOutput& output = context.output();
    VaultVerify verify(vault, options.directory, options.folder);
    JSON::Value lists = {{"same", JSON::Value::array()},
                         {"changed", JSON::Value::array()},
                         {"missing", JSON::Value::array()},
                         {"extra", JSON::Value::array()}};
    verify.onResult = [&](VaultVerify::Verdict verdict, const std::string& path) {
        static constexpr const char* kKeys[] = {"same", "changed", "missing", "extra"};
        static constexpr const char* kWords[] = {"same    ", "changed ", "missing ", "extra   "};
        const auto index = static_cast<std::size_t>(verdict);
        if (output.json()) {
            lists[kKeys[index]].push_back(path);
        } else if (verdict != VaultVerify::Verdict::Same) {
            output.line(std::string(kWords[index]) + path);
        }
    };
    verify.onUnreadable = [&](const std::string& path, const ErrorPtr& error) {
        output.error("Cannot hash " + path + (error ? ": " + error->localizedDescription() : ""));
    };
    VaultVerify::Report report;
    if (ErrorPtr error = verify.run(report)) {
        context.fail(error);
    }
    output.result(lists, [&](std::ostream& out) {
        out << report.same << " same, " << report.changed << " changed, " << report.missing
            << " missing from the vault, " << report.extra << " only in the vault.\n";
    });
    if (report.differences()) {
        throw CliExit(CliExit::kDifferences, "");
    }
}

}  // namespace

void registerVerifyCommand(CLI::App& app, CliContext& context) {
    auto options = std::make_shared<VerifyOptions>();
    CLI::App* verify = app.add_subcommand(
        "verify",
        "Compare local files with the vault's imported inventory by path, size and tree hash "
        "(no retrieval); exit 3 on differences");
    verify->add_option("DIR", options->directory, "The local directory")->required();
    verify->add_option("--vault", options->vault, "The vault")->required()->type_name("NAME");
    verify
        ->add_option("--folder", options->folder,
                     "The vault folder DIR stands for (default: the top)")
        ->type_name("PATH");
    verify->callback([&context, options] { verifyCommand(context, *options); });
}

}  // namespace quillon::cli
