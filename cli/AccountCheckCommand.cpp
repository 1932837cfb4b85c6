// quillon account check: one small signed request that says whether an account's credentials
// work. Runs on the main thread; the answer arrives on a client thread into Awaited's state.

#include <CLI/CLI.hpp>

#include <memory>
#include <ostream>
#include <string>

#include "CliContext.h"
#include "Commands.h"
#include "accounts/Account.h"
#include "accounts/AccountRegion.h"
#include "accounts/Accounts.h"
#include "ops/Awaited.h"

namespace quillon::cli {

namespace {

void checkAccount(CliContext& context, const std::string& name) {
    AccountPtr account = Accounts::get(name);
    if (!account) {
        context.fail("There is no account named \"" + name +
                     "\". See the accounts with: quillon account list");
    }
    // --region picks the region to ask; by default the account's selected one.
    context.options().account = name;
    AccountRegionPtr accountRegion = context.accountRegion();
    if (!accountRegion->region()->baseURL()) {
        context.fail("The region " + accountRegion->region()->id() +
                     " has no usable endpoint: check its host in Regions.json.");
    }
    ops::Awaited<> answer(context, 120);
    accountRegion->checkCredentials(answer.completion());
    answer.get();
    context.output().result(
        {{"account", account->name}, {"region", accountRegion->region()->id()}, {"ok", true}},
        [&](std::ostream& out) {
            out << "The credentials of " << account->name << " work in "
                << accountRegion->region()->id() << ".\n";
        });
}

}  // namespace

void registerAccountCheckCommand(CLI::App& app, CliContext& context) {
    CLI::App* account = nullptr;
    try {
        account = app.get_subcommand("account");
    } catch (const CLI::OptionNotFound&) {
        account = app.add_subcommand("account", "AWS accounts and their credentials");
        account->require_subcommand(1);
    }
    auto name = std::make_shared<std::string>();
    CLI::App* check = account->add_subcommand(
        "check", "Check an account's credentials with one small request to the service");
    check->add_option("NAME", *name, "Account name")->required();
    check->callback([&context, name] { checkAccount(context, *name); });
}

}  // namespace quillon::cli
