// quillon inventory import|ls|tree|find|du|dupes|orphans: a vault's imported inventory.
// Runs on the main thread; the import and its progress run there too, under the vault's
//   cross-process writer lock; the list sync and the job download wait for client threads.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "HumanText.h"
#include "JobOutput.h"
#include "ListWriter.h"
#include "ProgressLine.h"
#include "VaultArgument.h"
#include "accounts/AccountRegion.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/FileLock.h"
#include "foundation/JSON.h"
#include "foundation/PathComponents.h"
#include "foundation/Support.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryDir.h"
#include "inventory/InventoryDocument.h"
#include "inventory/InventoryImport.h"
#include "inventory/InventoryItem.h"
#include "inventory/InventoryManager.h"
#include "inventory/Job.h"
#include "ops/Awaited.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

struct InventoryOptions {
    std::string vault;
    std::string file;
    std::string job;
    std::string folder;
    std::string query;
    std::string prefix;
    std::string local;
    std::string glob;
    bool ignoreCase = false;
    bool force = false;
};

// How far ahead of this computer's clock an inventory's date may be before it counts as
// dated in the future.
constexpr double kClockSkew = 3600;

// The vault from the local list, synchronising the list once when it is not there.
VaultPtr requireVault(CliContext& context, const std::string& name) {
    if (VaultPtr vault = localVaultNamed(context, name)) {
        return vault;
    }
    ops::Awaited<> synced(context);
    context.accountRegion()->vaults().sync(synced.completion());
    synced.get();
    if (VaultPtr vault = localVaultNamed(context, name)) {
        return vault;
    }
    context.fail("There is no vault named \"" + name + "\" in this region.");
}

InventoryPtr requireInventory(CliContext& context, const VaultPtr& vault) {
    InventoryPtr inventory = vault->inventoryManager().latest();
    if (!inventory) {
        context.fail("Vault \"" + vault->name +
                     "\" has no inventory yet: run \"quillon inventory import\" first.");
    }
    return inventory;
}

InventoryDir requireFolder(CliContext& context, const InventoryPtr& inventory,
                           const std::string& folder) {
    const std::string path = trimmingSlashes(folder);
    if (path.empty()) {
        return inventory->rootDir();
    }
    InventoryDir dir(inventory, lastPathComponent(path), deletingLastPathComponent(path));
    if (!dir.exists()) {
        context.fail("There is no folder \"" + path + "\" in the inventory.");
    }
    return dir;
}

using FolderSize = InventoryDir::Totals;
using FolderTotals = InventoryDir::TotalsMap;

// The totals of one folder out of InventoryDir::subtreeTotals (a folder without files has
// none).
FolderSize sizeOf(const FolderTotals& totals, const std::string& folder) {
    auto found = totals.find(folder);
    return found == totals.end() ? FolderSize{} : found->second;
}

JSON::Value itemDocument(const InventoryItem& item) {
    JSON::Value document = {{"name", item.name},
                            {"size", item.size},
                            {"archiveId", item.archiveID},
                            {"treeHash", item.treeHash},
                            {"isFolder", item.representsFolder()},
                            {"creationDate", iso8601Format(item.creationDate)},
                            {"localAdd", !item.inventoryDate.has_value()}};
    return document;
}

JSON::Value folderDocument(const InventoryDir& dir, const FolderSize& size) {
    InventoryItemPtr archive = dir.inventoryItem();
    return {{"name", dir.name() + "/"},
            {"size", size.size},
            {"archiveId", archive ? JSON::Value(archive->archiveID) : JSON::Value()},
            {"treeHash", archive ? JSON::Value(archive->treeHash) : JSON::Value()},
            {"isFolder", true},
            {"count", size.count}};
}

// The columns of a listed item, and one item added to a list under them, named `name`.
const std::vector<std::string> kItemHeader = {"SIZE", "CREATED", "NAME"};

bool addItem(ListWriter& list, const InventoryItem& item, const std::string& name) {
    if (list.json()) {
        return list.add(itemDocument(item));
    }
    return list.addRow({sizeText(item.size), iso8601Format(item.creationDate), name});
}

