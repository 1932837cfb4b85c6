#include <CLI/CLI.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "ArchiveUploader.h"
#include "CliContext.h"
#include "Commands.h"
#include "VaultArgument.h"
#include "accounts/AccountRegion.h"
#include "foundation/ModelError.h"
#include "interfaces/base/Localization.h"
#include "interfaces/files/FileHelpers.h"
#include "interfaces/files/PathComponents.h"
#include "inventory/InventoryItem.h"
#include "ops/Awaited.h"
#include "settings/PatternMatcher.h"
#include "settings/Preferences.h"
#include "transfers/Archive.h"
#include "transfers/Archives.h"
#include "transfers/FileHasher.h"
#include "vaults/ValidationError.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

struct UploadOptions {
    std::vector<std::string> paths;
    std::string vault;
    std::string folder;
};

struct DeleteOptions {
    std::string archiveId;
    std::string vault;
};

struct MkdirOptions {
    std::string folder;
    std::string vault;
};

// A file to send and the path its archive description encodes.
struct UploadFile {
    std::string path;
    std::string archivePath;
};

// Every file to send, in argument order (a directory's files in walk order), checked before
// any request: missing, unreadable and empty files stop the command.
std::vector<UploadFile> collectFiles(CliContext& context, const UploadOptions& options) {
    PatternMatcher matcher(FileHasher::kSkipPatternKey);
    std::string folder = trimmingSlashes(options.folder);
    auto under = [&folder](const std::string& path) {
        return folder.empty() ? path : folder + "/" + path;
    };
    std::vector<UploadFile> files;
    auto add = [&](const std::string& path, const std::string& archivePath) {
        if (!matcher.allowedByPattern(lastPathComponent(path))) {
            context.output().note("Skipped " + path + " (matches a skip pattern)");
            return;
        }
        ErrorPtr error;
        auto size = FileHelpers::fileSize(path, &error);
        if (!size) {
            context.fail(error);
        }
        if (*size == 0) {
            context.fail("Cannot upload " + path + ": " +
                         ModelError::uploadFileEmpty().description());
        }
        files.push_back({path, under(archivePath)});
    };
    for (const std::string& path : options.paths) {
        if (FileHelpers::directoryExists(path)) {
            std::string base = lastPathComponent(trimmingSlashes(path));
            ErrorPtr error = FileHelpers::enumerateTree(
                path, [&](const std::string& relative, bool isDirectory) {
                    std::string full = appendingPathComponent(path, relative);
                    if (!isDirectory && FileHelpers::regularFileExists(full)) {
                        add(full, base.empty() ? relative : base + "/" + relative);
                    }
                    return true;
                });
            if (error) {
                context.fail(error);
            }
        } else if (FileHelpers::regularFileExists(path)) {
            add(path, lastPathComponent(path));
        } else {
            context.fail("Cannot upload " + path + ": there is no such file.");
        }
    }
    return files;
}

void upload(CliContext& context, const UploadOptions& options) {
    auto preferences = Preferences::sharedInstance();
    try {
        ArchiveUploader::validatePartSize(preferences->uploadPartSize);
    } catch (const ModelError& error) {
        context.fail(error.toError());
    }
    std::vector<UploadFile> files = collectFiles(context, options);
    std::vector<std::string> descriptions;
    for (const UploadFile& file : files) {
        auto description = Archive::encodeArchiveDescription(file.archivePath);
        if (!description) {
            context.fail(Localization::string("modelerror.could_not_encode_archive_desc") + ": " +
                         file.path);
        }
        descriptions.push_back(*description);
    }
    VaultPtr vault = validVaultNamed(context, options.vault);
    ArchiveUploader uploader(context, vault, preferences->uploadPartSize,
                             static_cast<int>(preferences->maxConcurrentUploads));
    JSON::Value document = JSON::Value::array();
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < files.size(); ++i) {
        ArchiveUploader::Result result;
        try {
            result = uploader.upload(files[i].path, descriptions[i]);
        } catch (const ModelError& error) {
            context.fail(error.toError());
        }
        document.push_back({{"path", files[i].path},
                            {"archiveId", result.archiveId},
                            {"treeHash", result.treeHash},
                            {"size", result.size}});
        lines.push_back(result.archiveId);
    }
    context.output().result(document, [&](std::ostream& out) {
        for (const std::string& line : lines) {
            out << line << "\n";
        }
    });
}

void removeArchive(CliContext& context, const DeleteOptions& options) {
    VaultPtr vault = validVaultNamed(context, options.vault);
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
    VaultPtr vault = validVaultNamed(context, options.vault);
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
    auto uploadOptions = std::make_shared<UploadOptions>();
    CLI::App* uploadCommand = app.add_subcommand(
        "upload", "Upload files (or the files below directories) as archives; prints each id");
    uploadCommand->add_option("FILE", uploadOptions->paths, "Files or directories")->required();
    uploadCommand->add_option("--vault", uploadOptions->vault, "The vault")
        ->required()
        ->type_name("NAME");
    uploadCommand
        ->add_option("--folder", uploadOptions->folder, "The folder of the vault the files go to")
        ->type_name("PATH");
    uploadCommand->callback([&context, uploadOptions] { upload(context, *uploadOptions); });

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
