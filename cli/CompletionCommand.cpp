// quillon __complete -- WORD...: the words that can follow, for the bash completion script
// installed beside the program. The last word is the one being completed. Vault names come from
// the local cache only; completion never makes a request. Runs on the main thread.

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "accounts/AccountRegion.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

bool visible(const CLI::App* command) {
    return !command->get_group().empty();
}

const CLI::App* subcommandNamed(const CLI::App* app, const std::string& word) {
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
        if (visible(sub) && sub->check_name(word)) {
            return sub;
        }
    }
    return nullptr;
}

const CLI::Option* optionNamed(const CLI::App* app, const std::string& word) {
    for (; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* option = app->get_option_no_throw(word)) {
            return option;
        }
    }
    return nullptr;
}

std::vector<std::string> cachedVaultNames(CliContext& context) {
    std::vector<std::string> names;
    try {
        for (const VaultPtr& vault : context.accountRegion()->vaults().all()) {
            names.push_back(vault->name);
        }
    } catch (const std::exception&) {
        // No account or region yet: nothing to offer.
    }
    return names;
}

void complete(CliContext& context, const CLI::App& root, const std::vector<std::string>& words) {
    const CLI::App* command = &root;
    std::string previous;
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (const CLI::App* sub = subcommandNamed(command, words[i])) {
            command = sub;
        }
        previous = words[i];
    }
    std::vector<std::string> candidates;
    if (previous == "--vault") {
        candidates = cachedVaultNames(context);
    } else if (const CLI::Option* option = optionNamed(command, previous);
               option != nullptr && option->get_type_size_max() > 0 &&
               option->get_expected_max() > 0) {
        // The value of another option: nothing sensible to offer.
    } else {
        for (const CLI::App* sub : command->get_subcommands([](const CLI::App*) { return true; })) {
            if (visible(sub)) {
                candidates.push_back(sub->get_name());
            }
        }
        for (const CLI::App* app = command; app != nullptr; app = app->get_parent()) {
            for (const CLI::Option* option : app->get_options()) {
                if (!option->get_positional()) {
                    candidates.push_back(option->get_name());
                }
            }
        }
    }
    const std::string prefix = words.empty() ? "" : words.back();
    for (const std::string& candidate : candidates) {
        if (candidate.rfind(prefix, 0) == 0) {
            context.output().out() << candidate << "\n";
        }
    }
}

}  // namespace

void registerCompletionCommand(CLI::App& app, CliContext& context) {
    auto words = std::make_shared<std::vector<std::string>>();
    CLI::App* command =
        app.add_subcommand("__complete", "Words that can follow, for shell completion");
    command->group("");  // not listed in help
    command->add_option("WORD", *words, "The words so far; the last one is being completed");
    command->callback([&context, &app, words] { complete(context, app, *words); });
}

}  // namespace quillon::cli
