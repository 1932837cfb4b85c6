// quillon multipart list|abort: the unfinished multipart uploads of a vault, as the service
// holds them, whoever started them. Runs on the main thread; model completions arrive on client
// threads and land in state shared with them.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "HumanText.h"
#include "TextTable.h"
#include "VaultArgument.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "foundation/Support.h"
#include "inventory/InventoryItem.h"
#include "ops/Awaited.h"
#include "transfers/MultipartUpload.h"
#include "transfers/MultipartUploads.h"
#include "vaults/Vault.h"

namespace quillon::cli {

namespace {

struct AbortOptions {
    std::string uploadId;
    std::string vault;
    bool all = false;
    double olderThanDays = 0;
};

struct Listed {
    MultipartUploadPtr upload;
    std::int64_t partsHeld = 0;
    double ageDays = 0;
};

// Every unfinished upload with the number of parts the service holds for it.
std::vector<Listed> listUploads(CliContext& context, const VaultPtr& vault) {
    ops::Awaited<std::vector<MultipartUploadPtr>> listing(context);
    vault->multipartUploads().apiGetAll(listing.completion());
    std::vector<MultipartUploadPtr> uploads = listing.get();
    std::vector<Listed> result;
    for (const MultipartUploadPtr& upload : uploads) {
        ops::Awaited<MultipartUpload::Parts> counting(context);
        upload->apiGetAllParts([done = counting.completion()](MultipartUpload::Parts parts,
                                                              std::int64_t, ErrorPtr error) {
            done(std::move(parts), std::move(error));
        });
        auto held = static_cast<std::int64_t>(counting.get().size());
        double created = awsDateFromString(upload->data["CreationDate"].stringValue()).value_or(0);
        result.push_back({upload, held, created > 0 ? (nowSecondsExact() - created) / 86400 : 0});
    }
    return result;
}

std::string ageText(double days) {
    if (days >= 1) {
        return std::to_string(static_cast<long>(days)) + " d";
    }
    return std::to_string(static_cast<long>(days * 24)) + " h";
}

// The path an upload's description stands for, decoded as the inventory decodes it.
std::string pathOf(const JSON& data) {
    InventoryItem item;
    item.archiveDescription = data["ArchiveDescription"].stringValue();
    item.decodeDescription();
    return item.name;
}

void listCommand(CliContext& context, const std::string& vaultName) {
    VaultPtr vault = vaultNamed(context, vaultName);
    std::vector<Listed> uploads = listUploads(context, vault);
    JSON::Value document = JSON::Value::array();
    for (const Listed& entry : uploads) {
        const JSON& data = entry.upload->data;
        document.push_back({{"uploadId", entry.upload->id},
                            {"description", data["ArchiveDescription"].stringValue()},
                            {"name", pathOf(data)},
                            {"partSize", data["PartSizeInBytes"].int64Value()},
                            {"partsHeld", entry.partsHeld},
                            {"creationDate", data["CreationDate"].stringValue()},
                            {"ageDays", entry.ageDays}});
    }
    context.output().result(document, [&](std::ostream& out) {
        if (uploads.empty()) {
            out << "No unfinished multipart uploads in " << vault->name << ".\n";
            return;
        }
        TextTable table({"UPLOAD ID", "PATH", "PART SIZE", "PARTS", "AGE"});
        for (const Listed& entry : uploads) {
            const JSON& data = entry.upload->data;
            table.addRow({entry.upload->id, pathOf(data),
                          sizeText(data["PartSizeInBytes"].int64Value()),
                          std::to_string(entry.partsHeld), ageText(entry.ageDays)});
        }
        table.print(out);
    });
}

void abortOne(CliContext& context, const MultipartUploadPtr& upload) {
    ops::Awaited<> aborted(context);
    aborted.track(upload->apiDelete(aborted.completion()));
    aborted.get();
}

void abortCommand(CliContext& context, const AbortOptions& options) {
    if (options.all == !options.uploadId.empty()) {
        context.usageError("Name one UPLOAD_ID, or give --all (with --older-than DAYS).");
    }
    if (options.olderThanDays > 0 && !options.all) {
        context.usageError("--older-than goes with --all.");
    }
    VaultPtr vault = vaultNamed(context, options.vault);
    std::vector<std::string> aborted;
    if (!options.all) {
        abortOne(context, std::make_shared<MultipartUpload>(vault, options.uploadId));
        aborted.push_back(options.uploadId);
    } else {
        for (const Listed& entry : listUploads(context, vault)) {
            if (entry.ageDays >= options.olderThanDays) {
                abortOne(context, entry.upload);
                aborted.push_back(entry.upload->id);
            }
        }
    }
    context.output().result(aborted, [&](std::ostream& out) {
        for (const std::string& id : aborted) {
            out << "Aborted " << id << "\n";
        }
        if (aborted.empty()) {
            out << "No upload to abort.\n";
        }
    });
}

}  // namespace

void registerMultipartCommands(CLI::App& app, CliContext& context) {
    CLI::App* multipart =
        app.add_subcommand("multipart", "Unfinished multipart uploads: list and abort them");
    multipart->require_subcommand(1);

    auto vault = std::make_shared<std::string>();
    CLI::App* list = multipart->add_subcommand(
        "list", "The unfinished uploads of a vault: id, description, part size, parts, age");
    list->add_option("--vault", *vault, "The vault")->required()->type_name("NAME");
    list->callback([&context, vault] { listCommand(context, *vault); });

    auto options = std::make_shared<AbortOptions>();
    CLI::App* abort = multipart->add_subcommand("abort", "Abort one upload, or all (old) ones");
    abort->add_option("UPLOAD_ID", options->uploadId, "The upload to abort");
    abort->add_option("--vault", options->vault, "The vault")->required()->type_name("NAME");
    abort->add_flag("--all", options->all, "Abort every unfinished upload of the vault");
    abort
        ->add_option("--older-than", options->olderThanDays,
                     "With --all: only uploads started at least this many days ago")
        ->type_name("DAYS")
        ->check(CLI::NonNegativeNumber);
    abort->callback([&context, options] { abortCommand(context, *options); });
}

}  // namespace quillon::cli
