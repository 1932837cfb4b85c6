// quillon vault sync|list|search|create|describe|delete: the vaults of a region.
// Runs on the main thread; answers arrive on client threads; the failures of an all-region
//   sync are gathered under a mutex shared with its callback.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "CliContext.h"
#include "CliOutput.h"
#include "Commands.h"
#include "HumanText.h"
#include "TextTable.h"
#include "VaultArgument.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "foundation/Error.h"
#include "foundation/JSON.h"
#include "ops/Awaited.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

struct ListOptions {
    std::string sort;
    bool descending = false;
    bool ascending = false;
    bool sync = false;
};

JSON::Value vaultJson(const VaultPtr& vault) {
    JSON::Value value = {{"name", vault->name},
                         {"numberOfArchives", vault->numberOfArchives()},
                         {"size", vault->size()},
                         {"region", vault->accountRegion()->region()->id()},
                         {"arn", vault->vaultARN()}};
    value["creationDate"] =
        vault->creationDate() ? JSON::Value(timeText(vault->creationDate())) : JSON::Value(nullptr);
    value["lastInventoryDate"] = vault->lastInventoryDate()
                                     ? JSON::Value(timeText(vault->lastInventoryDate()))
                                     : JSON::Value(nullptr);
    return value;
}

void printVaults(CliContext& context, const std::vector<VaultPtr>& vaults) {
    JSON::Value document = JSON::Value::array();
    for (const VaultPtr& vault : vaults) {
        document.push_back(vaultJson(vault));
    }
    context.output().result(document, [&vaults](std::ostream& out) {
        if (vaults.empty()) {
            out << "No vaults.\n";
            return;
        }
        TextTable table({"NAME", "ARCHIVES", "SIZE", "CREATED", "LAST INVENTORY"});
        for (const VaultPtr& vault : vaults) {
            std::string inventory = timeText(vault->lastInventoryDate());
            table.addRow({vault->name, std::to_string(vault->numberOfArchives()),
                          sizeText(vault->size()), timeText(vault->creationDate()),
                          inventory.empty() ? "-" : inventory});
        }
        table.print(out);
    });
}

// Vaults::sync never completes for a region without a usable endpoint: refuse it first.
void requireEndpoint(CliContext& context, const AccountRegionPtr& accountRegion) {
    if (!accountRegion->region()->baseURL()) {
        context.fail(accountRegion->noEndpointError());
    }
}

// What a sync left out: names that break the naming rule (never stored), and vaults the
// service no longer lists (hidden with their local data).
void reportSkippedAndHidden(CliContext& context, const AccountRegionPtr& accountRegion) {
    Vaults& vaults = accountRegion->vaults();
    const std::string region = accountRegion->region()->id();
    for (const std::string& name : vaults.rejectedNames()) {
        context.output().error("Warning: skipped the vault name \"" + escapedText(name) +
                               "\" listed in " + region +
                               ": a vault name is 1 to 255 of A-Z a-z 0-9 - _ . and nothing else.");
    }
    const std::vector<std::string> hidden = vaults.hiddenNames();
    if (!hidden.empty()) {
        std::string names;
        for (const std::string& name : hidden) {
            names += (names.empty() ? "" : ", ") + name;
        }
        context.output().note("Not listed by the service in " + region + ", hidden with their " +
                              "local journal and inventories kept: " + names +
                              ". They come back when listed again; `quillon vault forget NAME` " +
                              "removes one's local data.");
    }
}

void syncRegion(CliContext& context, const AccountRegionPtr& accountRegion) {
    requireEndpoint(context, accountRegion);
    ops::Awaited<> answer(context);
    accountRegion->vaults().sync(answer.completion());
    answer.get();
    reportSkippedAndHidden(context, accountRegion);
}

