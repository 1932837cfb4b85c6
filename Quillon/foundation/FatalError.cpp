#include "foundation/FatalError.h"

#include <cstdio>
#include <cstdlib>

namespace quillon {

void fatalError(const std::string& message) {
    std::fprintf(stderr, "Fatal error: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace quillon
