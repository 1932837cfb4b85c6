// quillon region list: the built-in, standard and custom regions with their endpoints.
// Runs on the main thread; no requests.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "CliContext.h"
#include "Commands.h"
#include "TextTable.h"
#include "accounts/Region.h"
#include "accounts/Regions.h"
#include "foundation/JSON.h"

namespace quillon::cli {

namespace {

// "standard" regions are active for new accounts; other built-in regions are usable only when
// "Regions.json" defines them.
std::string kindOf(const RegionPtr& region) {
    const auto& builtin = Regions::allBuiltin();
    bool isBuiltin = std::find(builtin.begin(), builtin.end(), region) != builtin.end();
    if (!isBuiltin) {
        return "custom";
    }
    return region->isStandardRegion() ? "standard" : "built-in";
}

void listRegions(CliContext& context) {
    std::vector<RegionPtr> regions = Regions::all();
    JSON::Value document = JSON::Value::array();
    for (const RegionPtr& region : regions) {
        document.push_back(
            {{"id", region->id()}, {"name", region->name()}, {"endpoint", region->endpoint()}});
    }
    context.output().result(document, [&regions](std::ostream& out) {
        TextTable table({"ID", "NAME", "KIND", "ENDPOINT"});
        for (const RegionPtr& region : regions) {
            std::string endpoint = region->endpoint();
            table.addRow(
                {region->id(), region->name(), kindOf(region), endpoint.empty() ? "-" : endpoint});
        }
        table.print(out);
    });
}

}  // namespace

void registerRegionCommands(CLI::App& app, CliContext& context) {
    CLI::App* region = app.add_subcommand("region", "Glacier regions, built-in and custom");
    region->require_subcommand(1);

    CLI::App* list = region->add_subcommand(
        "list", "List every known region with its endpoint (custom regions from Regions.json)");
    list->callback([&context] { listRegions(context); });
}

}  // namespace quillon::cli
