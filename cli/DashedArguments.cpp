// DashedArguments: matching words to options and moving dashed positionals. Threads: as in
// DashedArguments.h.

#include "DashedArguments.h"

#include <CLI/CLI.hpp>

#include <cstddef>
#include <regex>
#include <string>
#include <vector>

namespace quillon::cli {

namespace {

bool looksLikeOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

// Option names are lower case words joined by hyphens; ids are long runs of mixed case and
// digits. A dashed word shaped like a name stays an option, so a mistyped one is reported.
bool shapedLikeOptionName(const std::string& word) {
    static const std::regex kName("--?[a-z][a-z-]*(=.*)?");
    return std::regex_match(word, kName);
}

// The option the word names in this command or, since options fall through, in its parents.
const CLI::Option* findOption(const CLI::App* app, const std::string& word) {
    const std::string name = word.substr(0, word.find('='));
    for (; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* option = app->get_option_no_throw(name)) {
            return option;
        }
    }
    return nullptr;
}

const CLI::App* findSubcommand(const CLI::App* app, const std::string& word) {
    auto found = app->get_subcommands(
        [&](const CLI::App* candidate) { return candidate->check_name(word); });
    return found.empty() ? nullptr : found.front();
}

bool takesValue(const CLI::Option& option) {
    return option.get_type_size_max() > 0;
}

// "-q" style clusters of known single-letter flags.
bool isFlagCluster(const CLI::App* app, const std::string& word) {
    if (word.size() < 2 || word[0] != '-' || word[1] == '-') {
        return false;
    }
    for (std::size_t i = 1; i < word.size(); ++i) {
        if (findOption(app, std::string{'-', word[i]}) == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> DashedArguments::normalise(const std::vector<std::string>& args) const {
    std::vector<std::string> leading;
    std::vector<std::string> positionals;
    bool movingPositionals = false;
    const CLI::App* command = &app_;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            positionals.insert(positionals.end(), args.begin() + i + 1, args.end());
            movingPositionals = true;
            break;
        }
        if (looksLikeOption(word)) {
            const CLI::Option* option = findOption(command, word);
            if (option != nullptr && takesValue(*option) && word.find('=') == std::string::npos &&
                i + 1 < args.size() && looksLikeOption(args[i + 1]) &&
                findOption(command, args[i + 1]) == nullptr) {
                leading.push_back(word + "=" + args[i + 1]);
                ++i;
                continue;
            }
            if (option != nullptr || isFlagCluster(command, word) || shapedLikeOptionName(word)) {
                leading.push_back(word);
                if (option != nullptr && takesValue(*option) &&
                    word.find('=') == std::string::npos && i + 1 < args.size()) {
                    leading.push_back(args[++i]);
                }
                continue;
            }
            movingPositionals = true;
            positionals.push_back(word);
            continue;
        }
        if (!movingPositionals) {
            if (const CLI::App* subcommand = findSubcommand(command, word)) {
                command = subcommand;
            }
            leading.push_back(word);
        } else {
            positionals.push_back(word);
        }
    }

    if (movingPositionals) {
        leading.push_back("--");
        leading.insert(leading.end(), positionals.begin(), positionals.end());
    }
    return leading;
}

}  // namespace quillon::cli
