#include <iostream>

#include "CliApp.h"

int main(int argc, char** argv) {
    quillon::cli::CliApp app(std::cout, std::cerr);
    return app.run(argc, argv);
}