// Another import of the vault (in any process) finishes first; journal writes wait likewise.
void lockVault(CliContext& context, const VaultPtr& vault, FileLock& writer) {
    if (writer.tryLock()) {
        return;
    }
    if (!writer.error()) {
        context.output().note("Another import into vault " + vault->name +
                              " is running; waiting for it to finish...");
        writer.lock();
    }
    if (writer.error()) {
        context.fail(writer.error());
    }
}

// The job's output, downloaded and verified, as "inventory-<job>.json" in the vault directory.
std::string downloadInventory(CliContext& context, const VaultPtr& vault,
                              const std::string& jobID) {
    std::string path =
        appendingPathComponent(vault->directory(), "inventory-" + jobID.substr(0, 16) + ".json");
    downloadJobOutput(context, vault, jobID, path);
    vault->cleanupInventoryFiles();
    return path;
}

// A document older than the stored inventory, or dated in the future, would replace a newer
// inventory: it is imported only when the user insists.
void checkDate(CliContext& context, const VaultPtr& vault, const InventoryDocument& document,
               bool force) {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string reason;
    if (document.inventoryDate > now + kClockSkew) {
        reason = "of " + iso8601Format(document.inventoryDate) + " is dated in the future";
    } else if (InventoryPtr current = vault->inventoryManager().latest();
               current && document.inventoryDate < current->inventoryDate) {
        reason = "of " + iso8601Format(document.inventoryDate) +
                 " is older than the current one (of " + iso8601Format(current->inventoryDate) +
                 ")";
    }
    if (reason.empty()) {
        return;
    }
    if (!force) {
        context.fail("The inventory " + reason +
                     ". Nothing was imported; use --force to import it anyway.");
    }
    context.output().note("Importing it with --force, although the inventory " + reason + ".");
}

void importInventory(CliContext& context, const InventoryOptions& options) {
    if (options.file.empty() && options.job.empty()) {
        context.usageError("inventory import needs --file FILE or --job JOB_ID");
    }
    VaultPtr vault = requireVault(context, options.vault);
    // Held until the command ends: the import (and its download) is the vault's only writer.
    FileLock writer(vault->writerLockPath());
    lockVault(context, vault, writer);
    std::string path = options.file;
    if (!options.job.empty()) {
        path = downloadInventory(context, vault, options.job);
        context.output().note("Downloaded the inventory to " + path);
    }
    std::string problem;
    const std::optional<InventoryDocument> checked = InventoryDocument::read(path, problem);
    if (!checked) {
        context.fail(problem);
    }
    checkDate(context, vault, *checked, options.force);
    InventoryPtr inventory;
    InventoryImport importer(vault);
    importer.setReplacesNewer(options.force);
    {
        // The bytes of the document read, with rate and time left.
        ProgressLine progress(context.output(), "Importing");
        const std::int64_t total = FileHelpers::fileSize(path).value_or(0);
        int drawn = -1;
        inventory = importer.importFromFile(path, [&](int percent) {
            if (percent != drawn) {
                drawn = percent;
                progress.update(total * percent / 100, total);
            }
            return true;
        });
    }
    const std::int64_t count = inventory->countItems({.withLocal = false});
    JSON::Value document = {{"vault", vault->name},
                            {"inventoryId", inventory->id},
                            {"inventoryDate", iso8601Format(inventory->inventoryDate)},
                            {"archives", importer.countArchives()},
                            {"items", count}};
    context.output().result(document, [&](std::ostream& out) {
        out << "Imported " << count << " of " << importer.countArchives() << " archives of vault "
            << vault->name << " (inventory of " << iso8601Format(inventory->inventoryDate)
            << ").\n";
    });
}

void listFolder(CliContext& context, const InventoryOptions& options) {
    InventoryPtr inventory = requireInventory(context, requireVault(context, options.vault));
    InventoryDir dir = requireFolder(context, inventory, options.folder);
    std::vector<std::pair<InventoryDir, FolderSize>> folders;
    // Totals of the children only: a small table to add into, however deep the tree.
    const FolderTotals totals = dir.subtreeTotals(1);
    for (InventoryDir& child : dir.subdirectories()) {
        FolderSize size = sizeOf(totals, child.name());
        folders.emplace_back(std::move(child), size);
    }
    context.output().resultList(kItemHeader, [&](ListWriter& list) {
        for (const auto& [folder, size] : folders) {
            if (!(list.json() ? list.add(folderDocument(folder, size))
                              : list.addRow({sizeText(size.size), "-", folder.baseName() + "/"}))) {
                return;
            }
        }
        // Folder archives show as their folders.
        inventory->eachItem({.dir = &dir, .sort = Inventory::SortDescriptor{"name", true}},
                            [&](const InventoryItemPtr& item) {
                                return item->representsFolder() ||
                                       addItem(list, *item, lastPathComponent(item->name));
                            });
    });
}

