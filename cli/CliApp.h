// CliApp: the quillon program, from the command line to the exit status.
// Threads: main thread; the commands it runs wait there, pumping the main queue.
#pragma once

#include <iosfwd>

#include "CliContext.h"

namespace quillon::cli {

// The quillon program: parses the command line, runs the chosen command and turns its outcome
// into the exit status (0 success, 1 usage error, 2 service or model error).
class CliApp {
  public:
    CliApp(std::ostream& out, std::ostream& err);

    int run(int argc, char** argv);

  private:
    CliContext context_;
};

}  // namespace quillon::cli
