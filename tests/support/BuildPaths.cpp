// Where the build put the programs under test; see BuildPaths.h.
#include "support/BuildPaths.h"

namespace quillon::testing {

std::string simulatorProgram() {
    return QUILLON_SIM_PATH;
}
std::string cliProgram() {
    return QUILLON_CLI_PATH;
}
std::string binaryDir() {
    return QUILLON_BINARY_DIR;
}
std::string referenceFile(const std::string& name) {
    return std::string(QUILLON_REFERENCE_DIR) + "/" + name;
}
std::string sourceFile(const std::string& path) {
    return std::string(QUILLON_SOURCE_DIR) + "/" + path;
}
std::string cmakeProgram() {
    return QUILLON_CMAKE_COMMAND;
}

}  // namespace quillon::testing
