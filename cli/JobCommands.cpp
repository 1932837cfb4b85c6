// quillon job inventory|retrieve|list|describe|wait|download, and the verified job download.
// Threads: main thread; answers arrive on client threads into Awaited's state, a download runs
//   in JobOutputDownload and its progress line locks itself.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ios>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "HumanText.h"
#include "JobIdCache.h"
#include "JobOutput.h"
#include "ProgressLine.h"
#include "TextTable.h"
#include "VaultArgument.h"
#include "accounts/AccountRegion.h"  // IWYU pragma: keep
#include "accounts/ApiRequest.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "foundation/MainQueue.h"
#include "foundation/Support.h"
#include "inventory/GlacierRetrievalTier.h"
#include "inventory/Job.h"
#include "inventory/Jobs.h"
#include "ops/Awaited.h"
#include "settings/Diagnostics.h"
#include "settings/Preferences.h"
#include "transfers/JobOutputDownload.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;

constexpr double kMinPollInterval = 0.1;
constexpr double kMaxPollInterval = 900;
constexpr int kFailuresBeforeSaying = 3;
constexpr double kMaxOutagePause = 300;
constexpr std::int64_t kMiB = 1048576;

struct VaultOption {
    std::string vault;
};

struct InventoryOptions : VaultOption {
    std::string description;
};

struct RetrieveOptions : VaultOption {
    std::string archiveId;
    std::string tier = "Standard";
    std::string range;
    std::string description;
};

struct JobIdOptions : VaultOption {
    std::string jobId;
};

struct WaitOptions : JobIdOptions {
    double interval = 30;
    double timeout = 2 * 86400;
};

struct DownloadOptions : JobIdOptions {
    std::string out;
    bool force = false;
};

// `transient`, when given, receives a failure that may pass (ApiRequest::transientReason)
// instead of failing.
Job::Ptr describeJob(CliContext& context, const VaultPtr& vault, const std::string& jobId,
                     ErrorPtr* transient = nullptr) {
    Job::Ptr job = Job::create(vault);
    job->id = jobId;
    ops::Awaited<> described(context);
    described.track(job->apiDescribe(described.completion()));
    auto outcome = described.wait();
    if (outcome.error) {
        if (transient == nullptr || !ApiRequest::transientReason(*outcome.error)) {
            context.fail(outcome.error);
        }
        *transient = outcome.error;
    }
    return job;
}

JSON::Value jobDocument(const Job& job) {
    JSON::Value document = job.data.value().is_object() ? job.data.value() : JSON::Value::object();
    document["jobId"] = job.id;
    return document;
}

std::string textOr(const JSON& value, const std::string& fallback = "-") {
    if (auto text = value.string()) {
        return *text;
    }
    if (auto number = value.int64()) {
        return std::to_string(*number);
    }
    return fallback;
}

void startedJob(CliContext& context, const Job::Ptr& job, const std::string& what) {
    JobIdCache::remember(*job->vault(), {job->id});
    context.output().result({{"jobId", job->id}},
                            [&](std::ostream& out) { out << job->id << "\n"; });
    context.output().note("Started " + what + " job. Follow it with: quillon job wait " + job->id +
                          " --vault " + job->vault()->name);
}

void startInventory(CliContext& context, const InventoryOptions& options) {
    VaultPtr vault = vaultNamed(context, options.vault);
    std::optional<std::string> description;
    if (!options.description.empty()) {
        description = options.description;
    }
    ops::Awaited<Job::Ptr> started(context);
    started.track(vault->jobs().apiInitiateInventoryRetrieval(description, started.completion()));
    startedJob(context, started.get(), "an inventory");
}

GlacierRetrievalTier parseTier(CliContext& context, const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "standard") {
        return GlacierRetrievalTier::standard;
    }
    if (lower == "expedited") {
        return GlacierRetrievalTier::expedited;
    }
    if (lower == "bulk") {
        return GlacierRetrievalTier::bulk;
    }
    context.usageError("Unknown tier \"" + text + "\": use Standard, Expedited or Bulk.");
}

void startRetrieval(CliContext& context, const RetrieveOptions& options) {
    GlacierRetrievalTier tier = parseTier(context, options.tier);
    std::optional<std::string> range;
    if (!options.range.empty()) {
        auto bounds = extractRange(options.range);
        if (!bounds || bounds->first < 0 ||
            options.range != std::to_string(bounds->first) + "-" + std::to_string(bounds->second)) {
            context.usageError("The range \"" + options.range +
                               "\" is not FIRST-LAST with byte offsets, FIRST below LAST.");
        }
        range = options.range;
    }
    VaultPtr vault = vaultNamed(context, options.vault);
    std::optional<std::string> description;
    if (!options.description.empty()) {
        description = options.description;
    }
    ops::Awaited<Job::Ptr> started(context);
    started.track(vault->jobs().apiInitiateArchiveRetrieval(options.archiveId, description, range,
                                                            tier, started.completion()));
    startedJob(context, started.get(), "an archive retrieval");
}

