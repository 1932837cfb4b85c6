// quillon inventory map: archive paths taken from another client's database.
// Runs on the main thread; the mapping is applied there, then the main queue is run once.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "CliContext.h"
#include "Commands.h"
#include "VaultArgument.h"
#include "accounts/AccountRegion.h"  // IWYU pragma: keep
#include "foundation/MainQueue.h"
#include "foundation/ModelError.h"
#include "inventory/Inventory.h"
#include "inventory/InventoryManager.h"
#include "inventory/MappingData.h"
#include "vaults/Vault.h"
#include "vaults/Vaults.h"

namespace quillon::cli {

namespace {

struct MapOptions {
    std::string vault;
    std::string file;
};

void importMapping(CliContext& context, const MapOptions& options) {
    VaultPtr vault = localVaultNamed(context, options.vault);
    InventoryPtr inventory = vault ? vault->inventoryManager().latest() : nullptr;
    if (!inventory) {
        context.fail("Vault \"" + options.vault +
                     "\" has no inventory yet: run \"quillon inventory import\" first.");
    }
    MappingData mapping;
    std::int64_t entries = 0;
    std::int64_t updated = 0;
    try {
        entries = mapping.load(options.file);
        updated = mapping.importInto(*inventory);
    } catch (const ModelError& error) {
        context.fail(error.toError());
    }
    MainQueue::runOnce();
    context.output().result({{"entries", entries}, {"updated", updated}}, [&](std::ostream& out) {
        out << "Mapped " << updated << " archives (" << entries << " paths in " << options.file
            << ").\n";
    });
}

}  // namespace

void registerMapCommand(CLI::App& app, CliContext& context) {
    CLI::App* inventory = nullptr;
    for (CLI::App* command :
         app.get_subcommands([](CLI::App* sub) { return sub->get_name() == "inventory"; })) {
        inventory = command;
    }
    if (!inventory) {
        inventory = app.add_subcommand("inventory", "Stored vault inventories");
    }
    auto options = std::make_shared<MapOptions>();
    CLI::App* map = inventory->add_subcommand(
        "map", "Take archive paths from another client's database (table file_info_tb)");
    map->add_option("--vault", options->vault, "The vault")->required()->type_name("NAME");
    map->add_option("--file", options->file, "The other client's SQLite database")
        ->required()
        ->type_name("DB");
    map->callback([&context, options] { importMapping(context, *options); });
}

}  // namespace quillon::cli
