// quillon prefs show|set: the transfer preferences and skip patterns in the user defaults.
// Runs on the main thread, the preferences' own thread; no requests.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "ArchiveUploader.h"
#include "CliContext.h"
#include "Commands.h"
#include "TextTable.h"
#include "foundation/ModelError.h"
#include "interfaces/platform/UserDefaults.h"
#include "settings/Preferences.h"
#include "settings/TransferSettings.h"
#include "transfers/FileHasher.h"

namespace quillon::cli {

namespace {

struct SetOptions {
    std::string key;
    std::string value;
};

// One archived preference: its key and where it lives in the object.
struct Field {
    const char* key;
    std::variant<std::int64_t Preferences::*, bool Preferences::*> member;
    const char* unit;
};

const std::vector<Field>& fields() {
    static const std::vector<Field> list = {
        {"maxConcurrentDownloads", &Preferences::maxConcurrentDownloads, ""},
        {"maxDownloadSpeed", &Preferences::maxDownloadSpeed, "KiB/s"},
        {"hasDownloadSpeedLimit", &Preferences::hasDownloadSpeedLimit, ""},
        {"maxConcurrentUploads", &Preferences::maxConcurrentUploads, ""},
        {"maxUploadSpeed", &Preferences::maxUploadSpeed, "KiB/s"},
        {"hasUploadSpeedLimit", &Preferences::hasUploadSpeedLimit, ""},
        {"uploadPartSize", &Preferences::uploadPartSize, "MiB"},
        {"downloadPartSize", &Preferences::downloadPartSize, "MiB"},
    };
    return list;
}

void show(CliContext& context) {
    auto preferences = Preferences::sharedInstance();
    std::string patterns =
        UserDefaults::standard()->string(FileHasher::kSkipPatternKey).value_or("");
    JSON::Value document = JSON::Value::object();
    TextTable table({"KEY", "VALUE"});
    for (const Field& field : fields()) {
        if (auto* integer = std::get_if<std::int64_t Preferences::*>(&field.member)) {
            document[field.key] = (*preferences).*(*integer);
            std::string unit = field.unit[0] ? std::string(" ") + field.unit : "";
            table.addRow({field.key, std::to_string((*preferences).*(*integer)) + unit});
        } else {
            bool value = (*preferences).*(std::get<bool Preferences::*>(field.member));
            document[field.key] = value;
            table.addRow({field.key, value ? "true" : "false"});
        }
    }
    document[FileHasher::kSkipPatternKey] = patterns;
    table.addRow({FileHasher::kSkipPatternKey, patterns});
    const std::int64_t attempts = TransferSettings::retryAttempts();
    document[TransferSettings::kRetryAttemptsKey] = attempts;
    table.addRow({TransferSettings::kRetryAttemptsKey, std::to_string(attempts)});
    context.output().result(document, [&](std::ostream& out) { table.print(out); });
}

std::int64_t parseInteger(CliContext& context, const SetOptions& options) {
    try {
        std::size_t used = 0;
        long long value = std::stoll(options.value, &used);
        if (used == options.value.size()) {
            return value;
        }
    } catch (const std::exception&) {
    }
    context.usageError("The value of " + options.key + " must be a whole number.");
}

void set(CliContext& context, const SetOptions& options) {
    if (options.key == FileHasher::kSkipPatternKey) {
        auto defaults = UserDefaults::standard();
        defaults->setString(FileHasher::kSkipPatternKey, options.value);
        defaults->synchronize();
        context.output().result({{options.key, options.value}}, [](std::ostream&) {});
        return;
    }
    if (options.key == TransferSettings::kRetryAttemptsKey) {
        const std::int64_t value = parseInteger(context, options);
        if (value < 1 || value > 100) {
            context.usageError("The value of " + options.key + " must be from 1 to 100.");
        }
        auto defaults = UserDefaults::standard();
        defaults->setInteger(TransferSettings::kRetryAttemptsKey, value);
        defaults->synchronize();
        context.output().result({{options.key, value}}, [](std::ostream&) {});
        return;
    }
    for (const Field& field : fields()) {
        if (options.key != field.key) {
            continue;
        }
        JSON::Value document = JSON::Value::object();
        std::function<void(Preferences&)> change;
        if (auto* integer = std::get_if<std::int64_t Preferences::*>(&field.member)) {
            std::int64_t value = parseInteger(context, options);
            if (options.key == "uploadPartSize" || options.key == "downloadPartSize") {
                try {
                    ArchiveUploader::validatePartSize(value);
                } catch (const ModelError& error) {
                    context.fail(error.toError());
                }
            } else if (value < 1) {
                // A speed limit of 0 KiB/s or less would stall every transfer: turn the
                // limit off instead (hasUploadSpeedLimit / hasDownloadSpeedLimit false).
                context.usageError(
                    "The value of " + options.key + " must be at least 1" +
                    (*field.unit == '\0' ? std::string() : " " + std::string(field.unit)) + ".");
            }
            change = [member = *integer, value](Preferences& preferences) {
                preferences.*member = value;
            };
            document[field.key] = value;
        } else {
            if (options.value != "true" && options.value != "false") {
                context.usageError("The value of " + options.key + " must be true or false.");
            }
            change = [member = std::get<bool Preferences::*>(field.member),
                      value = options.value == "true"](Preferences& preferences) {
                preferences.*member = value;
            };
            document[field.key] = options.value == "true";
        }
        // Re-read and written under the file's lock: other programs' changes survive.
        if (!Preferences::update(change)) {
            context.fail("Cannot write the preferences to " + UserDefaults::standard()->filePath() +
                         ".");
        }
        context.output().result(document, [](std::ostream&) {});
        return;
    }
    context.usageError("Unknown preference \"" + options.key + "\".");
}

}  // namespace

void registerPrefsCommands(CLI::App& app, CliContext& context) {
    CLI::App* prefs = app.add_subcommand("prefs", "Show or change transfer preferences");
    prefs->require_subcommand(1);
    prefs->add_subcommand("show", "Show the preferences")->callback([&context] { show(context); });
    auto options = std::make_shared<SetOptions>();
    CLI::App* setCommand = prefs->add_subcommand(
        "set", "Set a preference (uploadPartSize in MiB, maxConcurrentUploads, ...)");
    setCommand->add_option("KEY", options->key, "The preference")->required();
    setCommand->add_option("VALUE", options->value, "Its new value")->required();
    setCommand->callback([&context, options] { set(context, *options); });
}

}  // namespace quillon::cli