void listJobs(CliContext& context, const VaultOption& options) {
    VaultPtr vault = vaultNamed(context, options.vault);
    ops::Awaited<std::vector<Job::Ptr>> listed(context);
    vault->jobs().apiGetAll(listed.completion());
    const std::vector<Job::Ptr> jobs = listed.get();
    JSON::Value document = JSON::Value::array();
    std::vector<std::string> ids;
    for (const Job::Ptr& job : jobs) {
        document.push_back(jobDocument(*job));
        ids.push_back(job->id);
    }
    JobIdCache::remember(*vault, ids);
    context.output().result(document, [&](std::ostream& out) {
        if (jobs.empty()) {
            out << "No jobs in the vault " << vault->name << ".\n";
            return;
        }
        TextTable table({"JOB ID", "ACTION", "STATUS", "TIER", "CREATED"});
        for (const Job::Ptr& job : jobs) {
            table.addRow({job->id, textOr(job->data["Action"]), textOr(job->data["StatusCode"]),
                          textOr(job->data["Tier"]), timeText(textOr(job->data["CreationDate"]))});
        }
        table.print(out);
    });
}

void printJob(std::ostream& out, const Job& job) {
    out << "Job:        " << job.id << "\n"
        << "Action:     " << textOr(job.data["Action"]) << "\n"
        << "Status:     " << textOr(job.data["StatusCode"]);
    if (auto message = job.data["StatusMessage"].string()) {
        out << " (" << *message << ")";
    }
    out << "\n"
        << "Tier:       " << textOr(job.data["Tier"]) << "\n"
        << "Created:    " << timeText(textOr(job.data["CreationDate"])) << "\n"
        << "Completed:  " << timeText(textOr(job.data["CompletionDate"])) << "\n";
    if (auto archive = job.data["ArchiveId"].string()) {
        out << "Archive:    " << *archive << "\n"
            << "Range:      " << textOr(job.data["RetrievalByteRange"]) << "\n";
    }
    if (auto hash = job.data["SHA256TreeHash"].string()) {
        out << "Tree hash:  " << *hash << "\n";
    }
}

void showJob(CliContext& context, const JobIdOptions& options) {
    VaultPtr vault = vaultNamed(context, options.vault);
    Job::Ptr job = describeJob(context, vault, options.jobId);
    context.output().result(jobDocument(*job), [&](std::ostream& out) { printJob(out, *job); });
}

void waitForJob(CliContext& context, const WaitOptions& options) {
    if (!(options.timeout > 0)) {
        context.usageError("--timeout must be a positive number of seconds.");
    }
    double interval = std::clamp(std::isfinite(options.interval) ? options.interval : 0.0,
                                 kMinPollInterval, kMaxPollInterval);
    VaultPtr vault = vaultNamed(context, options.vault);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeout));
    bool announced = false;
    // Looks that failed in a row. From the third on the wait says so on standard error (again
    // at the 4th, 8th, 16th...) and looks half as often each time, at most every
    // kMaxOutagePause seconds, until the service answers again.
    int failures = 0;
    while (true) {
        // A poll that meets a passing failure, even after its retries, counts as "not yet".
        ErrorPtr transient;
        Job::Ptr job = describeJob(context, vault, options.jobId, &transient);
        double pause = interval;
        if (transient) {
            Diagnostics::log("Polling job " + options.jobId +
                             " failed, trying again later: " + transient->localizedDescription());
            ++failures;
            if (failures >= kFailuresBeforeSaying) {
                pause = std::min(
                    interval * std::pow(2.0, std::min(failures - kFailuresBeforeSaying + 1, 20)),
                    std::max(interval, kMaxOutagePause));
            }
            if (failures == kFailuresBeforeSaying ||
                (failures > kFailuresBeforeSaying && (failures & (failures - 1)) == 0)) {
                context.output().error("Warning: the service did not answer " +
                                       std::to_string(failures) + " looks at job " + options.jobId +
                                       " in a row (" + transient->localizedDescription() +
                                       "); still waiting, next look in " +
                                       std::to_string(static_cast<long>(std::ceil(pause))) + " s.");
            }
        } else if (failures > 0) {
            if (failures >= kFailuresBeforeSaying) {
                context.output().error("The service answers again; still waiting for job " +
                                       options.jobId + ".");
            }
            failures = 0;
        }
        Job::StatusCode status = job->statusCode();
        if (status == Job::StatusCode::Succeeded) {
            context.output().result(jobDocument(*job), [&](std::ostream& out) {
                out << "Job " << job->id << " succeeded.\n";
            });
            return;
        }
        if (status == Job::StatusCode::Failed) {
            std::string message = job->data["StatusMessage"].stringValue();
            context.fail("Job " + job->id + " failed" + (message.empty() ? "." : ": " + message));
        }
        double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0) {
            context.fail("Job " + options.jobId + " did not complete within " +
                         std::to_string(static_cast<long>(std::ceil(options.timeout))) +
                         " seconds (status " +
                         (failures > 0 ? std::string("unknown: the service did not answer")
                                       : textOr(job->data["StatusCode"], "unknown")) +
                         ").");
        }
        if (!announced && !transient) {
            context.output().note("Waiting for job " + job->id + " (" +
                                  textOr(job->data["StatusCode"], "unknown") + ")...");
            announced = true;
        }
        MainQueue::run(std::min(pause, left));
    }
}

}  // namespace

