// quillon restore: starts or goes on with a vault's restore plan, shows it or forgets it.
// Runs on the main thread; the engine's downloads run on its own workers and the client's.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <ios>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "CliContext.h"
#include "CliExit.h"
#include "Commands.h"
#include "HumanText.h"
#include "ProgressLine.h"
#include "VaultArgument.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "inventory/GlacierRetrievalTier.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryManager.h"
#include "settings/Preferences.h"
#include "transfers/PartFile.h"
#include "transfers/RestoreEngine.h"
#include "transfers/RestoreEstimate.h"
#include "transfers/RestorePlan.h"
#include "vaults/Vault.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;
using State = RestorePlan::State;

constexpr std::int64_t kMiB = 1048576;

struct RestoreOptions {
    std::vector<std::string> paths;
    std::string vault;
    std::string to;
    std::string tier = "Standard";
    std::string maxBytesPerDay;
    std::int64_t maxJobs = 100;
    bool wait = false;
    bool dryRun = false;
    bool overwrite = false;
    bool status = false;
    bool cancel = false;
    double interval = 300;
    double timeout = 30 * 86400.0;
};

// "500GiB", "1.5 MiB", "1000": bytes, with the IEC suffixes (and B).
std::optional<std::int64_t> parseSize(const std::string& text) {
    static const std::vector<std::pair<std::string, double>> kUnits = {{"KIB", 1024.0},
                                                                       {"MIB", 1048576.0},
                                                                       {"GIB", 1073741824.0},
                                                                       {"TIB", 1099511627776.0},
                                                                       {"PIB", 1125899906842624.0},
                                                                       {"B", 1.0},
                                                                       {"", 1.0}};
    std::size_t used = 0;
    double number = 0;
    try {
        number = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::string unit = text.substr(used);
    unit.erase(std::remove_if(unit.begin(), unit.end(),
                              [](unsigned char c) { return std::isspace(c) != 0; }),
               unit.end());
    std::transform(unit.begin(), unit.end(), unit.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const auto& [name, factor] : kUnits) {
        if (unit == name) {
            const double bytes = std::floor(number * factor);
            if (!std::isfinite(bytes) || bytes < 0 || bytes > 9.0e18) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(bytes);
        }
    }
    return std::nullopt;
}

GlacierRetrievalTier tierNamed(CliContext& context, const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "standard" || lower == "expedited" || lower == "bulk") {
        lower[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(lower[0])));
        return glacierRetrievalTierFromString(lower);
    }
    context.usageError("Unknown tier \"" + text + "\": use Standard, Expedited or Bulk.");
}

std::string trimmedPath(const std::string& path) {
    std::size_t first = path.find_first_not_of('/');
    if (first == std::string::npos) {
        return "";
    }
    std::size_t last = path.find_last_not_of('/');
    return path.substr(first, last - first + 1);
}

std::string dollars(double amount) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(2);
    text << "$" << amount;
    return text.str();
}

JSON::Value totalsDocument(const RestorePlan::Totals& totals) {
    return {{"archives", totals.archives}, {"bytes", totals.bytes}};
}

JSON::Value estimateDocument(const RestoreEstimate& estimate, GlacierRetrievalTier tier,
                             std::int64_t bytesPerDay) {
    JSON::Value costs = JSON::Value::object();
    for (const auto& [each, cost] : estimate.costs) {
        costs[description(each)] = std::round(cost * 10000) / 10000;
    }
    return {{"archives", estimate.archives},
            {"bytes", estimate.bytes},
            {"requests", estimate.requests},
            {"jobs", estimate.jobs},
            {"days", estimate.days},
            {"maxBytesPerDay", bytesPerDay > 0 ? JSON::Value(bytesPerDay) : JSON::Value()},
            {"tier", description(tier)},
            {"cost", costs}};
}

