// quillon: the program's entry point, CliApp on standard output and standard error.
// Threads: runs on the main thread, which also runs the main queue while commands wait.

#include <iostream>

#include "CliApp.h"

int main(int argc, char** argv) {
    quillon::cli::CliApp app(std::cout, std::cerr);
    return app.run(argc, argv);
}