JobOutputFile downloadJobOutput(CliContext& context, const VaultPtr& vault,
                                const std::string& jobId, const std::string& out) {
    Job::Ptr job = describeJob(context, vault, jobId);
    if (job->statusCode() != Job::StatusCode::Succeeded) {
        context.fail("Job " + job->id + " has no output to download (status " +
                     textOr(job->data["StatusCode"], "unknown") +
                     "). Wait for it with: quillon job wait " + job->id + " --vault " +
                     vault->name);
    }
    auto preferences = Preferences::sharedInstance();
    JobOutputDownload::Options settings;
    settings.partSize = preferences->downloadPartSize * kMiB;
    settings.concurrency =
        static_cast<int>(std::clamp<std::int64_t>(preferences->maxConcurrentDownloads, 1, 64));
    auto progress = std::make_shared<ProgressLine>(context.output(), "Downloading");
    settings.progress = [progress](std::uint64_t, std::int64_t done, std::int64_t expected) {
        progress->update(done, expected);
    };
    settings.resuming = [&context](std::int64_t kept) {
        context.output().note("Resuming the download: " + std::to_string(kept) +
                              " bytes are kept from the last run.");
    };
    auto result = JobOutputDownload(job, out, settings).run();
    progress->finish();
    if (result.error) {
        std::string message = result.error->localizedDescription();
        if (result.keptBytes > 0) {
            message += "\n" + std::to_string(result.keptBytes) + " bytes, verified, are kept in " +
                       result.partPath + "; run the same command again to resume.";
        }
        context.fail(message);
    }
    return {result.path, result.size, result.treeHash, result.resumedAt};
}

namespace {

// The job's output on standard output: downloaded and verified in a scratch file of the
// application directory named after the job (so that a cut download resumes there), then copied.
void downloadToStandardOutput(CliContext& context, const DownloadOptions& options) {
    if (context.output().json()) {
        context.usageError("--out - writes the job's output on standard output; leave out --json.");
    }
    VaultPtr vault = vaultNamed(context, options.vault);
    std::string fileName = "job-" + options.jobId + ".out";
    std::replace(fileName.begin(), fileName.end(), '/', '_');  // one name inside the directory
    const std::string scratch =
        (fs::path(Support::sharedInstance()->directory()) / fileName).string();
    const JobOutputFile output = downloadJobOutput(context, vault, options.jobId, scratch);
    {
        std::ifstream copy(output.path, std::ios::binary);
        std::ostream& out = context.output().out();
        std::vector<char> buffer(1 << 20);
        while (copy && out) {
            copy.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            out.write(buffer.data(), copy.gcount());
        }
        const bool unread = copy.bad();
        copy.close();
        std::error_code ignored;
        fs::remove(output.path, ignored);
        if (unread) {
            context.fail("Cannot read " + output.path + "; the output is incomplete.");
        }
        context.output().checkOut();
    }
    context.output().note("Wrote " + sizeText(output.size) + " to standard output" +
                          (output.treeHash.empty() ? "" : " (tree hash verified)") + ".");
}

void downloadJob(CliContext& context, const DownloadOptions& options) {
    if (options.out == "-") {
        downloadToStandardOutput(context, options);
        return;
    }
    std::error_code ec;
    if (fs::is_directory(options.out, ec)) {
        context.usageError("--out " + options.out + " is a directory; name a file.");
    }
    if (fs::exists(options.out, ec) && !options.force) {
        context.fail(options.out + " exists; --force overwrites it.");
    }
    VaultPtr vault = vaultNamed(context, options.vault);
    const JobOutputFile output = downloadJobOutput(context, vault, options.jobId, options.out);
    JSON::Value document = {
        {"jobId", options.jobId},
        {"path", output.path},
        {"size", output.size},
        {"treeHash", output.treeHash.empty() ? JSON::Value() : JSON::Value(output.treeHash)},
        {"resumedAt", output.resumedAt}};
    context.output().result(document, [&](std::ostream& out) {
        out << "Downloaded " << sizeText(output.size) << " to " << output.path
            << (output.treeHash.empty() ? "" : " (tree hash verified)") << ".\n";
    });
}

void addVaultOption(CLI::App* command, VaultOption& options) {
    command->add_option("--vault", options.vault, "The vault")->required()->type_name("NAME");
}

}  // namespace