void syncVaults(CliContext& context, bool allRegions) {
    if (!allRegions) {
        AccountRegionPtr accountRegion = context.accountRegion();
        syncRegion(context, accountRegion);
        Vaults& vaults = accountRegion->vaults();
        JSON::Value document = {{"region", accountRegion->region()->id()},
                                {"vaults", vaults.count()},
                                {"numberOfArchives", vaults.numberOfArchives()},
                                {"size", vaults.size()}};
        context.output().result(
            document, [&](std::ostream& out) { out << accountRegion->description() << "\n"; });
        return;
    }
    AccountPtr account = context.account();
    for (const AccountRegionPtr& accountRegion : account->getAccountRegions()) {
        requireEndpoint(context, accountRegion);
    }
    ops::Awaited<> synced(context);
    auto failures = std::make_shared<std::vector<std::string>>();
    auto mutex = std::make_shared<std::mutex>();
    CliOutput& output = context.output();
    account->syncVaults(
        [account, failures, mutex](const AccountRegionPtr& accountRegion, ErrorPtr error) {
            if (error) {
                std::lock_guard lock(*mutex);
                failures->push_back(accountRegion->region()->id() + ": " +
                                    error->localizedDescription());
            }
        },
        [done = synced.completion()] { done(nullptr); });
    synced.get();
    JSON::Value document = JSON::Value::array();
    for (const AccountRegionPtr& accountRegion : account->getAccountRegions()) {
        reportSkippedAndHidden(context, accountRegion);
        Vaults& vaults = accountRegion->vaults();
        document.push_back({{"region", accountRegion->region()->id()},
                            {"synced", vaults.didSync()},
                            {"vaults", vaults.count()},
                            {"numberOfArchives", vaults.numberOfArchives()},
                            {"size", vaults.size()}});
    }
    std::lock_guard lock(*mutex);
    if (!failures->empty()) {
        for (const std::string& failure : *failures) {
            output.error(failure);
        }
        context.fail(account->syncError());
    }
    output.result(document, [&](std::ostream& out) { out << account->description() << "\n"; });
}

void applySort(CliContext& context, Vaults& vaults, const ListOptions& options) {
    if (!options.sort.empty()) {
        static const std::vector<std::pair<std::string, Vaults::SortByOption>> kinds = {
            {"manual", Vaults::SortByOption::manually},
            {"name", Vaults::SortByOption::name},
            {"size", Vaults::SortByOption::size},
            {"created", Vaults::SortByOption::createdAt}};
        auto found = std::find_if(kinds.begin(), kinds.end(),
                                  [&](const auto& kind) { return kind.first == options.sort; });
        if (found == kinds.end()) {
            context.usageError("--sort takes manual, name, size or created");
        }
        vaults.setSortBy(found->second);
    }
    if (options.descending) {
        vaults.setSortDirection(Vaults::SortDirection::descending);
    } else if (options.ascending) {
        vaults.setSortDirection(Vaults::SortDirection::ascending);
    }
}

void listVaults(CliContext& context, const ListOptions& options, const std::string* query) {
    AccountRegionPtr accountRegion = context.accountRegion();
    Vaults& vaults = accountRegion->vaults();
    applySort(context, vaults, options);
    if (options.sync || vaults.needSync()) {
        context.output().note("Loading the vault list of " + accountRegion->region()->id() + "...");
        syncRegion(context, accountRegion);
    }
    printVaults(context, query ? vaults.filter(*query) : vaults.all());
}

void createVault(CliContext& context, const std::string& name) {
    AccountRegionPtr accountRegion = context.accountRegion();
    // The service's create succeeds for an existing vault; so does this command, after asking
    // the service whether the vault is there already.
    VaultPtr vault = vaultNamed(context, name);
    ops::Awaited<> described(context);
    described.track(vault->apiDescribe(described.completion()));
    const bool existed = !described.wait().error;
    if (!existed) {
        ops::Awaited<> created(context);
        created.track(vault->apiCreate(created.completion()));
        created.get();
    }
    JSON::Value document = vaultJson(vault);
    document["existed"] = existed;
    context.output().result(document, [&](std::ostream& out) {
        out << (existed ? "The vault " + vault->name + " already exists"
                        : "Created vault " + vault->name)
            << " in " << accountRegion->region()->id() << "\n";
    });
}

void describeVault(CliContext& context, const std::string& name) {
    AccountRegionPtr accountRegion = context.accountRegion();
    VaultPtr vault = vaultNamed(context, name);
    ops::Awaited<> answer(context);
    answer.track(vault->apiDescribe(answer.completion()));
    answer.get();
    context.output().result(vaultJson(vault), [&](std::ostream& out) {
        TextTable table({"FIELD", "VALUE"});
        table.addRow({"Name", vault->name});
        table.addRow({"Region", accountRegion->region()->id()});
        table.addRow({"ARN", vault->vaultARN()});
        table.addRow({"Archives", std::to_string(vault->numberOfArchives())});
        table.addRow(
            {"Size", sizeText(vault->size()) + " (" + std::to_string(vault->size()) + " bytes)"});
        table.addRow({"Created", timeText(vault->creationDate())});
        std::string inventory = timeText(vault->lastInventoryDate());
        table.addRow({"Last inventory", inventory.empty() ? "never" : inventory});
        table.print(out);
    });
}

