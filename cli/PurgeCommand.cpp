// quillon vault purge: empties a vault (and deletes it) through VaultPurge, asking first.
// Runs on the main thread; the purge calls back on it.

#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "CliContext.h"
#include "CliExit.h"
#include "Commands.h"
#include "HumanText.h"
#include "ProgressLine.h"
#include "VaultArgument.h"
#include "accounts/AccountRegion.h"  // IWYU pragma: keep
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "transfers/VaultPurge.h"
#include "vaults/Vault.h"

namespace quillon::cli {

namespace {

struct PurgeOptions {
    std::string name;
    std::optional<double> olderThanDays;
    bool deleteVault = false;
    bool dryRun = false;
    bool yes = false;
};

std::string archivesText(std::int64_t count) {
    return std::to_string(count) + (count == 1 ? " archive" : " archives");
}

// Deleting is for good: without --yes, a person at a terminal types the vault's name. A dry
// run deletes nothing and asks nothing.
void confirm(CliContext& context, const VaultPtr& vault, const PurgeOptions& options) {
    if (options.yes || options.dryRun) {
        return;
    }
    if (isatty(STDIN_FILENO) != 1) {
        context.usageError(
            "vault purge deletes archives for good: give --yes to run it "
            "without a terminal.");
    }
    VaultPurge::Options counting;
    counting.olderThanDays = options.olderThanDays;
    counting.dryRun = true;
    PurgeReport planned;
    if (ErrorPtr error = VaultPurge(vault, counting).run(planned)) {
        context.fail(error);
    }
    std::ostream& err = context.output().err();
    err << "This deletes " << archivesText(planned.remaining) << " of vault " << vault->name
        << " in " << vault->accountRegion()->region()->id() << " for good"
        << (options.deleteVault ? ", then the vault itself" : "")
        << ".\nType the vault's name to go on: " << std::flush;
    std::string typed;
    std::getline(std::cin, typed);
    if (typed != vault->name) {
        context.usageError("The name did not match; nothing was deleted.");
    }
}

void purgeCommand(CliContext& context, const PurgeOptions& options) {
    VaultPtr vault = vaultNamed(context, options.name);
    CliOutput& output = context.output();
    confirm(context, vault, options);

    VaultPurge::Options settings;
    settings.olderThanDays = options.olderThanDays;
    settings.deleteVault = options.deleteVault;
    settings.dryRun = options.dryRun;
    VaultPurge purge(vault, settings);
    JSON::Value kept = JSON::Value::array();
    purge.onKept = [&](const std::string& archiveID, const std::string& path) {
        kept.push_back({{"archiveId", archiveID}, {"path", path}});
        output.note("Left alone (uploaded after the inventory was taken): " + archiveID + "  " +
                    path);
    };
    if (options.dryRun) {
        purge.onPlanned = [&](const PurgeArchive& archive) {
            output.line(archive.archiveID + "  " + archive.path);
        };
    }
    ProgressLine progress(output, "Deleting", false);
    purge.onProgress = [&](const PurgeReport& report) {
        progress.update(report.deleted, report.archives);
    };
    PurgeReport report;
    ErrorPtr error = purge.run(report);
    progress.finish();
    if (error) {
        context.fail(error);
    }
    for (const std::string& failure : report.failures) {
        output.error("Not deleted: " + failure);
    }

    JSON::Value document = {{"archives", report.archives},
                            {"deleted", report.deleted},
                            {"remaining", report.remaining},
                            {"vaultDeleted", report.vaultDeleted},
                            {"vaultPending", report.vaultPending},
                            {"bytes", report.bytes},
                            {"deletedNow", report.deletedNow},
                            {"alreadyGone", report.alreadyGone},
                            {"throttled", report.throttled},
                            {"failed", report.failed},
                            {"kept", kept},
                            {"dryRun", options.dryRun}};
    output.result(document, [&](std::ostream& out) {
        if (options.dryRun) {
            out << "Would delete " << archivesText(report.remaining) << " ("
                << sizeText(report.bytes) << " in all " << archivesText(report.archives)
                << " covered) of vault " << vault->name
                << (options.deleteVault ? ", then the vault" : "") << ".\n";
            return;
        }
        out << "Deleted " << archivesText(report.deletedNow) << " of vault " << vault->name;
        if (report.alreadyGone > 0) {
            out << " (" << report.alreadyGone << " already gone)";
        }
        out << (report.resumed ? ", going on with an earlier run" : "") << "; " << report.deleted
            << " of " << report.archives << " gone, " << report.remaining << " remaining.\n";
        if (report.vaultDeleted) {
            out << "Deleted vault " << vault->name << ".\n";
        }
    });
    if (report.failed > 0) {
        throw CliExit(CliExit::kFailure, archivesText(report.failed) + " could not be deleted; " +
                                             "run the purge again to retry them.");
    }
    if (report.vaultPending) {
        throw CliExit(CliExit::kPending,
                      "Every archive is gone, but the service refuses to delete vault " +
                          vault->name +
                          " until its next inventory shows it empty (about a day): run the "
                          "same command again later.");
    }
}

}  // namespace

void registerVaultPurgeCommand(CLI::App& vault, CliContext& context) {
    auto options = std::make_shared<PurgeOptions>();
    CLI::App* purge = vault.add_subcommand(
        "purge",
        "Delete every archive the latest imported inventory lists (resumable), then "
        "optionally the vault");
    purge->add_option("NAME", options->name, "Vault name")->required();
    purge
        ->add_option("--older-than", options->olderThanDays,
                     "Only archives created at least this many days ago")
        ->type_name("DAYS")
        ->check(CLI::NonNegativeNumber);
    purge->add_flag("--delete-vault", options->deleteVault,
                    "Then delete the vault; while the service refuses, exit 75 and try again "
                    "on the next run");
    purge->add_flag("--dry-run", options->dryRun, "List what would be deleted; delete nothing");
    purge->add_flag("--yes", options->yes, "Do not ask (needed without a terminal)");
    purge->callback([&context, options] { purgeCommand(context, *options); });
}

}  // namespace quillon::cli
