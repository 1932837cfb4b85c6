// FrontDoor: what the program answers before any command runs: the version, the list of command
// families for a bare "quillon", "help CMD", and the nearest command for a mistyped one. It also
// puts the global options into every command's help.
// Threads: main thread, once per run.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace quillon::cli {

class FrontDoor {
  public:
    explicit FrontDoor(CLI::App& app) : app_(app) {}

    // Appends the global options to the help of every command below the program.
    void describeGlobalOptions();

    // Looks at the words of the command line (as normalised, first word first). Returns the exit
    // status when the front door answered them itself; otherwise none, with "help CMD..."
    // rewritten to "CMD... --help".
    std::optional<int> answer(std::vector<std::string>& args, std::ostream& out,
                              std::ostream& err) const;

    // "quillon 1.0.100 (build 100)".
    static std::string versionText();
    // The word among `candidates` nearest to `word` by edit distance, when it is near enough.
    static std::optional<std::string> nearest(const std::string& word,
                                              const std::vector<std::string>& candidates);

  private:
    void printFamilies(std::ostream& err) const;

    CLI::App& app_;
};

}  // namespace quillon::cli
