// quillon upload|delete|mkdir: the upload batch, archive deletion and folder archives.
// Runs on the main thread; answers arrive on client threads into Awaited's state.

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <string>

#include "CliContext.h"
#include "Commands.h"
#include "UploadBatch.h"
#include "VaultArgument.h"
#include "accounts/AccountRegion.h"  // IWYU pragma: keep
#include "foundation/PathComponents.h"
#include "inventory/InventoryItem.h"
#include "ops/Awaited.h"
#include "transfers/Archives.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

struct DeleteOptions {
    std::string archiveId;
    std::string vault;
};

struct MkdirOptions {
    std::string folder;
    std::string vault;
};

void removeArchive(CliContext& context, const DeleteOptions& options) {
    VaultPtr vault = vaultNamed(context, options.vault);
    ops::Awaited<InventoryItemPtr> answer(context);
    answer.track(vault->archives().apiDelete(options.archiveId, answer.completion()));
    InventoryItemPtr item = answer.get();
    std::string name = item ? item->name : std::string();
    context.output().result({{"archiveId", options.archiveId}, {"path", name}},
                            [&](std::ostream& out) {
                                out << "Deleted " << options.archiveId
                                    << (name.empty() ? "" : " (" + name + ")") << "\n";
                            });
}

void makeFolder(CliContext& context, const MkdirOptions& options) {
    std::string folder = trimmingSlashes(options.folder);
    if (folder.empty()) {
        context.usageError("The folder name is empty.");
    }
    VaultPtr vault = vaultNamed(context, options.vault);
    ops::Awaited<> answer(context);
    auto operation =
        vault->archives().apiCreateFolder(folder, false, false, false, answer.completion());
    answer.track(operation);
    answer.get();
    context.output().result({{"folder", folder + "/"}},
                            [&](std::ostream& out) { out << "Created " << folder << "/\n"; });
}

}  // namespace

void registerUploadCommands(CLI::App& app, CliContext& context) {
    auto uploadOptions = std::make_shared<UploadBatch::Options>();
    CLI::App* uploadCommand = app.add_subcommand(
        "upload",
        "Upload files (or the files below directories) that the vault lacks; prints "
        "\"ARCHIVE_ID  PATH\" per stored file");
    uploadCommand->add_option("FILE", uploadOptions->paths, "Files or directories")->required();
    uploadCommand->add_option("--vault", uploadOptions->vault, "The vault")
        ->required()
        ->type_name("NAME");
    uploadCommand
        ->add_option("--folder", uploadOptions->folder, "The folder of the vault the files go to")
        ->type_name("PATH");
    uploadCommand->add_flag("--force", uploadOptions->force,
                            "Upload files even when the vault already holds them");
    uploadCommand->add_flag("--dry-run", uploadOptions->dryRun,
                            "Only list what would be sent; nothing is uploaded");
    uploadCommand->add_flag(
        "--no-wait", uploadOptions->noWait,
        "When another upload of the same files runs, exit at once with status 75 instead of "
        "waiting for it");
    uploadCommand->add_flag("--follow-symlinks", uploadOptions->followSymlinks,
                            "Follow symbolic links below the directories (never in a loop); by "
                            "default links are skipped");
    uploadCommand->add_flag(
        "--replace-modified", uploadOptions->replaceModified,
        "When a file changed since it was stored, delete the archive of its older version once "
        "the new one is stored (the journal keeps both; see the fee with --dry-run)");
    uploadCommand->callback(
        [&context, uploadOptions] { UploadBatch(context, *uploadOptions).run(); });

    auto deleteOptions = std::make_shared<DeleteOptions>();
    CLI::App* deleteCommand = app.add_subcommand("delete", "Delete an archive");
    deleteCommand->add_option("ARCHIVE_ID", deleteOptions->archiveId, "The archive")->required();
    deleteCommand->add_option("--vault", deleteOptions->vault, "The vault")
        ->required()
        ->type_name("NAME");
    deleteCommand->callback([&context, deleteOptions] { removeArchive(context, *deleteOptions); });

    auto mkdirOptions = std::make_shared<MkdirOptions>();
    CLI::App* mkdirCommand = app.add_subcommand("mkdir", "Create a folder archive");
    mkdirCommand->add_option("FOLDER", mkdirOptions->folder, "The folder path")->required();
    mkdirCommand->add_option("--vault", mkdirOptions->vault, "The vault")
        ->required()
        ->type_name("NAME");
    mkdirCommand->callback([&context, mkdirOptions] { makeFolder(context, *mkdirOptions); });
}

}  // namespace quillon::cli
