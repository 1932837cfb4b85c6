// DashedArguments: command lines whose ids begin with "-" made parseable.
// Threads: the caller's thread; it only reads the parser's tree and keeps no state of its own.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace quillon::cli {

// Archive and job ids may begin with "-", which a parser would take for an option. This rewrites
// the command line so that such words reach the command as what they are: an option's value
// becomes "--option=value", and positionals from the first dashed one on move behind "--".
// Known options, flag clusters and words shaped like option names are left alone.
class DashedArguments {
  public:
    explicit DashedArguments(const CLI::App& app) : app_(app) {}

    std::vector<std::string> normalise(const std::vector<std::string>& args) const;

  private:
    const CLI::App& app_;
};

}  // namespace quillon::cli
