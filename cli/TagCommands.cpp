// quillon tag list|add|remove|common: vault tags on the service and in the local store.
// Runs on the main thread; answers arrive on client threads into Awaited's state.

#include <CLI/CLI.hpp>

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "TextTable.h"
#include "VaultArgument.h"
#include "accounts/AccountRegion.h"
#include "foundation/JSON.h"
#include "ops/Awaited.h"
#include "vaults/Tags.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

struct TagOptions {
    std::string vault;
    std::vector<std::string> items;
    bool cached = false;
};

void printTags(CliContext& context, const std::vector<Tag>& tags) {
    JSON::Value document = JSON::Value::array();
    for (const Tag& tag : tags) {
        document.push_back({{"key", tag.key}, {"value", tag.value}});
    }
    context.output().result(document, [&tags](std::ostream& out) {
        if (tags.empty()) {
            out << "No tags.\n";
            return;
        }
        TextTable table({"KEY", "VALUE"});
        for (const Tag& tag : tags) {
            table.addRow({tag.key, tag.value});
        }
        table.print(out);
    });
}

void listTags(CliContext& context, const TagOptions& options) {
    VaultPtr vault = vaultNamed(context, options.vault);
    Tags& tags = vault->tags();
    if (!options.cached || !tags.didSync()) {
        ops::Awaited<std::vector<Tag>> answer(context);
        answer.track(tags.apiGet(answer.completion()));
        answer.get();
    }
    printTags(context, tags.all());
}

void addTags(CliContext& context, const TagOptions& options) {
    std::vector<Tag> tags;
    for (const std::string& item : options.items) {
        std::size_t equals = item.find('=');
        if (equals == 0 || equals == std::string::npos) {
            context.usageError("A tag is KEY=VALUE, not \"" + item + "\"");
        }
        tags.push_back({item.substr(0, equals), item.substr(equals + 1)});
    }
    VaultPtr vault = vaultNamed(context, options.vault);
    ops::Awaited<> answer(context);
    answer.track(vault->tags().apiAdd(tags, answer.completion()));
    answer.get();
    printTags(context, vault->tags().all());
}

void removeTags(CliContext& context, const TagOptions& options) {
    VaultPtr vault = vaultNamed(context, options.vault);
    ops::Awaited<> answer(context);
    answer.track(vault->tags().apiRemove(options.items, answer.completion()));
    answer.get();
    printTags(context, vault->tags().all());
}

void commonTags(CliContext& context, const TagOptions& options) {
    AccountRegionPtr accountRegion = context.accountRegion();
    std::vector<VaultPtr> vaults;
    for (const std::string& name : options.items) {
        vaults.push_back(vaultNamed(context, name));
    }
    printTags(context, accountRegion->findCommonTags(vaults));
}

}  // namespace

void registerTagCommands(CLI::App& app, CliContext& context) {
    CLI::App* tag = app.add_subcommand("tag", "Tags of vaults");
    tag->require_subcommand(1);

    auto options = std::make_shared<TagOptions>();
    auto vaultOption = [&options](CLI::App* command) {
        command->add_option("--vault", options->vault, "Vault name")->required()->type_name("NAME");
    };

    CLI::App* list = tag->add_subcommand("list", "Show a vault's tags (read from the service)");
    vaultOption(list);
    list->add_flag("--cached", options->cached, "Show the stored tags without asking the service");
    list->callback([&context, options] { listTags(context, *options); });

    CLI::App* add = tag->add_subcommand("add", "Add or change tags of a vault (at most 10)");
    vaultOption(add);
    add->add_option("TAGS", options->items, "KEY=VALUE pairs")->required();
    add->callback([&context, options] { addTags(context, *options); });

    CLI::App* remove = tag->add_subcommand("remove", "Remove tags of a vault");
    vaultOption(remove);
    remove->add_option("KEYS", options->items, "Tag keys")->required();
    remove->callback([&context, options] { removeTags(context, *options); });

    CLI::App* common = tag->add_subcommand(
        "common", "Tags (key and value) that at least two of the vaults share, from stored tags");
    common->add_option("VAULTS", options->items, "Vault names")->required();
    common->callback([&context, options] { commonTags(context, *options); });
}

}  // namespace quillon::cli
