// FatalError: stopping the process when its environment is unusable.
// Threads: fatalError from any thread; the handler is unguarded, so set it before threads start.
#pragma once

#include <functional>
#include <string>

namespace quillon {

// Stops the process when its environment is unusable (no application directory, a database
// that cannot be opened). The installed handler runs with the message and must not return; by
// default, and when a handler returns, the message goes to standard error and the process
// aborts. Install a handler once at start-up, before other threads run.
[[noreturn]] void fatalError(const std::string& message);

// Makes sure `dir` is a directory only its owner can enter: creates it (mode 0700) when it is
// missing and takes group and other access away from an existing one. A directory that cannot be
// had is fatal; the message begins with `what` ("The application directory").
void requirePrivateDirectory(const std::string& dir, const std::string& what);

using FatalErrorHandler = std::function<void(const std::string& message)>;
void setFatalErrorHandler(FatalErrorHandler handler);

}  // namespace quillon