// What every plan shows first: what is left to retrieve and what it costs.
void printEstimate(std::ostream& out, const RestoreEstimate& estimate, GlacierRetrievalTier tier,
                   std::int64_t bytesPerDay) {
    out << "Archives:  " << estimate.archives << " to retrieve (" << sizeText(estimate.bytes)
        << ")\n"
        << "Requests:  " << estimate.requests << " (" << estimate.jobs << " retrieval jobs, "
        << estimate.requests - estimate.jobs << " downloads)\n"
        << "Days:      " << estimate.days
        << (bytesPerDay > 0 ? " at " + sizeText(bytesPerDay) + " a day" : std::string("")) << "\n"
        << "Cost:     ";
    for (GlacierRetrievalTier each : {GlacierRetrievalTier::bulk, GlacierRetrievalTier::standard,
                                      GlacierRetrievalTier::expedited}) {
        out << " " << description(each) << " " << dollars(estimate.costs.at(each))
            << (each == tier ? " (chosen)" : "")
            << (each == GlacierRetrievalTier::expedited ? "" : ",");
    }
    out << "\n";
}

void report(CliContext& context, const RestoreEngine::Report& result,
            const RestoreEstimate& estimate, GlacierRetrievalTier tier, std::int64_t bytesPerDay,
            const std::string& headline) {
    JSON::Value states = JSON::Value::object();
    for (State state : RestorePlan::kStates) {
        auto found = result.states.find(state);
        states[RestorePlan::name(state)] =
            totalsDocument(found == result.states.end() ? RestorePlan::Totals{} : found->second);
    }
    JSON::Value collisions = JSON::Value::array();
    for (const auto& collision : result.collisions) {
        collisions.push_back({{"path", collision.path},
                              {"archiveId", collision.archiveId},
                              {"size", collision.size},
                              {"keptArchiveId", collision.keptArchiveId}});
    }
    JSON::Value failures = JSON::Value::array();
    for (const auto& failure : result.failures) {
        failures.push_back(
            {{"path", failure.path}, {"archiveId", failure.archiveId}, {"error", failure.error}});
    }
    JSON::Value document = {{"archives", result.all.archives},
                            {"bytes", result.all.bytes},
                            {"states", states},
                            {"estimate", estimateDocument(estimate, tier, bytesPerDay)},
                            {"requested", result.requested},
                            {"reused", result.reused},
                            {"downloaded", result.downloaded},
                            {"expiredRequestedAgain", result.expired},
                            {"policyRefusals", result.policyRefusals},
                            {"collisions", collisions},
                            {"failures", failures},
                            {"finished", result.finished()}};
    context.output().result(document, [&](std::ostream& out) {
        printEstimate(out, estimate, tier, bytesPerDay);
        out << "Plan:      " << result.all.archives << " archives (" << sizeText(result.all.bytes)
            << "):";
        for (State state : RestorePlan::kStates) {
            auto found = result.states.find(state);
            out << " " << (found == result.states.end() ? 0 : found->second.archives) << " "
                << RestorePlan::name(state) << (state == State::failed ? "" : ",");
        }
        out << "\n";
        if (result.expired > 0) {
            out << "Expired:   " << result.expired
                << " job outputs expired before their download and were requested again\n";
        }
        for (const auto& collision : result.collisions) {
            out << "Skipped:   " << collision.path << " (archive " << collision.archiveId
                << "): a newer archive has the same path\n";
        }
        for (const auto& failure : result.failures) {
            out << "Failed:    " << (failure.path.empty() ? std::string("-") : failure.path) << ": "
                << failure.error << "\n";
        }
        if (!headline.empty()) {
            out << headline << "\n";
        }
    });
}

std::string planPath(const VaultPtr& vault) {
    return (fs::path(vault->directory()) / RestorePlan::kFileName).string();
}

RestoreEstimate estimateOf(RestorePlan& plan, std::int64_t partSize, std::int64_t bytesPerDay) {
    const RestorePlan::Totals planned = plan.totals()[State::planned];
    return RestoreEstimate::make(planned.archives, planned.bytes,
                                 plan.plannedDownloadRequests(partSize), bytesPerDay);
}

