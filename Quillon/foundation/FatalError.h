#pragma once

#include <string>

namespace quillon {

// Stops the process when its environment is unusable (no application directory, a database
// that cannot be opened): the message goes to standard error, then the process aborts.
[[noreturn]] void fatalError(const std::string& message);

}  // namespace quillon