void deleteVault(CliContext& context, const std::string& name) {
    AccountRegionPtr accountRegion = context.accountRegion();
    VaultPtr vault = vaultNamed(context, name);
    ops::Awaited<> answer(context);
    answer.track(vault->apiDelete(answer.completion()));
    answer.get();
    context.output().result({{"name", name}, {"deleted", true}}, [&](std::ostream& out) {
        out << "Deleted vault " << name << " in " << accountRegion->region()->id() << "\n";
    });
}

void forgetVault(CliContext& context, const std::string& name) {
    AccountRegionPtr accountRegion = context.accountRegion();
    if (!accountRegion->vaults().forgetHidden(checkedVaultName(context, name))) {
        context.fail("No vault " + name + " is hidden in " + accountRegion->region()->id() +
                     ": only a vault the service no longer lists can be forgotten.");
    }
    context.output().result({{"name", name}, {"forgotten", true}}, [&](std::ostream& out) {
        out << "Removed the local data of vault " << name << " in " << accountRegion->region()->id()
            << "\n";
    });
}

void addListOptions(CLI::App* command, ListOptions& options) {
    command
        ->add_option("--sort", options.sort,
                     "Sort by manual (stored order), name, size or created; remembered")
        ->type_name("KEY");
    auto* desc = command->add_flag("--desc", options.descending, "Descending order; remembered");
    command->add_flag("--asc", options.ascending, "Ascending order; remembered")->excludes(desc);
    command->add_flag("--sync", options.sync, "Reload the list from the service first");
}

}  // namespace

void registerVaultCommands(CLI::App& app, CliContext& context) {
    CLI::App* vault = app.add_subcommand("vault", "Vaults of the account in a region");
    vault->require_subcommand(1);

    auto allRegions = std::make_shared<bool>(false);
    CLI::App* sync =
        vault->add_subcommand("sync", "Reload the vault list from the service into the local list");
    sync->add_flag("--all-regions", *allRegions, "Every region of the account at once");
    sync->callback([&context, allRegions] { syncVaults(context, *allRegions); });

    auto listOptions = std::make_shared<ListOptions>();
    CLI::App* list = vault->add_subcommand(
        "list", "List the vaults (reloaded first when the local list is over an hour old)");
    addListOptions(list, *listOptions);
    list->callback([&context, listOptions] { listVaults(context, *listOptions, nullptr); });

    auto searchOptions = std::make_shared<ListOptions>();
    auto terms = std::make_shared<std::string>();
    CLI::App* search = vault->add_subcommand(
        "search", "Find vaults by name or tag: TERM|TERM|tag:KEY|tag:KEY=VALUE (any term matches)");
    search->add_option("TERMS", *terms, "Search terms separated by |")->required();
    addListOptions(search, *searchOptions);
    search->callback(
        [&context, searchOptions, terms] { listVaults(context, *searchOptions, terms.get()); });

    auto name = std::make_shared<std::string>();
    CLI::App* create = vault->add_subcommand("create", "Create a vault");
    create->add_option("NAME", *name, "1 to 255 of A-Z a-z 0-9 - _ .")->required();
    create->callback([&context, name] { createVault(context, *name); });

    CLI::App* describe = vault->add_subcommand("describe", "Ask the service about one vault");
    describe->add_option("NAME", *name, "Vault name")->required();
    describe->callback([&context, name] { describeVault(context, *name); });

    CLI::App* remove =
        vault->add_subcommand("delete", "Delete an empty vault on the service and locally");
    remove->add_option("NAME", *name, "Vault name")->required();
    remove->callback([&context, name] { deleteVault(context, *name); });

    registerVaultPurgeCommand(*vault, context);

    CLI::App* forget = vault->add_subcommand(
        "forget", "Remove the local data of a vault the service no longer lists");
    forget->add_option("NAME", *name, "Vault name")->required();
    forget->callback([&context, name] { forgetVault(context, *name); });
}

}  // namespace quillon::cli