RestorePlanPtr buildPlan(CliContext& context, const VaultPtr& vault, const std::string& path,
                         const RestoreOptions& options, const std::string& to) {
    InventoryPtr inventory = vault->inventoryManager().latest();
    if (!inventory || inventory->inventoryDate <= 0) {
        context.fail("Vault \"" + vault->name +
                     "\" has no imported inventory: run \"quillon inventory import\" first.");
    }
    RestorePlan::Selection selection{to, {}};
    for (const std::string& each : options.paths) {
        if (std::string trimmed = trimmedPath(each); !trimmed.empty()) {
            selection.paths.push_back(trimmed);
        }
    }
    ErrorPtr error;
    RestorePlanPtr plan = RestorePlan::build(path, vault->db(), inventory->id, selection, error);
    if (!plan) {
        context.fail(error);
    }
    return plan;
}

void restore(CliContext& context, const RestoreOptions& options) {
    const GlacierRetrievalTier tier = tierNamed(context, options.tier);
    std::int64_t bytesPerDay = 0;
    if (!options.maxBytesPerDay.empty()) {
        auto parsed = parseSize(options.maxBytesPerDay);
        if (!parsed || *parsed <= 0) {
            context.usageError("--max-bytes-per-day takes a size such as 500GiB, not \"" +
                               options.maxBytesPerDay + "\".");
        }
        bytesPerDay = *parsed;
    }
    if (options.maxJobs < 1) {
        context.usageError("--max-jobs must be at least 1.");
    }
    if (options.status && options.cancel) {
        context.usageError("--status and --cancel go alone.");
    }
    VaultPtr vault = vaultNamed(context, options.vault);
    const std::string path = planPath(vault);
    auto preferences = Preferences::sharedInstance();
    const std::int64_t partSize = std::max<std::int64_t>(1, preferences->downloadPartSize) * kMiB;

    if (options.cancel) {
        RestorePlanPtr plan = RestorePlan::open(path);
        if (!plan) {
            context.output().result({{"cancelled", false}}, [&](std::ostream& out) {
                out << "Vault " << vault->name << " has no restore plan.\n";
            });
            return;
        }
        // Partial downloads go with the plan; restored files stay.
        const std::string to = plan->to();
        for (State state : {State::ready, State::requested}) {
            for (std::int64_t after = 0;;) {
                auto rows = plan->rows(state, after, 1000);
                for (const auto& row : rows) {
                    after = row.id;
                    PartFile((fs::path(to) / row.localPath).string() + ".restore", row.jobId)
                        .discard();
                }
                if (rows.size() < 1000) {
                    break;
                }
            }
        }
        const std::int64_t downloaded = plan->totals()[State::downloaded].archives;
        plan.reset();
        RestorePlan::remove(path);
        context.output().result({{"cancelled", true}}, [&](std::ostream& out) {
            out << "Forgot the restore plan of vault " << vault->name << " (" << downloaded
                << " restored files stay).\n";
        });
        return;
    }

    RestorePlanPtr plan = RestorePlan::open(path);
    if (options.status) {
        if (!plan) {
            RestoreEngine::Report empty;
            for (State state : RestorePlan::kStates) {
                empty.states[state] = {};
            }
            report(context, empty, RestoreEstimate::make(0, 0, 0, bytesPerDay), tier, bytesPerDay,
                   "Vault " + vault->name + " has no restore plan.");
            return;
        }
        RestoreEngine engine(vault, plan, {});
        report(context, engine.summary(), estimateOf(*plan, partSize, bytesPerDay), tier,
               bytesPerDay, "");
        return;
    }

    if (options.to.empty() && !plan) {
        context.usageError("restore needs --to DIR, the directory to restore into.");
    }
    std::string to;
    if (!options.to.empty()) {
        std::error_code ec;
        to = fs::absolute(options.to, ec).lexically_normal().string();
        if (to.size() > 1 && to.back() == '/') {
            to.pop_back();
        }
    }
    if (plan) {
        std::vector<std::string> wanted;
        for (const std::string& each : options.paths) {
            if (std::string trimmed = trimmedPath(each); !trimmed.empty()) {
                wanted.push_back(trimmed);
            }
        }
        if ((!to.empty() && to != plan->to()) || (!wanted.empty() && wanted != plan->paths())) {
            context.usageError("Vault " + vault->name + " has a restore plan into " + plan->to() +
                               "; go on with it as it was started, or forget it with: quillon "
                               "restore --vault " +
                               vault->name + " --cancel");
        }
    }

    if (options.dryRun) {
        RestorePlanPtr shown = plan;
        const std::string trial = path + ".dry-run";
        if (!shown) {
            RestorePlan::remove(trial);
            shown = buildPlan(context, vault, trial, options, to);
        }
        RestoreEngine engine(vault, shown, {});
        auto summary = engine.summary();
        auto estimate = estimateOf(*shown, partSize, bytesPerDay);
        shown.reset();
        if (!plan) {
            RestorePlan::remove(trial);
        }
        report(context, summary, estimate, tier, bytesPerDay, "Dry run: nothing was requested.");
        return;
    }

    if (!plan) {
        plan = buildPlan(context, vault, path, options, to);
    }
    RestoreEngine::Settings settings;
    settings.tier = tier;
    settings.maxBytesPerDay = bytesPerDay;
    settings.maxJobs = options.maxJobs;
    settings.overwrite = options.overwrite;
    settings.partSize = partSize;
    const int downloads =
        static_cast<int>(std::clamp<std::int64_t>(preferences->maxConcurrentDownloads, 1, 64));
    settings.downloads = downloads;
    settings.partConcurrency = downloads;
    settings.note = [&context](const std::string& text) { context.output().note(text); };
    ProgressLine progress(context.output(), "Restoring");
    settings.progress = [&progress](std::int64_t received, std::int64_t ready) {
        progress.update(received, ready);
    };
    const RestoreEstimate estimate = estimateOf(*plan, partSize, bytesPerDay);
    RestoreEngine engine(vault, plan, settings);
    const auto result =
        engine.run(options.wait, std::clamp(options.interval, 0.01, 86400.0), options.timeout);
    progress.finish();
    const bool failed = !result.failures.empty();
    std::string headline;
    if (failed) {
        headline = std::to_string(result.failures.size()) + " failed.";
    } else if (result.finished()) {
        headline = "Restore complete: every archive is in " + plan->to() + ".";
    } else {
        headline = "Retrieval jobs are still running: run the same command again later.";
    }
    report(context, result, estimate, tier, bytesPerDay, headline);
    if (failed) {
        throw CliExit(CliExit::kFailure,
                      context.options().quiet ? "" : "The restore of some archives failed.");
    }
    if (!result.finished()) {
        throw CliExit(CliExit::kPending, "");
    }
}

}  // namespace

