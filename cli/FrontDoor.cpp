// FrontDoor: the version, the families, help rewriting and the nearest command. Threads: as
// in FrontDoor.h.

#include "FrontDoor.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "CliExit.h"
#include "foundation/BuildInfo.h"

namespace quillon::cli {

namespace {

std::vector<std::string> subcommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (!sub->get_group().empty()) {  // hidden commands are never suggested
            names.push_back(sub->get_name());
        }
    }
    return names;
}

const CLI::App* subcommandNamed(const CLI::App& app, const std::string& word) {
    auto found =
        app.get_subcommands([&](const CLI::App* candidate) { return candidate->check_name(word); });
    return found.empty() ? nullptr : found.front();
}

// Whether the option named by `word` (in `app` or a parent) takes the next word as its value.
bool consumesNext(const CLI::App* app, const std::string& word) {
    if (word.find('=') != std::string::npos) {
        return false;
    }
    for (; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* option = app->get_option_no_throw(word)) {
            return option->get_type_size_max() > 0 && option->get_expected_max() > 0;
        }
    }
    return false;
}

// Edits (insert, delete, replace, swap of neighbours) that turn `a` into `b`.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string FrontDoor::versionText() {
    return "quillon " + BuildInfo::bundleVersion() + " (build " +
           std::to_string(BuildInfo::schemaVersion(BuildInfo::bundleVersion())) + ")";
}

std::optional<std::string> FrontDoor::nearest(const std::string& word,
                                              const std::vector<std::string>& candidates) {
    std::optional<std::string> best;
    std::size_t bestDistance = 0;
    for (const std::string& candidate : candidates) {
        std::size_t distance = editDistance(word, candidate);
        if (!best || distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    // Near enough: at most two edits and a third of the word, or the word begins the candidate.
    if (best &&
        (bestDistance <= std::min<std::size_t>(2, std::max<std::size_t>(word.size() / 3, 1)) ||
         best->rfind(word, 0) == 0)) {
        return best;
    }
    return std::nullopt;
}

void FrontDoor::describeGlobalOptions() {
    std::string text = "Global options (before or after the command):\n";
    for (const CLI::Option* option : app_.get_options()) {
        if (option->get_name() == "--help") {
            continue;
        }
        std::string name = option->get_name();
        if (!option->get_type_name().empty() && option->get_expected_max() > 0) {
            name += " " + option->get_type_name();
        }
        name.resize(std::max<std::size_t>(name.size() + 2, 22), ' ');
        text += "  " + name + option->get_description() + "\n";
    }
    std::vector<CLI::App*> pending = app_.get_subcommands([](CLI::App*) { return true; });
    while (!pending.empty()) {
        CLI::App* command = pending.back();
        pending.pop_back();
        std::string footer = command->get_footer();
        command->footer(footer.empty() ? text : footer + "\n\n" + text);
        for (CLI::App* sub : command->get_subcommands([](CLI::App*) { return true; })) {
            pending.push_back(sub);
        }
    }
}

void FrontDoor::printFamilies(std::ostream& err) const {
    err << "Usage: quillon [GLOBAL OPTIONS] COMMAND ...\n\nCommands:\n";
    for (const CLI::App* sub : app_.get_subcommands([](const CLI::App*) { return true; })) {
        if (sub->get_group().empty()) {
            continue;
        }
        std::string name = sub->get_name();
        name.resize(std::max<std::size_t>(name.size() + 2, 12), ' ');
        err << "  " << name << sub->get_description() << "\n";
    }
    err << "\nquillon help COMMAND (or COMMAND --help) tells more; quillon --help lists the "
           "global options.\n";
}

std::optional<int> FrontDoor::answer(std::vector<std::string>& args, std::ostream& out,
                                     std::ostream& err) const {
    const CLI::App* command = &app_;
    std::size_t helpAt = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            break;
        }
        if (word == "--version" && command == &app_) {
            out << versionText() << "\n";
            return 0;
        }
        if (word == "--help" || word == "-h") {
            return std::nullopt;
        }
        if (!word.empty() && word[0] == '-') {
            if (consumesNext(command, word)) {
                ++i;
            }
            continue;
        }
        if (command == &app_ && word == "help" && helpAt == args.size()) {
            helpAt = i;
            continue;
        }
        if (command->get_subcommands([](const CLI::App*) { return true; }).empty()) {
            break;  // a positional argument of a command
        }
        if (const CLI::App* sub = subcommandNamed(*command, word)) {
            command = sub;
            continue;
        }
        std::string path = command == &app_ ? "" : command->get_name() + " ";
        err << "quillon: unknown command \"" << path << word << "\"";
        if (auto near = nearest(word, subcommandNames(*command))) {
            err << "; did you mean " << path << *near << "?";
        }
        err << "\nSee: quillon " << path << "--help\n";
        return CliExit::kUsage;
    }
    if (helpAt < args.size()) {
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(helpAt));
        args.push_back("--help");
        return std::nullopt;
    }
    if (command == &app_) {
        printFamilies(err);
        return CliExit::kUsage;
    }
    return std::nullopt;
}

}  // namespace quillon::cli
