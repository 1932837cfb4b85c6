// quillon __complete -- WORD...: the words that can follow, for the bash completion script
// installed beside the program. The last word is the one being completed. Vault names, account
// names, preference keys, tiers and job ids come from what is stored locally; completion never
// makes a request. Each word goes out once, one a line; the script quotes it. Runs on the main
// thread.

#include <CLI/CLI.hpp>

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "JobIdCache.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
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

std::vector<VaultPtr> cachedVaults(CliContext& context) {
    try {
        return context.accountRegion()->vaults().all();
    } catch (const std::exception&) {
        return {};  // No account or region yet: nothing to offer.
    }
}

std::vector<std::string> cachedVaultNames(CliContext& context) {
    std::vector<std::string> names;
    for (const VaultPtr& vault : cachedVaults(context)) {
        names.push_back(vault->name);
    }
    return names;
}

// Job ids of the vault named by --vault among the words, else of every cached vault.
std::vector<std::string> cachedJobIds(CliContext& context, const std::vector<std::string>& words) {
    std::string named;
    for (std::size_t i = 0; i + 2 < words.size(); ++i) {
        if (words[i] == "--vault") {
            named = words[i + 1];
        }
    }
    std::vector<std::string> ids;
    for (const VaultPtr& vault : cachedVaults(context)) {
        if (named.empty() || vault->name == named) {
            for (std::string& id : JobIdCache::known(*vault)) {
                ids.push_back(std::move(id));
            }
        }
    }
    return ids;
}

std::vector<std::string> accountNames() {
    std::vector<std::string> names;
    for (const AccountPtr& account : Accounts::all()) {
        names.push_back(account->name);
    }
    return names;
}

// The command's path below the program, such as "vault describe".
std::string pathOf(const CLI::App* command) {
    std::string path;
    for (; command != nullptr && command->get_parent() != nullptr;
         command = command->get_parent()) {
        path = command->get_name() + (path.empty() ? "" : " " + path);
    }
    return path;
}

// What the command takes as its positional words, when the cache knows them.
std::optional<std::vector<std::string>> positionalWords(CliContext& context,
                                                        const std::string& path,
                                                        const std::vector<std::string>& words,
                                                        std::size_t positionalsSoFar) {
    static const std::set<std::string> vaultCommands = {"vault describe", "vault delete",
                                                        "vault purge", "tag common"};
    static const std::set<std::string> accountCommands = {
        "account show", "account remove", "account check", "account select", "account regions"};
    static const std::set<std::string> jobCommands = {"job wait", "job describe", "job download"};
    if (vaultCommands.contains(path)) {
        return cachedVaultNames(context);
    }
    if (positionalsSoFar > 0) {
        return std::nullopt;
    }
    if (accountCommands.contains(path)) {
        return accountNames();
    }
    if (jobCommands.contains(path)) {
        return cachedJobIds(context, words);
    }
    if (path == "prefs set") {
        return preferenceKeys();
    }
    return std::nullopt;
}

void complete(CliContext& context, const CLI::App& root, const std::vector<std::string>& words) {
    const CLI::App* command = &root;
    std::string previous;
    std::size_t positionals = 0;  // words of the command that are neither options nor values
    bool optionValue = false;     // the word before was an option that takes a value
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (const CLI::App* sub = subcommandNamed(command, words[i]); sub && positionals == 0) {
            command = sub;
            optionValue = false;
        } else if (const CLI::Option* option = optionNamed(command, words[i])) {
            optionValue = option->get_type_size_max() > 0 && option->get_expected_max() > 0;
        } else if (optionValue) {
            optionValue = false;
        } else if (words[i].empty() || words[i][0] != '-') {
            ++positionals;
        }
        previous = words[i];
    }
    std::vector<std::string> candidates;
    if (previous == "--vault") {
        candidates = cachedVaultNames(context);
    } else if (previous == "--account") {
        candidates = accountNames();
    } else if (previous == "--tier") {
        candidates = {"Bulk", "Standard", "Expedited"};
    } else if (optionValue) {
        // The value of another option: nothing sensible to offer.
    } else if (auto known = positionalWords(context, pathOf(command), words, positionals);
               known && (words.empty() || words.back().empty() || words.back()[0] != '-')) {
        candidates = *known;
    } else {
        for (const CLI::App* sub : command->get_subcommands([](const CLI::App*) { return true; })) {
            if (visible(sub) && positionals == 0) {
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
    std::set<std::string> offered;  // --help, among others, is an option of every level
    for (const std::string& candidate : candidates) {
        if (candidate.rfind(prefix, 0) == 0 && offered.insert(candidate).second) {
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