// The folders below `dir` by parent name, each parent's children in base-name order.
using FolderChildren = std::unordered_map<std::string, std::vector<const InventoryDir*>>;

JSON::Value treeDocument(const FolderTotals& totals, const FolderChildren& children,
                         const std::string& name) {
    JSON::Value nodes = JSON::Value::array();
    if (auto found = children.find(name); found != children.end()) {
        for (const InventoryDir* child : found->second) {
            nodes.push_back(treeDocument(totals, children, child->name()));
        }
    }
    const FolderSize size = sizeOf(totals, name);
    JSON::Value node = {{"name", name.empty() ? std::string() : name + "/"},
                        {"size", size.size},
                        {"count", size.count}};
    // Moved in, not copied: a copy at every level costs the depth times the tree's size.
    node["children"] = std::move(nodes);
    return node;
}

void printTree(std::ostream& out, const JSON::Value& node, int depth) {
    for (const JSON::Value& child : node["children"]) {
        out << std::string(static_cast<std::size_t>(depth) * 2, ' ')
            << lastPathComponent(child["name"].get<std::string>()) << "/  ("
            << sizeText(child["size"].get<std::int64_t>()) << " in "
            << child["count"].get<std::int64_t>() << " files at this level and below)\n";
        printTree(out, child, depth + 1);
    }
}

void showTree(CliContext& context, const InventoryOptions& options) {
    InventoryPtr inventory = requireInventory(context, requireVault(context, options.vault));
    InventoryDir dir = requireFolder(context, inventory, options.folder);
    // One query for the folders and one pass for the totals, whatever the tree's size.
    const std::vector<InventoryDir> folders = dir.descendants();
    FolderChildren children;
    for (const InventoryDir& folder : folders) {
        children[folder.dirName()].push_back(&folder);
    }
    JSON::Value document = treeDocument(dir.subtreeTotals(), children, dir.name());
    context.output().result(document, [&](std::ostream& out) {
        out << (dir.name().empty() ? std::string("/") : dir.name() + "/") << "\n";
        printTree(out, document, 1);
    });
}

void find(CliContext& context, const InventoryOptions& options) {
    if (options.query.empty() && options.glob.empty()) {
        context.usageError("inventory find needs a QUERY or --glob PATTERN");
    }
    InventoryPtr inventory = requireInventory(context, requireVault(context, options.vault));
    context.output().resultList(kItemHeader, [&](ListWriter& list) {
        inventory->eachItem(
            {.search = options.query, .ignoreCase = options.ignoreCase, .glob = options.glob},
            [&](const InventoryItemPtr& item) { return addItem(list, *item, item->name); });
    });
}

void diskUsage(CliContext& context, const InventoryOptions& options) {
    InventoryPtr inventory = requireInventory(context, requireVault(context, options.vault));
    InventoryDir dir = requireFolder(context, inventory, options.folder);
    FolderSize size = sizeOf(dir.subtreeTotals(0), dir.name());
    JSON::Value document = {{"folder", dir.name()}, {"size", size.size}, {"count", size.count}};
    context.output().result(document, [&](std::ostream& out) {
        out << sizeText(size.size) << " in " << size.count << " files"
            << (dir.name().empty() ? std::string(" in the vault") : " in " + dir.name() + "/")
            << "\n";
    });
}

void duplicates(CliContext& context, const InventoryOptions& options) {
    InventoryPtr inventory = requireInventory(context, requireVault(context, options.vault));
    const std::vector<std::vector<InventoryItemPtr>> groups = inventory->duplicateGroups();
    JSON::Value document = JSON::Value::array();
    for (const auto& group : groups) {
        JSON::Value members = JSON::Value::array();
        for (const InventoryItemPtr& item : group) {
            members.push_back(itemDocument(*item));
        }
        document.push_back({{"treeHash", group.front()->treeHash},
                            {"size", group.front()->size},
                            {"items", members}});
    }
    context.output().result(document, [&](std::ostream& out) {
        for (const auto& group : groups) {
            out << group.size() << " copies of " << sizeText(group.front()->size) << " ("
                << group.front()->treeHash << "):\n";
            for (const InventoryItemPtr& item : group) {
                out << "  " << item->name << "\n";
            }
        }
    });
}

