// quillon account add|list|show|remove|select|regions: the stored accounts, their secrets and
// regions. Runs on the main thread; no requests, only local stores.

#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ActingAccount.h"
#include "CliContext.h"
#include "Commands.h"
#include "TextTable.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "accounts/AwsSharedConfig.h"
#include "accounts/Region.h"
#include "accounts/Regions.h"
#include "foundation/JSON.h"
#include "foundation/ModelError.h"
#include "settings/Preferences.h"

namespace quillon::cli {

namespace {

struct AddOptions {
    std::string name;
    std::string accessKey;
    bool secretStdin = false;
    std::string profile;
    std::vector<std::string> regions;
};

struct RegionsOptions {
    std::string name;
    std::vector<std::string> add;
    std::vector<std::string> remove;
};

std::vector<std::string> sortedRegionIds(const Account& account) {
    std::vector<std::string> ids;
    for (const RegionPtr& region : account.activeRegions) {
        ids.push_back(region->id());
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

JSON::Value accountDocument(const Account& account) {
    return {{"id", account.id},
            {"name", account.name},
            {"accessKey", account.accessKey},
            {"regions", sortedRegionIds(account)}};
}

std::string trimLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// Reads a secret from the terminal with echo switched off.
std::string promptSecret(CliContext& context) {
    context.output().err() << "Secret access key: " << std::flush;
    termios saved{};
    bool restore = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
    std::string secret;
    std::getline(std::cin, secret);
    if (restore) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    context.output().err() << "\n";
    return trimLineEnd(secret);
}

RegionPtr requireRegion(CliContext& context, const std::string& id) {
    RegionPtr region = Regions::get(id);
    if (!region) {
        context.usageError("Unknown region \"" + id +
                           "\". See the regions with: quillon region list (a custom endpoint is a "
                           "region in Regions.json)");
    }
    return region;
}

AccountPtr requireAccount(CliContext& context, const std::string& name) {
    AccountPtr account = Accounts::get(name);
    if (!account) {
        context.fail("There is no account named \"" + name +
                     "\". See the accounts with: quillon account list");
    }
    return account;
}

void saveOrFail(CliContext& context, Account& account) {
    try {
        account.save();
    } catch (const ModelError& error) {
        context.fail(error.toError());
    }
}

void addAccount(CliContext& context, const AddOptions& options) {
    auto account = Account::create();
    account->name = options.name;
    account->accessKey = options.accessKey;
    if (!options.regions.empty()) {
        account->activeRegions.clear();
        for (const std::string& id : options.regions) {
            account->activeRegions.insert(requireRegion(context, id));
        }
    }
    if (!options.profile.empty()) {
        // Both keys come from the profile; the secret stays in the credentials file and is
        // read from there at each use, so a rotated secret is seen.
        auto credentials = AwsSharedConfig::profileCredentials(options.profile);
        if (!credentials) {
            context.fail("The AWS credentials file " + AwsSharedConfig::credentialsFilePath() +
                         " has no profile \"" + options.profile +
                         "\" with an access key and a secret access key.");
        }
        if (!options.accessKey.empty() && credentials->accessKey != options.accessKey) {
            context.fail("The profile \"" + options.profile +
                         "\" of the AWS credentials file holds another access key than " +
                         options.accessKey + ".");
        }
        account->accessKey = credentials->accessKey;
        account->useKeychain = false;
        account->credentialsProfile = options.profile;
    } else {
        if (options.accessKey.empty()) {
            context.usageError(
                "Give --access-key KEY (the secret on standard input), or --profile "
                "PROFILE of the AWS credentials file.");
        }
        std::string secret;
        if (options.secretStdin || !isatty(STDIN_FILENO)) {
            std::getline(std::cin, secret);
            secret = trimLineEnd(secret);
        } else {
            secret = promptSecret(context);
        }
        if (secret.empty()) {
            context.usageError("The secret access key is empty.");
        }
        account->setSecret(secret);
    }
    saveOrFail(context, *account);
    if (!options.regions.empty()) {
        account->accountRegion(options.regions.front())->select();
    }
    context.output().result(accountDocument(*account), [&](std::ostream& out) {
        out << "Added account \"" << account->name << "\" (id " << account->id << ") in "
            << account->activeRegionsDescription() << ".\n";
    });
}

void listAccounts(CliContext& context) {
    auto accounts = Accounts::all();
    JSON::Value document = JSON::Value::array();
    for (const AccountPtr& account : accounts) {
        document.push_back(accountDocument(*account));
    }
    context.output().result(document, [&](std::ostream& out) {
        if (accounts.empty()) {
            out << "No accounts. Add one with: quillon account add NAME --access-key KEY "
                   "--secret-stdin\n";
            return;
        }
        TextTable table({"ID", "NAME", "ACCESS KEY", "REGIONS"});
        for (const AccountPtr& account : accounts) {
            table.addRow({std::to_string(account->id), account->name, account->accessKey,
                          account->activeRegionsDescription()});
        }
        table.print(out);
    });
}

void showAccount(CliContext& context, const std::string& name) {
    AccountPtr account = requireAccount(context, name);
    AccountRegionPtr selected = ActingAccount::defaultRegion(account);
    JSON::Value document = accountDocument(*account);
    document["secretSource"] = account->useKeychain ? "keychain" : "credentials file";
    document["selectedRegion"] = selected->region()->id();
    document["summary"] = account->description();
    context.output().result(document, [&](std::ostream& out) {
        out << "Account:        " << account->name << " (id " << account->id << ")\n"
            << "Access key:     " << account->accessKey << "\n"
            << "Secret:         "
            << (account->useKeychain
                    ? "in the keychain"
                    : "profile \"" +
                          (account->credentialsProfile.empty() ? account->name
                                                               : account->credentialsProfile) +
                          "\" of " + Account::credentialsFilePath())
            << "\n"
            << "Regions:        " << account->activeRegionsDescription() << "\n"
            << "Selected:       " << selected->region()->description() << "\n"
            << "Summary:        " << account->description() << "\n";
    });
}

void removeAccount(CliContext& context, const std::string& name) {
    AccountPtr account = requireAccount(context, name);
    std::int64_t id = account->id;
    account->remove();
    context.output().result({{"id", id}, {"name", name}, {"removed", true}},
                            [&](std::ostream& out) {
                                out << "Removed account \"" << name << "\" and its local data.\n";
                            });
}

void selectAccount(CliContext& context, const std::string& name) {
    AccountPtr account = requireAccount(context, name);
    (void)Preferences::storeString(CliContext::kSelectedAccountKey, account->name);
    context.output().result(accountDocument(*account), [&](std::ostream& out) {
        out << "Commands now act for \"" << account->name
            << "\" unless --account says otherwise.\n";
    });
}

void changeRegions(CliContext& context, const RegionsOptions& options) {
    AccountPtr account = requireAccount(context, options.name);
    for (const std::string& id : options.add) {
        account->activeRegions.insert(requireRegion(context, id));
    }
    for (const std::string& id : options.remove) {
        account->activeRegions.erase(requireRegion(context, id));
    }
    if (account->activeRegions.empty()) {
        context.usageError("An account needs at least one region.");
    }
    saveOrFail(context, *account);
    if (!options.add.empty()) {
        account->accountRegion(options.add.front())->select();
    }
    context.output().result(accountDocument(*account), [&](std::ostream& out) {
        out << "\"" << account->name << "\" works in " << account->activeRegionsDescription()
            << "; selected: " << ActingAccount::defaultRegion(account)->region()->id() << ".\n";
    });
}

}  // namespace

void registerAccountCommands(CLI::App& app, CliContext& context) {
    CLI::App* account = app.add_subcommand("account", "AWS accounts and their credentials");
    account->require_subcommand(1);

    auto add = std::make_shared<AddOptions>();
    CLI::App* addCommand = account->add_subcommand(
        "add", "Add an account; the secret comes from standard input, a prompt or a profile");
    addCommand->add_option("NAME", add->name, "Display name of the account")->required();
    addCommand->add_option("--access-key", add->accessKey, "AWS access key id")->type_name("KEY");
    auto* secretStdin = addCommand->add_flag("--secret-stdin", add->secretStdin,
                                             "Read the secret access key from standard input");
    addCommand
        ->add_option("--profile", add->profile,
                     "Take both keys from this profile of the AWS credentials file "
                     "($AWS_SHARED_CREDENTIALS_FILE, else ~/.aws/credentials), read at each use")
        ->type_name("PROFILE")
        ->excludes(secretStdin);
    addCommand
        ->add_option("--region", add->regions,
                     "A region to work in (repeatable; default: all standard regions); the "
                     "first becomes the selected one")
        ->type_name("ID");
    addCommand->callback([&context, add] { addAccount(context, *add); });
    addCommand->footer(
        "Example: echo \"$SECRET\" | quillon account add work --access-key AKIA... "
        "--secret-stdin --region eu-west-1");

    CLI::App* list = account->add_subcommand("list", "List the accounts");
    list->callback([&context] { listAccounts(context); });

    auto name = std::make_shared<std::string>();
    CLI::App* show = account->add_subcommand("show", "Show one account");
    show->add_option("NAME", *name, "Account name")->required();
    show->callback([&context, name] { showAccount(context, *name); });

    CLI::App* remove =
        account->add_subcommand("remove", "Remove an account with its local data and secret");
    remove->add_option("NAME", *name, "Account name")->required();
    remove->callback([&context, name] { removeAccount(context, *name); });

    CLI::App* select = account->add_subcommand(
        "select", "Act for this account when several exist and --account is not given");
    select->add_option("NAME", *name, "Account name")->required();
    select->callback([&context, name] { selectAccount(context, *name); });

    auto regions = std::make_shared<RegionsOptions>();
    CLI::App* regionsCommand =
        account->add_subcommand("regions", "Add or remove regions an account works in");
    regionsCommand->add_option("NAME", regions->name, "Account name")->required();
    regionsCommand->add_option("--add", regions->add, "Region to add (repeatable)")
        ->type_name("ID");
    regionsCommand->add_option("--remove", regions->remove, "Region to remove (repeatable)")
        ->type_name("ID");
    regionsCommand->callback([&context, regions] { changeRegions(context, *regions); });
}

}  // namespace quillon::cli