void registerRestoreCommand(CLI::App& app, CliContext& context) {
    auto options = std::make_shared<RestoreOptions>();
    CLI::App* command = app.add_subcommand(
        "restore",
        "Restore folders or files of a vault's latest imported inventory into a directory, "
        "through a stored plan (exit 0 done, 75 jobs still running, 2 failures)");
    command->add_option("FOLDER|PATH", options->paths,
                        "Folders or paths of the inventory (default: all of it)");
    command->add_option("--vault", options->vault, "The vault")->required()->type_name("NAME");
    command->add_option("--to", options->to, "The directory to restore into")->type_name("DIR");
    command->add_option("--tier", options->tier, "Bulk, Standard (default) or Expedited")
        ->type_name("T");
    command
        ->add_option("--max-bytes-per-day", options->maxBytesPerDay,
                     "Request at most this much a day, in the service's time (e.g. 500GiB)")
        ->type_name("SIZE");
    command
        ->add_option("--max-jobs", options->maxJobs,
                     "Retrieval jobs outstanding at once (default 100)")
        ->type_name("N");
    command->add_flag("--wait", options->wait, "Keep polling until the plan is done");
    command
        ->add_option("--interval", options->interval,
                     "With --wait, the longest pause between two looks, in seconds (default 300)")
        ->type_name("SECONDS");
    command
        ->add_option("--timeout", options->timeout,
                     "With --wait, give up after this many seconds (default 30 days)")
        ->type_name("SECONDS");
    command->add_flag("--dry-run", options->dryRun,
                      "Show the archives, bytes, requests, days and cost; request nothing");
    command->add_flag("--overwrite", options->overwrite, "Replace local files that differ");
    command->add_flag("--status", options->status, "Show the plan per state");
    command->add_flag("--cancel", options->cancel, "Forget the plan (files already restored stay)");
    command->callback([&context, options] { restore(context, *options); });
}

}  // namespace quillon::cli