void orphans(CliContext& context, const InventoryOptions& options) {
    InventoryPtr inventory = requireInventory(context, requireVault(context, options.vault));
    std::set<std::string> present;
    if (!options.local.empty()) {
        const std::string prefix = trimmingSlashes(options.prefix).empty()
                                       ? std::string()
                                       : trimmingSlashes(options.prefix) + "/";
        ErrorPtr error = FileHelpers::enumerateTree(
            options.local, [&](const std::string& relative, bool isDirectory) {
                present.insert(prefix + relative + (isDirectory ? "/" : ""));
                return true;
            });
        if (error) {
            context.fail(error);
        }
    }
    context.output().resultList(kItemHeader, [&](ListWriter& list) {
        inventory->eachOrphan(options.prefix, present, [&](const InventoryItemPtr& item) {
            return addItem(list, *item, item->name);
        });
    });
}

}  // namespace

void registerInventoryCommands(CLI::App& app, CliContext& context) {
    auto options = std::make_shared<InventoryOptions>();
    CLI::App* inventory =
        app.add_subcommand("inventory", "Vault inventories: import, browse, search");
    inventory->require_subcommand(1);

    auto vaultOption = [&options](CLI::App* command) {
        command->add_option("--vault", options->vault, "The vault")->required()->type_name("NAME");
    };
    auto run = [&context, options](void (*command)(CliContext&, const InventoryOptions&)) {
        return [&context, options, command] { command(context, *options); };
    };

    CLI::App* import = inventory->add_subcommand(
        "import", "Import a downloaded inventory document, or the output of an inventory job");
    vaultOption(import);
    auto* file = import->add_option("--file", options->file, "An inventory document (JSON)")
                     ->type_name("FILE");
    auto* job = import->add_option("--job", options->job, "A finished inventory-retrieval job")
                    ->type_name("JOB_ID");
    file->excludes(job);
    import->add_flag("--force", options->force,
                     "Import an inventory older than the current one, or dated in the future");
    import->callback(run(importInventory));

    CLI::App* ls = inventory->add_subcommand("ls", "List the folders and archives of a folder");
    vaultOption(ls);
    ls->add_option("folder", options->folder, "The folder (default: the top level)");
    ls->callback(run(listFolder));

    CLI::App* tree = inventory->add_subcommand("tree", "Show the folder tree with sizes");
    vaultOption(tree);
    tree->add_option("folder", options->folder, "The folder to start at (default: the top)");
    tree->callback(run(showTree));

    CLI::App* findCommand = inventory->add_subcommand(
        "find",
        "Search archive paths: TEXT, !TEXT, ^PREFIX of a base name, hash:TREEHASH, "
        "archive:ARCHIVE_ID");
    vaultOption(findCommand);
    findCommand->add_option("query", options->query, "The search");
    findCommand->add_flag("-i,--ignore-case", options->ignoreCase,
                          "Ignore letter case (Unicode case folding: café finds Café)");
    findCommand
        ->add_option("--glob", options->glob,
                     "Only paths matching this pattern as a whole (* ? [...], \"/\" included)")
        ->type_name("PATTERN");
    findCommand->callback(run(find));

    CLI::App* du = inventory->add_subcommand(
        "du", "Total size and count of the files in a folder and below it");
    vaultOption(du);
    du->add_option("folder", options->folder, "The folder (default: the whole vault)");
    du->callback(run(diskUsage));

    CLI::App* dupes = inventory->add_subcommand("dupes", "Archives stored more than once");
    vaultOption(dupes);
    dupes->callback(run(duplicates));

    CLI::App* orphanCommand = inventory->add_subcommand(
        "orphans", "Archives under a prefix whose path is not in a local directory");
    vaultOption(orphanCommand);
    orphanCommand->add_option("--prefix", options->prefix, "Only archives under this path")
        ->type_name("PATH");
    orphanCommand
        ->add_option("--local", options->local,
                     "A local directory mirroring the prefix; without it every archive counts")
        ->type_name("DIR");
    orphanCommand->callback(run(orphans));
}

}  // namespace quillon::cli
