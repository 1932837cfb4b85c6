// FatalError: the handler slot and the private-directory check. Threads: as in FatalError.h.
#include "foundation/FatalError.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "foundation/Error.h"
#include "foundation/FileHelpers.h"

namespace quillon {

namespace {

FatalErrorHandler& handlerSlot() {
    static FatalErrorHandler handler;
    return handler;
}

}  // namespace

void setFatalErrorHandler(FatalErrorHandler handler) {
    handlerSlot() = std::move(handler);
}

void requirePrivateDirectory(const std::string& dir, const std::string& what) {
    if (!FileHelpers::directoryExists(dir)) {
        if (ErrorPtr error = FileHelpers::createDirectory(dir)) {
            const int code = static_cast<int>(error->code());
            fatalError(what + " " + dir + " cannot be used: " +
                       (code == EEXIST || code == ENOTDIR ? std::string("a file is in its place")
                                                          : std::string(std::strerror(code))) +
                       ".");
        }
    }
    struct stat status {};
    if (::stat(dir.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
        ::chmod(dir.c_str(), status.st_mode & 0700);
    }
}

void fatalError(const std::string& message) {
    if (const FatalErrorHandler& handler = handlerSlot()) {
        handler(message);
    }
    std::fprintf(stderr, "Fatal error: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace quillon
