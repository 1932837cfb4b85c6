// Where the build put the programs under test and where the reference files are. The paths are
// compiled into BuildPaths.cpp alone, so the other test sources do not name this build's folder
// and compile alike in every checkout. Threads: any.
#pragma once

#include <string>

namespace quillon::testing {

std::string simulatorProgram();
std::string cliProgram();
std::string binaryDir();
// A file of tests/reference by name.
std::string referenceFile(const std::string& name);
// A file of the source tree by its path there ("README.md").
std::string sourceFile(const std::string& path);
// The cmake program that configured this build.
std::string cmakeProgram();

}  // namespace quillon::testing