void registerJobCommands(CLI::App& app, CliContext& context) {
    CLI::App* job = app.add_subcommand("job", "Inventory and archive retrieval jobs");
    job->require_subcommand(1);

    auto listOptions = std::make_shared<VaultOption>();
    CLI::App* list = job->add_subcommand("list", "List the vault's jobs");
    addVaultOption(list, *listOptions);
    list->callback([&context, listOptions] { listJobs(context, *listOptions); });

    auto inventoryOptions = std::make_shared<InventoryOptions>();
    CLI::App* inventory =
        job->add_subcommand("inventory", "Start an inventory retrieval; prints the job id");
    addVaultOption(inventory, *inventoryOptions);
    inventory->add_option("--description", inventoryOptions->description,
                          "A description of the job");
    inventory->callback(
        [&context, inventoryOptions] { startInventory(context, *inventoryOptions); });

    auto retrieveOptions = std::make_shared<RetrieveOptions>();
    CLI::App* retrieve =
        job->add_subcommand("retrieve", "Start an archive retrieval; prints the job id");
    retrieve->add_option("ARCHIVE_ID", retrieveOptions->archiveId, "The archive")->required();
    addVaultOption(retrieve, *retrieveOptions);
    retrieve->add_option("--tier", retrieveOptions->tier, "Standard (default), Expedited or Bulk")
        ->type_name("T");
    retrieve
        ->add_option("--range", retrieveOptions->range,
                     "Only these bytes, both ends included (megabyte aligned)")
        ->type_name("FIRST-LAST");
    retrieve->add_option("--description", retrieveOptions->description, "A description of the job");
    retrieve->callback([&context, retrieveOptions] { startRetrieval(context, *retrieveOptions); });

    auto describeOptions = std::make_shared<JobIdOptions>();
    CLI::App* describe = job->add_subcommand("describe", "Show a job as the service describes it");
    describe->add_option("JOB_ID", describeOptions->jobId, "The job")->required();
    addVaultOption(describe, *describeOptions);
    describe->callback([&context, describeOptions] { showJob(context, *describeOptions); });

    auto waitOptions = std::make_shared<WaitOptions>();
    CLI::App* wait = job->add_subcommand(
        "wait", "Wait until a job has succeeded (exit status 2 when it failed or time ran out)");
    wait->add_option("JOB_ID", waitOptions->jobId, "The job")->required();
    addVaultOption(wait, *waitOptions);
    wait->add_option("--interval", waitOptions->interval,
                     "Seconds between two looks at the job (0.1 to 900, default 30)")
        ->type_name("SECONDS");
    wait->add_option("--timeout", waitOptions->timeout,
                     "Give up after this many seconds "
                     "(default two days)")
        ->type_name("SECONDS");
    wait->callback([&context, waitOptions] { waitForJob(context, *waitOptions); });

    auto downloadOptions = std::make_shared<DownloadOptions>();
    CLI::App* download = job->add_subcommand(
        "download", "Download a job's output to FILE (through FILE.part, resumed when it exists)");
    download->add_option("JOB_ID", downloadOptions->jobId, "The job")->required();
    addVaultOption(download, *downloadOptions);
    download->add_option("--out", downloadOptions->out, "The file to write; - for standard output")
        ->required()
        ->type_name("FILE");
    download->add_flag("--force", downloadOptions->force, "Overwrite FILE when it exists");
    download->callback([&context, downloadOptions] { downloadJob(context, *downloadOptions); });
}

}  // namespace quillon::cli
