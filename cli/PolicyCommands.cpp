// quillon policy get|set: the region's data retrieval policy on the service.
// Runs on the main thread; answers arrive on client threads into Awaited's state.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "CliContext.h"
#include "Commands.h"
#include "accounts/AccountRegion.h"
#include "foundation/JSON.h"
#include "ops/Awaited.h"
#include "vaults/DataRetrievalPolicy.h"

namespace quillon::cli {

namespace {

using Strategy = DataRetrievalPolicy::Strategy;

struct SetOptions {
    std::string strategy;
    std::int64_t bytesPerHour = 0;
};

void printPolicy(CliContext& context, const AccountRegionPtr& accountRegion,
                 const DataRetrievalPolicy& policy) {
    JSON::Value document = {{"region", accountRegion->region()->id()},
                            {"strategy", DataRetrievalPolicy::rawValue(policy.strategy)}};
    if (policy.strategy == Strategy::BytesPerHour) {
        document["bytesPerHour"] = policy.bytesPerHour;
    }
    context.output().result(document, [&](std::ostream& out) {
        out << accountRegion->region()->id() << ": " << policy.description() << "\n";
    });
}

void getPolicy(CliContext& context) {
    AccountRegionPtr accountRegion = context.accountRegion();
    DataRetrievalPolicy& policy = accountRegion->dataRetrievalPolicy();
    ops::Awaited<> answer(context);
    answer.track(policy.apiGet(answer.completion()));
    answer.get();
    printPolicy(context, accountRegion, policy);
}

void setPolicy(CliContext& context, const SetOptions& options, bool bytesGiven) {
    auto strategy = DataRetrievalPolicy::strategyFromRawValue(options.strategy);
    if (!strategy || *strategy == Strategy::Unknown) {
        context.usageError("The strategy is one of FreeTier, BytesPerHour or None");
    }
    if (*strategy == Strategy::BytesPerHour && (!bytesGiven || options.bytesPerHour < 1)) {
        context.usageError("BytesPerHour needs --bytes-per-hour N with N above 0");
    }
    if (*strategy != Strategy::BytesPerHour && bytesGiven) {
        context.usageError("--bytes-per-hour goes only with the BytesPerHour strategy");
    }
    AccountRegionPtr accountRegion = context.accountRegion();
    DataRetrievalPolicy& policy = accountRegion->dataRetrievalPolicy();
    ops::Awaited<> answer(context);
    answer.track(policy.apiPut(*strategy, options.bytesPerHour, answer.completion()));
    answer.get();
    printPolicy(context, accountRegion, policy);
}

}  // namespace

void registerPolicyCommands(CLI::App& app, CliContext& context) {
    CLI::App* policy = app.add_subcommand("policy", "The region's data retrieval policy");
    policy->require_subcommand(1);

    CLI::App* get = policy->add_subcommand("get", "Read the policy from the service");
    get->callback([&context] { getPolicy(context); });

    auto options = std::make_shared<SetOptions>();
    CLI::App* set = policy->add_subcommand("set", "Change the policy on the service");
    set->add_option("STRATEGY", options->strategy, "FreeTier, BytesPerHour or None")->required();
    CLI::Option* bytes = set->add_option("--bytes-per-hour", options->bytesPerHour,
                                         "Retrieval limit in bytes per hour (BytesPerHour only)")
                             ->type_name("N");
    set->callback([&context, options, bytes] { setPolicy(context, *options, bytes->count() > 0); });
}

}  // namespace quillon::cli
