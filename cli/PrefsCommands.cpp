// quillon prefs show|set: the transfer preferences and skip patterns in the user defaults.
// Runs on the main thread, the preferences' own thread; no requests.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "ArchiveUploader.h"
#include "CliContext.h"
#include "CliExit.h"
#include "Commands.h"
#include "TextTable.h"
#include "foundation/Error.h"
#include "foundation/FileHelpers.h"
#include "foundation/JSON.h"
#include "foundation/ModelError.h"
#include "settings/Preferences.h"
#include "settings/TransferSettings.h"
#include "transfers/FileHasher.h"

namespace quillon::cli {

namespace {

struct SetOptions {
    std::string key;
    std::string value;
};

// What set() does with a value: store it and print the result, only check it, or store it
// without a result (one of several values of an edit or an import).
enum class SetMode { Set, Check, Apply };

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
    std::string patterns = Preferences::storedString(FileHasher::kSkipPatternKey).value_or("");
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

void set(CliContext& context, const SetOptions& options, SetMode mode = SetMode::Set) {
    if (options.key == FileHasher::kSkipPatternKey) {
        if (mode == SetMode::Check) {
            return;
        }
        (void)Preferences::storeString(FileHasher::kSkipPatternKey, options.value);
        if (mode == SetMode::Set) {
            context.output().result({{options.key, options.value}}, [](std::ostream&) {});
        }
        return;
    }
    if (options.key == TransferSettings::kRetryAttemptsKey) {
        const std::int64_t value = parseInteger(context, options);
        if (value < 1 || value > 100) {
            context.usageError("The value of " + options.key + " must be from 1 to 100.");
        }
        if (mode == SetMode::Check) {
            return;
        }
        (void)Preferences::storeInteger(TransferSettings::kRetryAttemptsKey, value);
        if (mode == SetMode::Set) {
            context.output().result({{options.key, value}}, [](std::ostream&) {});
        }
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
        if (mode == SetMode::Check) {
            return;
        }
        // Re-read and written under the file's lock: other programs' changes survive.
        if (!Preferences::update(change)) {
            context.fail("Cannot write the preferences to " + Preferences::filePath() + ".");
        }
        if (mode == SetMode::Set) {
            context.output().result(document, [](std::ostream&) {});
        }
        return;
    }
    context.usageError("Unknown preference \"" + options.key + "\".");
}

// The preferences as "KEY = VALUE" lines, in the order of prefs show.
std::string exportedText() {
    auto preferences = Preferences::sharedInstance();
    std::string text =
        "# Quillon preferences: one KEY = VALUE a line; lines starting with # are ignored.\n";
    for (const Field& field : fields()) {
        std::string value;
        if (auto* integer = std::get_if<std::int64_t Preferences::*>(&field.member)) {
            value = std::to_string((*preferences).*(*integer));
        } else {
            value =
                (*preferences).*(std::get<bool Preferences::*>(field.member)) ? "true" : "false";
        }
        text += std::string(field.key) + " = " + value +
                (field.unit[0] ? std::string("  # ") + field.unit : "") + "\n";
    }
    text += std::string(FileHasher::kSkipPatternKey) + " = " +
            Preferences::storedString(FileHasher::kSkipPatternKey).value_or("") + "\n";
    text += std::string(TransferSettings::kRetryAttemptsKey) + " = " +
            std::to_string(TransferSettings::retryAttempts()) + "\n";
    return text;
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    std::size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Checks every line of `text` and only then stores the values: one wrong value changes nothing.
// The skip pattern is taken whole (a "#" in it is part of it); other values end at a "#".
void importText(CliContext& context, const std::string& text, const std::string& source) {
    std::vector<SetOptions> values;
    std::string problems;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        std::string content = trimmed(line);
        if (content.empty() || content[0] == '#') {
            continue;
        }
        std::size_t equals = content.find('=');
        SetOptions value;
        value.key = trimmed(content.substr(0, equals));
        value.value = equals == std::string::npos ? "" : trimmed(content.substr(equals + 1));
        if (value.key != FileHasher::kSkipPatternKey) {
            value.value = trimmed(value.value.substr(0, value.value.find('#')));
        }
        std::string where = source + ", line " + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            problems += where + "not KEY = VALUE\n";
            continue;
        }
        try {
            set(context, value, SetMode::Check);
            values.push_back(value);
        } catch (const CliExit& problem) {
            problems += where + problem.what() + "\n";
        }
    }
    if (!problems.empty()) {
        problems.pop_back();
        context.usageError(problems + "\nNothing was changed.");
    }
    for (const SetOptions& value : values) {
        set(context, value, SetMode::Apply);
    }
    context.output().note("Stored " + std::to_string(values.size()) + " preferences.");
    context.output().result(JSON::Value::object(), [](std::ostream&) {});
}

void importFile(CliContext& context, const std::string& path) {
    std::string text;
    if (path == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        text = all.str();
    } else {
        ErrorPtr error;
        auto read = FileHelpers::readFile(path, &error);
        if (!read) {
            context.fail(error);
        }
        text = *read;
    }
    importText(context, text, path == "-" ? "standard input" : path);
}

// Opens the preferences as text in $VISUAL, else $EDITOR, else vi; what was saved is checked
// and stored when it changed.
void edit(CliContext& context) {
    ErrorPtr error;
    auto created = FileHelpers::createTemporaryFile("txt", "", &error);
    if (!created) {
        context.fail(error);
    }
    const std::string path = *created;
    struct Remove {
        const std::string& path;
        ~Remove() { FileHelpers::deleteFile(path); }
    } remove{path};
    const std::string before = exportedText();
    if (ErrorPtr error = FileHelpers::writeFile(path, before)) {
        context.fail(error);
    }
    std::string editor;
    for (const char* name : {"VISUAL", "EDITOR"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            editor = value;
            break;
        }
    }
    // The editor's own words stay the shell's to split, as $EDITOR is meant.
    std::string command = (editor.empty() ? "vi" : editor) + " '" + path + "'";
    if (int status = std::system(command.c_str()); status != 0) {
        context.fail("The editor (" + command + ") failed; nothing was changed.");
    }
    auto after = FileHelpers::readFile(path, &error);
    if (!after) {
        context.fail(error);
    }
    if (*after == before) {
        context.output().note("No change.");
        context.output().result(JSON::Value::object(), [](std::ostream&) {});
        return;
    }
    importText(context, *after, "the edited preferences");
}

}  // namespace

std::vector<std::string> preferenceKeys() {
    std::vector<std::string> keys;
    for (const Field& field : fields()) {
        keys.emplace_back(field.key);
    }
    keys.emplace_back(FileHasher::kSkipPatternKey);
    keys.emplace_back(TransferSettings::kRetryAttemptsKey);
    return keys;
}

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

    prefs->add_subcommand("export", "Print the preferences as KEY = VALUE lines")
        ->callback([&context] {
            context.output().result(JSON::Value::object(),
                                    [](std::ostream& out) { out << exportedText(); });
        });
    auto file = std::make_shared<std::string>();
    CLI::App* importCommand = prefs->add_subcommand(
        "import",
        "Set preferences from KEY = VALUE lines (as prefs export prints them); every "
        "value is checked first, and one wrong value changes nothing");
    importCommand->add_option("FILE", *file, "The file; - for standard input")->required();
    importCommand->callback([&context, file] { importFile(context, *file); });
    prefs
        ->add_subcommand("edit",
                         "Edit the preferences as KEY = VALUE text in $VISUAL or $EDITOR; "
                         "every value is checked on save")
        ->callback([&context] { edit(context); });
}

}  // namespace quillon::cli
